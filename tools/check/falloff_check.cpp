// falloff HOST:PORT: the handshake as the plugin makes it, then every line the
// server sends, read and applied by the plugin's own transport, handshake and
// speaker line reader.
#include "audio/spatial_audio.h"
#include "checks.h"
#include "core/configuration.h"
#include "core/plugin_state.h"
#include "core/text.h"
#include "falloff/falloff_worker.h"
#include "falloff/handshake.h"
#include "falloff/server_line.h"
#include "falloff/socket_transport.h"
#include "falloff/speaker_update.h"
#include "platform/platform.h"

#include <algorithm>
#include <atomic>
#include <cstring>
#include <vector>

namespace {
// Mumble names each user's certificate by its SHA-1 digest in hexadecimal;
// the plugin finds a speaker's voice only through such a hash.
constexpr size_t mumble_hash_length = 40;
// A healthy handshake takes two answers of at most 5 s each; one that runs
// longer is being fed a byte at a time, and is cut off.
constexpr uint32_t handshake_budget_ms = 15000;
// How far past its window the session may run before it is cut off: one
// more receive time-out and a little.
constexpr uint32_t overrun_grace_ms = falloff_io_timeout_ms + 1000;
// The plugin's PING is answered in time when the answer comes within one
// receive time-out.
constexpr uint32_t ping_answer_limit_ms = falloff_io_timeout_ms;
// Rows of the final table shown in the text report (JSON has them all).
constexpr size_t table_rows_shown = 24;

const std::string retry_effect = text_format(
    "the plugin gives the attempt up and tries again every %d s (reconnect_sec), so its player hears nobody",
    default_reconnect_sec);

bool starts_with(const std::string &text, const char *prefix) { return text.rfind(prefix, 0) == 0; }

bool is_mumble_hash(const std::string &hash) {
    return hash.size() == mumble_hash_length && std::all_of(hash.begin(), hash.end(), is_xdigit);
}

bool all_digits(const std::string &text) { return !text.empty() && std::all_of(text.begin(), text.end(), is_digit); }

// The word that starts after any white space at text.
std::string first_word(const char *text) {
    if (!text) return "";
    while (*text && is_space(*text))
        ++text;
    const char *end = text;
    while (*end && !is_space(*end))
        ++end;
    return std::string(text, end);
}

// Shuts the watched socket down once its time is up, so that no server can
// hold the checker by sending a byte every few seconds.
class watchdog {
  public:
    watchdog() {
        platform_lock_init(&lock_);
        started_ = platform_thread_start(&thread_, &watchdog::run, this);
    }
    ~watchdog() {
        stop_.store(true);
        if (started_) {
            // It looks at stop_ every 50 ms; it must be gone before its
            // members are.
            while (!platform_thread_wait(thread_, 1000)) {
            }
            platform_thread_close(thread_);
        }
    }
    watchdog(const watchdog &) = delete;
    watchdog &operator=(const watchdog &) = delete;

    void watch(platform_socket s, uint32_t ms) {
        platform_lock_enter(&lock_);
        socket_ = s;
        start_ = platform_ticks();
        limit_ = ms;
        fired_ = false;
        platform_lock_leave(&lock_);
    }
    // Before the socket is closed: the watchdog never touches a closed handle.
    void release() {
        platform_lock_enter(&lock_);
        socket_ = platform_invalid_socket;
        platform_lock_leave(&lock_);
    }
    bool fired() {
        platform_lock_enter(&lock_);
        bool f = fired_;
        platform_lock_leave(&lock_);
        return f;
    }

  private:
    static void run(void *arg) {
        auto *self = static_cast<watchdog *>(arg);
        while (!self->stop_.load()) {
            platform_sleep(50);
            platform_lock_enter(&self->lock_);
            if (self->socket_ != platform_invalid_socket && platform_ticks() - self->start_ >= self->limit_) {
                platform_socket_shutdown(self->socket_);
                self->fired_ = true;
                self->socket_ = platform_invalid_socket;
            }
            platform_lock_leave(&self->lock_);
        }
    }

