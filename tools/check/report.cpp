#include "report.h"

#include "build_info.h"

#include <algorithm>
#include <cstdarg>
#include <cstdio>

namespace {
const char *outcome_word(check_outcome o) {
    switch (o) {
        case check_outcome::conforms:
            return "conforms";
        case check_outcome::problems:
            return "problems";
        case check_outcome::unreachable:
            return "unreachable";
        case check_outcome::usage:
            return "usage";
        case check_outcome::failed:
            return "failed";
    }
    return "usage";
}

int outcome_exit(check_outcome o) {
    switch (o) {
        case check_outcome::conforms:
            return exit_conforms;
        case check_outcome::problems:
            return exit_problems;
        default:
            return exit_unreachable_or_usage;
    }
}

std::string json_escape(const std::string &text) {
    std::string out = "\"";
    for (unsigned char c : text) {
        if (c == '"' || c == '\\') {
            out += '\\';
            out += static_cast<char>(c);
        } else if (c < 0x20 || c == 0x7F) {  // UTF-8 from the command line passes
            out += text_format("\\u%04x", c);
        } else {
            out += static_cast<char>(c);
        }
    }
    return out + "\"";
}
}  // namespace

std::string text_format(const char *format, ...) {
    char small[512];
    va_list args;
    va_start(args, format);
    int n = std::vsnprintf(small, sizeof small, format, args);
    va_end(args);
    if (n < 0) return "";
    if (static_cast<size_t>(n) < sizeof small) return small;
    std::string out(static_cast<size_t>(n) + 1, '\0');
    va_start(args, format);
    std::vsnprintf(out.data(), out.size(), format, args);
    va_end(args);
    out.resize(static_cast<size_t>(n));
    return out;
}

std::string hash_prefix(const std::string &hash) {
    constexpr size_t shown = 8;
    return hash.size() <= shown ? hash : hash.substr(0, shown) + "...";
}

check_report::check_report(std::string command, std::string target, bool json)
    : command_(std::move(command)), target_(std::move(target)), json_(json) {}

void check_report::add_secret(const std::string &secret, const std::string &placeholder) {
    if (secret.empty()) return;
    secrets_.emplace_back(secret, placeholder);
    // Longest first, so a secret that holds another is replaced whole.
    std::sort(secrets_.begin(), secrets_.end(),
              [](const auto &a, const auto &b) { return a.first.size() > b.first.size(); });
}

std::string check_report::scrub(const std::string &text) const {
    std::string out = text;
    for (const auto &[secret, placeholder] : secrets_) {
        std::string next;
        size_t from = 0;
        for (size_t at = out.find(secret); at != std::string::npos; at = out.find(secret, from)) {
            next.append(out, from, at - from);
            next += placeholder;
            from = at + secret.size();
        }
        next.append(out, from, std::string::npos);
        out = std::move(next);
    }
    return out;
}

std::string check_report::quote(const std::string &raw, size_t max_chars) const {
    return "`" + printable(raw, max_chars) + "`";
}

std::string check_report::printable(const std::string &raw, size_t max_chars) const {
    // Scrubbed before it is cut, so no cut leaves part of a secret behind.
    const std::string clean = scrub(raw);
    std::string shown;
    size_t taken = 0;
    for (; taken < clean.size() && shown.size() < max_chars; ++taken) {
        auto c = static_cast<unsigned char>(clean[taken]);
        if (c < 0x20 || c > 0x7E || c == '\\')
            shown += text_format("\\x%02x", c);
        else
            shown += static_cast<char>(c);
    }
    if (taken < clean.size()) shown += text_format("... (%zu characters)", clean.size());
    return shown;
}

void check_report::section(const std::string &title) { sections_.push_back({scrub(title), {}}); }

void check_report::line(const std::string &text) {
    if (sections_.empty()) section("");
    sections_.back().lines.push_back(scrub(text));
}

