// The checker's report: sections of readable lines, the problems found, the
// figures, and one summary line, printed as text or as JSON. Every text goes
// through the report's scrubber, so no secret it was told of reaches the
// output, whatever a server echoes back.
#pragma once

#include "core/logging.h"

#include <cstddef>
#include <string>
#include <vector>

// failed: the check ran, but writing its results did not work.
enum class check_outcome { conforms, problems, unreachable, usage, failed };

// Exit codes of the program.
constexpr int exit_conforms = 0;
constexpr int exit_problems = 1;
constexpr int exit_unreachable_or_usage = 2;

class check_report {
  public:
    check_report(std::string command, std::string target, bool json);

    // From now on every occurrence of `secret` in any text is replaced by
    // `placeholder`. Empty secrets are ignored.
    void add_secret(const std::string &secret, const std::string &placeholder);
    std::string scrub(const std::string &text) const;

    // Bytes from a peer, made safe to show: secrets replaced, bytes outside
    // printable ASCII written as \xNN, and cut after max_chars with the
    // length named. Backquoted.
    std::string quote(const std::string &raw, size_t max_chars = 120) const;
    // The same without the backquotes.
    std::string printable(const std::string &raw, size_t max_chars = 120) const;

    void section(const std::string &title);
    void line(const std::string &text);
    // A problem: `reason` is the stable word a community's CI can test for,
    // `text` what an admin reads (what goes wrong and what players hear).
    // Problems with the same key are told once, with a count.
    void problem(const std::string &reason, const std::string &text, const std::string &key = "");
    size_t problem_count() const { return problems_.size(); }
    bool has_problem(const std::string &reason) const;
    std::vector<std::string> problem_reasons() const;

    // A top-level JSON member beside the sections (its value already JSON).
    void json_member(const std::string &name, const std::string &json_value);
    // A text made into a JSON string (scrubbed and escaped).
    std::string json_string(const std::string &text) const;

    // Prints the report ending in its summary line; returns the exit code.
    int finish(check_outcome outcome, const std::string &summary);

  private:
    struct section_entry {
        std::string title;
        std::vector<std::string> lines;
    };
    struct problem_entry {
        std::string key, reason, text;
        int count;
    };
    std::string command_, target_;
    bool json_;
    std::vector<std::pair<std::string, std::string>> secrets_;
    std::vector<section_entry> sections_;
    std::vector<problem_entry> problems_;
    std::vector<std::pair<std::string, std::string>> members_;
};

// Printf into a std::string (the plugin's own format checking, which knows
// the printf family mingw-w64 links).
std::string text_format(const char *format, ...) QV_PRINTF(1, 2);

// The first 8 characters of a hash and three dots, as the plugin shows one.
std::string hash_prefix(const std::string &hash);