    platform_lock lock_{};
    platform_thread thread_ = nullptr;
    bool started_ = false;
    std::atomic<bool> stop_{false};
    platform_socket socket_ = platform_invalid_socket;
    uint32_t start_ = 0;
    uint32_t limit_ = 0;
    bool fired_ = false;
};

void close_socket(watchdog &dog, platform_socket *s) {
    dog.release();
    if (*s != platform_invalid_socket) platform_socket_close(*s);
    *s = platform_invalid_socket;
}

// ---- handshake -------------------------------------------------------------

struct exchange_trace {
    explicit exchange_trace(check_report *r) : report(r) {}
    check_report *report;
    int sends = 0;
    bool send_failed = false;
    int32_t last_code = -1;
    std::string last_reply;
};

void on_sent(void *context, const char *line, bool ok) {
    auto *t = static_cast<exchange_trace *>(context);
    ++t->sends;
    std::string text(line);
    if (!text.empty() && text.back() == '\n') text.pop_back();
    // The answer to the challenge proves the credential; it is nobody's business.
    if (starts_with(text, "AUTH ")) text = "AUTH <the answer to the challenge: 64 hexadecimal digits>";
    t->report->line("sent      " + t->report->quote(text, 200));
    if (!ok) {
        t->send_failed = true;
        t->report->line("          (the send failed)");
    }
}

void on_received(void *context, int32_t code, const char *reply) {
    auto *t = static_cast<exchange_trace *>(context);
    check_report &r = *t->report;
    t->last_code = code;
    t->last_reply = reply;
    const std::string got = t->last_reply.empty() ? "" : r.quote(t->last_reply) + " ";
    switch (code) {
        case read_line_complete:
            r.line("received  " + r.quote(t->last_reply));
            break;
        case read_line_idle_timeout:
            r.line("received  nothing within 5 s");
            break;
        case read_line_partial_timeout:
            r.line("received  " + got + "and then nothing for 5 s, without a line end");
            break;
        case read_line_closed:
            r.line("received  " + got + (got.empty() ? "nothing: " : "and then ") + "the server closed the connection");
            break;
        case read_line_too_long:
            r.line("received  8191 characters without a line end: " + r.quote(t->last_reply, 60));
            break;
        default:
            r.line("received  " + got + "and then the receive failed");
            break;
    }
}

// Why a complete reply that the plugin does not accept is refused.
void explain_unexpected(check_report &r, const std::string &reply, const char *step) {
    static const char *const known_errors[] = {"ERR unauthorized", "ERR token authentication disabled",
                                               "ERR expected HELLO"};
    const std::string shown = r.quote(reply);
    if (std::strcmp(step, "HELLO2") == 0 && starts_with(reply, "CHALLENGE")) {
        std::string why;
        if (!starts_with(reply, "CHALLENGE ")) {
            why = "no blank follows the word CHALLENGE";
        } else {
            const std::string digits = reply.substr(std::strlen("CHALLENGE "));
            auto bad = std::find_if(digits.begin(), digits.end(), [](char c) { return !is_xdigit(c); });
            if (digits.size() != challenge_length)
                why = text_format("the challenge has %zu characters", digits.size());
            else if (bad != digits.end())
                why = "the challenge holds " + r.quote(std::string(1, *bad)) + ", which is no hexadecimal digit";
        }
        r.problem("challenge_format", shown + ": " + why +
                                          "; the plugin answers only `CHALLENGE` and exactly 64 hexadecimal "
                                          "digits, so it sends no AUTH and " +
                                          retry_effect);
        return;
    }
    std::string lower;
    for (char c : reply)
        lower += ascii_lower(c);
    if (starts_with(lower, "err")) {
        std::string hint;
        for (const char *known : known_errors) {
            std::string known_lower;
            for (const char *k = known; *k; ++k)
                known_lower += ascii_lower(*k);
            if (starts_with(lower, known_lower.c_str()) || starts_with(known_lower, lower.c_str()))
                hint = text_format(" (it is close to `%s`: letter case and blanks count)", known);
        }
        r.problem("unrecognised_err", shown + " in answer to " + step +
                                          " is none of the errors the plugin knows (`ERR unauthorized...`, `ERR "
                                          "token authentication disabled`, `ERR expected HELLO...`)" +
                                          hint + ": no fallback, no count toward revocation, and " + retry_effect);
        return;
    }
    if (reply == "OK" && std::strcmp(step, "HELLO2") == 0) {
        r.problem("unexpected_reply",
                  "`OK` straight after HELLO2: token mode always needs a CHALLENGE first, so " + retry_effect);
        return;
    }
    r.problem("unexpected_reply", shown + " is no answer the plugin takes to " + step +
                                      (lower.find("ok") != std::string::npos ? " (acceptance is exactly `OK`)" : "") +
                                      ": " + retry_effect);
}

// Tells what the plugin makes of an exchange's end; true when it accepted.
bool interpret(check_report &r, const exchange_trace &t, int32_t result, bool token_mode, bool has_api_key) {
    if (result == handshake_accepted) {
        r.line(std::string("plugin:   accepted: proximity voice on (") +
               (token_mode ? "per-player credential" : "migration compatibility") + ")");
        return true;
    }
    const char *step = token_mode ? (t.sends >= 2 ? "AUTH" : "HELLO2") : "HELLO";
    if (t.send_failed) {
        r.line("plugin:   refused: the send failed");
        r.problem("handshake_send_failed", text_format("sending %s failed: ", step) + retry_effect);
        return false;
    }
    if (t.last_code != read_line_complete) {
        r.line("plugin:   refused: no complete answer");
        switch (t.last_code) {
            case read_line_idle_timeout:
            case read_line_partial_timeout:
                r.problem(std::strcmp(step, "AUTH") == 0 ? "no_reply_to_auth" : "no_reply_to_hello",
                          text_format("no complete answer to %s within 5 s: ", step) + retry_effect);
                break;
            case read_line_closed:
                r.problem(
                    "closed_in_handshake",
                    text_format("the server closed the connection instead of answering %s: ", step) + retry_effect);
                break;
            case read_line_too_long:
                r.problem("line_too_long", text_format("the answer to %s runs past 8190 characters without a line "
                                                       "end: ",
                                                       step) +
                                               retry_effect);
                break;
            default:
                r.problem("receive_error", text_format("receiving the answer to %s failed: ", step) + retry_effect);
                break;
        }
        return false;
    }
    const std::string shown = r.quote(t.last_reply);
    if (result == handshake_token_unavailable) {
        if (has_api_key) {
            r.line("plugin:   the server takes no tokens: falls back to the legacy hello on a new connection");
            r.problem("token_unavailable",
                      shown +
                          ": the server takes no tokens, so a player with a credential gets voice only 4 to 5 s "
                          "at a time: the plugin falls back to the shared key, ends that connection once it sees "
                          "the credential (credential_upgrade), waits and tries tokens again");
        } else {
            r.line("plugin:   refused: the server takes no tokens and there is no api key to fall back to");
            r.problem("token_unavailable", shown +
                                               ": the server takes no tokens and without the community's shared "
                                               "key a player with a credential never connects");
        }
        return false;
    }
    if (result == handshake_unauthorized) {
        if (token_mode) {
            r.line("plugin:   refused as unauthorized: counts toward the credential's revocation");
            r.problem("unauthorized",
                      shown + " in answer to " + step +
                          ": the plugin counts it toward revocation; at the third in a row it deletes the player's "
                          "credential and asks for a new approval in the browser, and the player hears nobody "
                          "meanwhile",
                      "unauthorized:token");
        } else {
            r.line("plugin:   refused as unauthorized (a legacy refusal changes nothing but the log)");
            r.problem("unauthorized",
                      shown +
                          " in answer to HELLO: the server does not take this api key, so players "
                          "without a credential get no proximity voice",
                      "unauthorized:legacy");
        }
        return false;
    }
    r.line("plugin:   refused: no fallback, nothing counts toward revocation; tries again later");
    explain_unexpected(r, t.last_reply, step);
    return false;
}

// ---- session ----------------------------------------------------------------

struct speaker_view {
    std::string hash;
    float gain, pan;
};

struct piece_context {
    check_report *report = nullptr;
    bool with_pan = false;
    // The previous piece's last number, whose it was and which field.
    std::string previous_word;
    std::string previous_hash;
    const char *previous_field = nullptr;
    size_t left_out = 0;
    std::string first_left_out;
};

void on_piece(void *context, const speaker_piece &p) {
    auto &c = *static_cast<piece_context *>(context);
    check_report &r = *c.report;
    const std::string hash = p.hash ? p.hash : "";
    const std::string gain_word = first_word(p.gain_text);
    const std::string pan_word = first_word(p.pan_text);
    const std::string shown = r.quote(hash_prefix(hash));
    const std::string previous = c.previous_word;
    const std::string previous_hash = c.previous_hash;
    const char *previous_field = c.previous_field;
    const bool after_number = previous_field && !previous.empty() && is_digit(previous.back());
    if (p.result != speaker_piece_result::blank) {
        c.previous_hash = hash;
        c.previous_field = !pan_word.empty() ? "pan" : (!gain_word.empty() ? "gain" : nullptr);
        c.previous_word = !pan_word.empty() ? pan_word : gain_word;
    }

    // "0.5,25" arrives as two pieces: a number cut at its decimal comma.
    if (after_number && all_digits(hash)) {
        r.problem("decimal_comma", r.quote(hash_prefix(previous_hash)) + " is heard at " + previous_field + " " +
                                       r.quote(previous) + ", not " + r.quote(previous + "," + hash) +
                                       ": the comma separates speakers, so the plugin reads " + r.quote(previous) +
                                       " and then a speaker named " + r.quote(hash) + " (write numbers with a dot)");
        return;
    }
    switch (p.result) {
        case speaker_piece_result::blank:
            return;
        case speaker_piece_result::hash_alone:
            r.problem("no_gain", shown + " is never heard: no gain follows its hash, so the plugin skips it");
            return;
        case speaker_piece_result::gain_not_number:
            r.problem("bad_gain", shown + " is never heard: its gain " + r.quote(gain_word) +
                                      " is not a number, so the plugin skips it");
            return;
        case speaker_piece_result::hash_too_long:
            r.problem("hash_too_long", text_format("a hash of %zu characters (", hash.size()) + shown +
                                           ") is skipped: the plugin keeps hashes of at most 127 characters");
            return;
        case speaker_piece_result::table_full:
            if (c.left_out++ == 0) c.first_left_out = hash;
            return;
        case speaker_piece_result::updated:
            r.problem("duplicate_hash", shown +
                                            " is named twice in one line (letter case does not count): the plugin "
                                            "keeps the later gain and pan");
            break;
        case speaker_piece_result::added:
            break;
    }
    if (!is_mumble_hash(hash))
        r.problem("bad_hash", r.quote(hash) + text_format(" (%zu characters) is never heard: ", hash.size()) +
                                  "no Mumble user has that hash (a certificate hash is 40 hexadecimal digits)");
    if (p.gain_read > 1.0f)
        r.problem("gain_out_of_range",
                  shown + " is heard at gain 1, not " + r.quote(gain_word) + ": gains run from 0 to 1");
    else if (p.gain_read < 0.0f)
        r.problem("gain_out_of_range",
                  shown + " is never heard: its gain " + r.quote(gain_word) + " is below 0 and counts as 0");
    if (c.with_pan && p.pan_text && !p.pan_is_number)
        r.problem("bad_pan", shown + " is heard in the middle: its pan " + r.quote(pan_word) +
                                 " is not a number, so the plugin takes 0");
    else if (p.pan_is_number && (p.pan_read < -1.0f || p.pan_read > 1.0f))
        r.problem("pan_out_of_range", shown + " is heard fully on the " + (p.pan_read < 0 ? "left" : "right") +
                                          ": its pan " + r.quote(pan_word) + " lies outside -1 to 1");
}

struct session_result {
    bool ended = false;  // the connection ended the way the plugin ends it
    uint32_t duration_ms = 0;
    uint32_t updates = 0;
    uint32_t updates_without_pans = 0;
    uint32_t empty_lines = 0;
    uint32_t server_pings = 0;
    uint32_t unknown_lines = 0;
    size_t longest_line = 0;
    std::vector<size_t> speakers;
    std::vector<uint32_t> ping_answers_ms;
    std::vector<speaker_view> table;
};

// The plugin's own PING; false when the send failed, which ends the
// plugin's connection.
bool keepalive(check_report &r, platform_socket s, uint32_t start, uint32_t *ping_sent_at, bool *ping_outstanding) {
    *ping_sent_at = platform_ticks();
    *ping_outstanding = true;
    r.line(text_format("sent      `PING` at %.1f s", (*ping_sent_at - start) / 1000.0));
    if (send_all(s, "PING\n")) return true;
    r.line("          (the send failed)");
    r.problem("send_failed",
              "sending the plugin's PING failed: the plugin drops the connection "
              "(keepalive_send_error), and players hear nobody until it reconnects");
    return false;
}

session_result run_session(check_report &r, watchdog &dog, platform_socket s, int seconds) {
    session_result out;
    static char line[line_buffer_size];
    static char work[speaker_work_size];
    static speaker_entry table[max_speakers];
    static uint64_t digests[max_speakers];
    size_t count = 0;

    const uint32_t window_ms = static_cast<uint32_t>(seconds) * 1000u;
    const uint32_t start = platform_ticks();
    dog.watch(s, std::max(window_ms, ping_answer_limit_ms) + overrun_grace_ms);
    uint32_t ping_sent_at = 0;
    bool ping_outstanding = false;
    bool ping_missed = false;
    std::string first_unknown;
    std::string first_update;
    out.ended = !keepalive(r, s, start, &ping_sent_at, &ping_outstanding);

    while (!out.ended) {
        uint32_t now = platform_ticks();
        if (ping_outstanding && now - ping_sent_at >= ping_answer_limit_ms && !ping_missed) {
            ping_missed = true;
            r.problem("no_ping_answer",
                      "the plugin's `PING` got no `OK` within 5 s: the plugin keeps the connection "
                      "regardless, but this server does not answer what the plugin sends");
        }
        const bool waiting_for_answer = ping_outstanding && !ping_missed;
        if (now - start >= window_ms && !waiting_for_answer) break;

        int32_t error = 0;
        const int32_t code = read_line(s, line, &error);
        now = platform_ticks();
        const double at_s = (now - start) / 1000.0;
        if (code == read_line_complete) {
            const std::string text = line;
            out.longest_line = std::max(out.longest_line, text.size());
            switch (classify_server_line(line)) {
                case server_line_kind::empty:
                    ++out.empty_lines;
                    break;
                case server_line_kind::ping:
                    if (out.server_pings++ == 0) r.line(text_format("received  `PING` at %.1f s: answered `OK`", at_s));
                    if (!send_all(s, "OK\n")) {
                        r.problem("send_failed",
                                  "answering the server's PING failed: the plugin drops the "
                                  "connection (ping_reply_send_error)");
                        out.ended = true;
                    }
                    break;
                case server_line_kind::speaker_update: {
                    piece_context context;
                    context.report = &r;
                    context.with_pan = std::strncmp(line, "UPDATE2", 7) == 0;
                    read_speaker_line(line, work, table, digests, &count, &on_piece, &context);
                    if (context.left_out > 0)
                        r.problem("too_many_speakers",
                                  text_format("%zu speakers after the first %zu of one line are never heard, the "
                                              "first of them ",
                                              context.left_out, max_speakers) +
                                      r.quote(hash_prefix(context.first_left_out)) +
                                      text_format(": the plugin keeps %zu", max_speakers));
                    if (out.updates++ == 0) first_update = text;
                    if (!context.with_pan) ++out.updates_without_pans;
                    out.speakers.push_back(count);
                    break;
                }
                case server_line_kind::other:
                    if (text == "OK" && ping_outstanding) {
                        ping_outstanding = false;
                        out.ping_answers_ms.push_back(now - ping_sent_at);
                        if (out.ping_answers_ms.size() == 1)
                            r.line(text_format("received  `OK` at %.1f s: the answer to the PING, after %u ms", at_s,
                                               now - ping_sent_at));
                    } else if (out.unknown_lines++ == 0) {
                        first_unknown = text;
                    }
                    break;
            }
        } else if (code != read_line_idle_timeout) {
            const std::string partial = line;
            const std::string shown = partial.empty() ? "" : " after " + r.quote(partial, 60);
            const std::string effect =
                text_format("players hear nobody until the plugin reconnects (every %d s)", default_reconnect_sec);
            out.ended = true;
            if (dog.fired()) {
                out.ended = false;
                r.line(text_format("stopped   at %.1f s while a line was still arriving", at_s));
                if (!partial.empty())
                    r.problem("slow_line", "a line was still arriving long after the window ended" + shown +
                                               ": the plugin waits for it with the old table, as long as "
                                               "the bytes keep coming");
            } else if (code == read_line_closed) {
                r.line(text_format("closed    by the server at %.1f s", at_s) + shown);
                r.problem("closed", text_format("the server closed the connection %.1f s after accepting it%s: the "
                                                "plugin logs remote_eof and ",
                                                at_s, shown.c_str()) +
                                        effect);
            } else if (code == read_line_partial_timeout) {
                r.line(text_format("stalled   at %.1f s", at_s) + shown);
                r.problem("partial_line_stall", "a line stopped for 5 s before its line end" + shown +
                                                    ": the plugin drops the connection (partial_line_timeout) and " +
                                                    effect);
            } else if (code == read_line_too_long) {
                out.longest_line = std::max(out.longest_line, partial.size());
                r.line(text_format("too long  at %.1f s: ", at_s) + r.quote(partial, 60));
                r.problem("line_too_long", "a line reached 8191 characters without a line end (" +
                                               r.quote(partial, 40) +
                                               "): the plugin drops the connection (line_too_long) and " + effect);
            } else {
                r.line(text_format("failed    at %.1f s: receive error %d", at_s, error));
                r.problem(
                    "receive_error",
                    text_format("receiving failed (error %d): the plugin drops the connection and ", error) + effect);
            }
            break;
        }
        if (!out.ended && now - ping_sent_at > keepalive_interval_ms)
            out.ended = !keepalive(r, s, start, &ping_sent_at, &ping_outstanding);
    }
    out.duration_ms = platform_ticks() - start;
    dog.release();

    if (out.updates > 0)
        r.line(text_format("%u speaker line%s applied, the first: ", out.updates, out.updates == 1 ? "" : "s") +
               r.quote(first_update, 100));
    if (out.updates_without_pans > 0)
        r.line(text_format("%u of them UPDATE without pans: every voice is heard in the middle",
                           out.updates_without_pans));
    if (out.empty_lines > 0) r.line(text_format("%u empty lines (ignored)", out.empty_lines));
    if (out.server_pings > 1) r.line(text_format("%u PINGs from the server, each answered `OK`", out.server_pings));
    if (out.unknown_lines > 0) {
        r.line(text_format("%u line%s the plugin ignores, the first: ", out.unknown_lines,
                           out.unknown_lines == 1 ? "" : "s") +
               r.quote(first_unknown));
        r.problem("unknown_line", text_format("%u line%s that the plugin ignores, the first ", out.unknown_lines,
                                              out.unknown_lines == 1 ? "" : "s") +
                                      r.quote(first_unknown) +
                                      ": whatever the server means by it, no player hears a difference");
    }
    if (out.updates == 0 && !out.ended)
        r.problem("no_updates",
                  text_format("no UPDATE or UPDATE2 line in %.1f s: the plugin silences everyone on this connection",
                              out.duration_ms / 1000.0));
    // Every end of a connection empties the plugin's table.
    if (!out.ended) {
        for (size_t i = 0; i < count; ++i)
            out.table.push_back({table[i].hash, table[i].gain, table[i].pan});
    }
    return out;
}

void report_figures(check_report &r, const session_result &s) {
    std::vector<size_t> sorted = s.speakers;
    std::sort(sorted.begin(), sorted.end());
    const size_t median = sorted.empty() ? 0 : sorted[sorted.size() / 2];
    const size_t most = sorted.empty() ? 0 : sorted.back();
    const double seconds = s.duration_ms / 1000.0;
    const double rate = seconds > 0 ? s.updates / seconds : 0.0;
    r.section("Figures");
    r.line(text_format("updates per second     %.1f (%u in %.1f s)", rate, s.updates, seconds));
    r.line(text_format("speakers per update    median %zu, max %zu", median, most));
    r.line(text_format("longest line           %zu characters%s (the plugin takes up to 8190)", s.longest_line,
                       s.longest_line > speaker_line_max ? " and more" : ""));
    if (s.ping_answers_ms.empty())
        r.line("PING answer time       no answer");
    else
        r.line(text_format("PING answer time       %u ms", s.ping_answers_ms.front()));
    r.line(text_format("server PINGs answered  %u", s.server_pings));
    r.json_member("figures",
                  text_format("{\"session_ms\":%u,\"updates\":%u,\"updates_per_second\":%.2f,\"speakers_median\":%zu,"
                              "\"speakers_max\":%zu,\"longest_line\":%zu,\"ping_answer_ms\":%s,"
                              "\"server_pings_answered\":%u,\"unknown_lines\":%u}",
                              s.duration_ms, s.updates, rate, median, most, s.longest_line,
                              s.ping_answers_ms.empty() ? "null" : std::to_string(s.ping_answers_ms.front()).c_str(),
                              s.server_pings, s.unknown_lines));

    if (s.ended) {
        r.section("Table the plugin would hold at the end");
        r.line("none: the connection ended, and the plugin silences everyone until it reconnects");
    } else {
        r.section(text_format("Table the plugin would hold at the end (%zu speakers)", s.table.size()));
        if (!s.table.empty()) r.line(text_format("%-12s %5s  %6s  %6s  %6s", "hash", "gain", "pan", "left", "right"));
    }
    std::string rows = "[";
    for (size_t i = 0; i < s.table.size(); ++i) {
        const speaker_view &v = s.table[i];
        const gain_factors f = law_factors(v.gain, v.pan);
        if (i < table_rows_shown)
            r.line(text_format("%-12s %5.3f  %6.3f  %6.4f  %6.4f", r.printable(hash_prefix(v.hash)).c_str(), v.gain,
                               v.pan, f.left, f.right));
        rows +=
            (i ? "," : "") + std::string("{\"hash\":") + r.json_string(r.printable(v.hash, hash_size)) +
            text_format(",\"gain\":%.4f,\"pan\":%.4f,\"left\":%.4f,\"right\":%.4f}", v.gain, v.pan, f.left, f.right);
    }
    if (s.table.size() > table_rows_shown)
        r.line(text_format("... and %zu more (all of them in --json)", s.table.size() - table_rows_shown));
    r.json_member("table", rows + "]");
}

// ---- attempts ---------------------------------------------------------------

enum class connected { yes, unresolved, refused };

connected open_connection(check_report &r, const falloff_options &o, platform_socket *s) {
    *s = platform_invalid_socket;
    bool unresolved = false;
    if (falloff_connect_to(o.host.c_str(), o.port, s, &unresolved)) {
        r.line(text_format("connected to %s:%d", o.host.c_str(), o.port));
        return connected::yes;
    }
    r.line(unresolved ? "the name does not resolve" : "no connection: refused, or no answer within 5 s");
    return unresolved ? connected::unresolved : connected::refused;
}

struct attempt {
    bool reached = false;   // a connection was made
    bool accepted = false;  // the handshake ended in acceptance
    bool legacy = false;    // the mode at the end
    bool fell_back = false;
    platform_socket socket = platform_invalid_socket;
    connected first = connected::refused;
};

attempt legacy_attempt(check_report &r, watchdog &dog, const falloff_options &o, const char *title) {
    attempt a;
    a.legacy = true;
    r.section(title);
    a.first = open_connection(r, o, &a.socket);
    if (a.first != connected::yes) return a;
    a.reached = true;
    static char reply[line_buffer_size];
    exchange_trace trace(&r);
    handshake_observer observer{&on_sent, &on_received, &trace};
    dog.watch(a.socket, handshake_budget_ms);
    int32_t result = legacy_hello_with_key(a.socket, o.api_key.c_str(), o.identity.c_str(), reply, &observer);
    a.accepted = interpret(r, trace, result, false, true);
    if (!a.accepted) close_socket(dog, &a.socket);
    dog.release();
    return a;
}

attempt token_attempt(check_report &r, watchdog &dog, const falloff_options &o) {
    attempt a;
    r.section("Handshake, token mode (a player with a credential, identity " + hash_prefix(o.identity) + ")");
    a.first = open_connection(r, o, &a.socket);
    if (a.first != connected::yes) return a;
    a.reached = true;
    static char reply[line_buffer_size];
    exchange_trace trace(&r);
    handshake_observer observer{&on_sent, &on_received, &trace};
    dog.watch(a.socket, handshake_budget_ms);
    int32_t result = token_hello(a.socket, o.identity.c_str(), o.credential.c_str(), reply, &observer);
    a.accepted = interpret(r, trace, result, true, !o.api_key.empty());
    dog.release();
    if (a.accepted) return a;
    close_socket(dog, &a.socket);
    if (result == handshake_token_unavailable && !o.api_key.empty()) {
        // As the plugin does: the refused connection is closed first, then a
        // fresh one carries the legacy hello.
        attempt fallback =
            legacy_attempt(r, dog, o, "Handshake, legacy mode: the plugin's fallback on a new connection");
        fallback.fell_back = true;
        fallback.reached = true;
        if (fallback.first != connected::yes)
            r.problem("connect_failed", "the fallback connection could not be made: " + retry_effect);
        return fallback;
    }
    return a;
}

const char *mode_words(const attempt &a) {
    if (!a.legacy) return "token mode";
    return a.fell_back ? "legacy mode after the fallback" : "legacy mode";
}
}  // namespace