void check_report::problem(const std::string &reason, const std::string &text, const std::string &key) {
    const std::string k = key.empty() ? reason : key;
    for (problem_entry &p : problems_) {
        if (p.key == k) {
            ++p.count;
            return;
        }
    }
    problems_.push_back({k, reason, scrub(text), 1});
}

bool check_report::has_problem(const std::string &reason) const {
    return std::any_of(problems_.begin(), problems_.end(), [&](const problem_entry &p) { return p.reason == reason; });
}

std::vector<std::string> check_report::problem_reasons() const {
    std::vector<std::string> out;
    for (const problem_entry &p : problems_)
        if (std::find(out.begin(), out.end(), p.reason) == out.end()) out.push_back(p.reason);
    return out;
}

void check_report::json_member(const std::string &name, const std::string &json_value) {
    members_.emplace_back(name, json_value);
}

std::string check_report::json_string(const std::string &text) const { return json_escape(scrub(text)); }

int check_report::finish(check_outcome outcome, const std::string &summary_text) {
    const std::string summary = scrub(text_format("summary: %s (%s%s%s)", outcome_word(outcome), command_.c_str(),
                                                  target_.empty() ? "" : " ", target_.c_str())) +
                                (summary_text.empty() ? "" : ": " + scrub(summary_text));
    const int code = outcome_exit(outcome);
    if (json_) {
        std::string out = "{";
        out += "\"tool\":\"quorvane-voice-check\",\"version\":" + json_escape(QV_VERSION_TEXT);
        out += ",\"command\":" + json_string(command_) + ",\"target\":" + json_string(target_);
        out += ",\"result\":" + json_escape(outcome_word(outcome)) + text_format(",\"exit_code\":%d", code);
        out += ",\"problems\":[";
        for (size_t i = 0; i < problems_.size(); ++i) {
            const problem_entry &p = problems_[i];
            out += (i ? "," : "") + std::string("{\"reason\":") + json_escape(p.reason) +
                   text_format(",\"count\":%d,\"text\":", p.count) + json_escape(p.text) + "}";
        }
        out += "],\"sections\":[";
        for (size_t i = 0; i < sections_.size(); ++i) {
            out += (i ? "," : "") + std::string("{\"title\":") + json_escape(sections_[i].title) + ",\"lines\":[";
            for (size_t j = 0; j < sections_[i].lines.size(); ++j)
                out += (j ? "," : "") + json_escape(sections_[i].lines[j]);
            out += "]}";
        }
        out += "]";
        for (const auto &[name, value] : members_)
            out += "," + json_escape(name) + ":" + value;
        out += ",\"summary\":" + json_escape(summary) + "}\n";
        std::fputs(out.c_str(), stdout);
    } else {
        std::printf("quorvane-voice-check %s: %s%s%s\n", QV_VERSION_TEXT, command_.c_str(), target_.empty() ? "" : " ",
                    scrub(target_).c_str());
        for (const section_entry &s : sections_) {
            std::printf("\n%s\n", s.title.c_str());
            for (const std::string &l : s.lines)
                std::printf("  %s\n", l.c_str());
        }
        std::printf("\n");
        if (problems_.empty() && outcome == check_outcome::conforms) std::printf("Verdict: conforms\n");
        if (!problems_.empty()) {
            std::printf("Verdict: %zu problem%s\n", problems_.size(), problems_.size() == 1 ? "" : "s");
            for (const problem_entry &p : problems_) {
                std::printf("  - [%s] %s", p.reason.c_str(), p.text.c_str());
                if (p.count > 1) std::printf(" (%d times)", p.count);
                std::printf("\n");
            }
        }
        std::printf("%s\n", summary.c_str());
    }
    // A report that did not get out must not pass for a clean one (a CI
    // writing it to a full disk would see exit 0 and nothing).
    if (std::fflush(stdout) != 0 || std::ferror(stdout)) {
        std::fprintf(stderr, "quorvane-voice-check: the report could not be written\n");
        return exit_unreachable_or_usage;
    }
    return code;
}