check_outcome check_falloff(const falloff_options &o, check_report &r, std::string *summary) {
    r.add_secret(o.api_key, "<api key>");
    r.add_secret(o.credential, "<credential>");
    watchdog dog;

    std::vector<std::string> accepted_modes;
    attempt session{};
    bool any_reached = false;
    connected first_failure = connected::refused;
    bool legacy_pending = !o.api_key.empty();

    if (!o.credential.empty()) {
        attempt t = token_attempt(r, dog, o);
        any_reached = t.reached;
        first_failure = t.first;
        if (t.fell_back) legacy_pending = false;
        if (t.accepted) {
            accepted_modes.push_back(mode_words(t));
            session = t;
        }
    }
    const std::string legacy_title = "Handshake, legacy mode (a player without a credential yet, identity " +
                                     hash_prefix(o.identity) + (o.identity_given ? "" : ", a throwaway one") + ")";
    if (session.socket == platform_invalid_socket && legacy_pending && (any_reached || o.credential.empty())) {
        attempt l = legacy_attempt(r, dog, o, legacy_title.c_str());
        legacy_pending = false;
        if (!any_reached) first_failure = l.first;
        any_reached = any_reached || l.reached;
        if (l.accepted) {
            accepted_modes.push_back(mode_words(l));
            session = l;
        }
    }
    if (!any_reached) {
        *summary = first_failure == connected::unresolved ? o.host + " does not resolve"
                                                          : "no connection (refused, or no answer within 5 s)";
        return check_outcome::unreachable;
    }

    session_result result;
    const bool had_session = session.socket != platform_invalid_socket;
    if (had_session) {
        r.section(text_format("Session: %d s on the connection in %s", o.seconds, mode_words(session)));
        result = run_session(r, dog, session.socket, o.seconds);
        close_socket(dog, &session.socket);
        report_figures(r, result);
    }
    if (legacy_pending) {
        attempt l = legacy_attempt(r, dog, o, legacy_title.c_str());
        if (l.accepted) accepted_modes.push_back(mode_words(l));
        if (l.first != connected::yes)
            r.problem("connect_failed", "the legacy-mode connection could not be made: " + retry_effect);
        close_socket(dog, &l.socket);
    }

    std::string modes;
    for (const std::string &m : accepted_modes)
        modes += (modes.empty() ? "" : " and ") + m;
    if (r.problem_count() == 0) {
        *summary = modes + " accepted; " +
                   text_format(
                       "%u updates in %.1f s, up to %zu speakers", result.updates, result.duration_ms / 1000.0,
                       result.speakers.empty() ? 0 : *std::max_element(result.speakers.begin(), result.speakers.end()));
        return check_outcome::conforms;
    }
    std::string reasons;
    for (const std::string &reason : r.problem_reasons())
        reasons += (reasons.empty() ? "" : ", ") + reason;
    *summary = text_format("%zu problem%s: ", r.problem_count(), r.problem_count() == 1 ? "" : "s") + reasons;
    return check_outcome::problems;
}
