// A whole proximity-voice session in the simulated Mumble host: the
// development library is loaded as Mumble loads it, synchronizes a server
// with the roster's players, links its identity through the web service and
// the browser stand-in, and reaches the falloff server first with the shared
// key and then with its own credential. Every remote player speaks with a
// voice of its own, fed through the audio callback at Mumble's pace; each
// second the demo prints whom the player hears at what gain and pan, and at
// the end it writes the stereo mix to a WAV file and sums the session up.
// With --falloff-control it stops the falloff server for a few seconds once
// token mode has run a while, to show Mumble's log telling the player that
// proximity voice is paused, and the reconnection.
//
//   session_demo --roster FILE --falloff-port N --api-key KEY --web-port N
//                --web-ca FILE --opened FILE --wav FILE [--seconds N]
//                [--falloff-control FILE] [--peer-log FILE]...
#include "harness/mumble_host.h"
#include "harness/sandbox.h"
#include "high_band.h"

#include <algorithm>
#include <chrono>
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

namespace {
using clock_type = std::chrono::steady_clock;

constexpr uint32_t sample_rate = 48000;
constexpr uint32_t frames_per_buffer = 480;  // 10 ms, as Mumble hands them over
constexpr uint16_t channels = 2;
constexpr int buffers_per_second = static_cast<int>(sample_rate / frames_per_buffer);
constexpr int harmonics = 6;
constexpr double voice_level = 0.1;
constexpr double silent_gain = 0.005;    // below this a voice counts as silenced
constexpr double silent_mix_rms = 1e-4;  // a mix this quiet means nothing was heard
constexpr double opposite_pan = 0.5;     // "on opposite sides": pans beyond -/+ this
constexpr double opposite_min_gain = 0.3;
// The voices' harmonics stay below 2 kHz: what the mix holds above this is
// what the audio path added.
constexpr double artefact_above_hz = 4000.0;
constexpr mumble_userid_t local_user = 1;
constexpr size_t min_checked_secret = 8;
// The falloff outage: how long the server stays stopped, how long token mode
// runs first, and how much of the session must follow the outage for the
// reconnection to show (the plugin retries every second).
constexpr int outage_seconds = 4;
constexpr int outage_after_token_s = 3;
constexpr int outage_tail_s = 5;

struct options {
    std::string roster, api_key, web_ca, opened, wav, falloff_control;
    int falloff_port = 0, web_port = 0, seconds = 36;
    std::vector<std::string> peer_logs;
};

bool parse_options(int argc, char **argv, options &o) {
    for (int i = 1; i + 1 < argc; i += 2) {
        std::string name = argv[i], value = argv[i + 1];
        if (name == "--roster")
            o.roster = value;
        else if (name == "--api-key")
            o.api_key = value;
        else if (name == "--web-ca")
            o.web_ca = value;
        else if (name == "--opened")
            o.opened = value;
        else if (name == "--wav")
            o.wav = value;
        else if (name == "--falloff-port")
            o.falloff_port = std::atoi(value.c_str());
        else if (name == "--web-port")
            o.web_port = std::atoi(value.c_str());
        else if (name == "--seconds")
            o.seconds = std::atoi(value.c_str());
        else if (name == "--falloff-control")
            o.falloff_control = value;
        else if (name == "--peer-log")
            o.peer_logs.push_back(value);
        else
            return false;
    }
    return argc % 2 == 1 && !o.roster.empty() && !o.wav.empty() && !o.opened.empty() && o.falloff_port > 0 &&
           o.web_port > 0 && o.seconds > 0;
}

// A voice: a harmonic series on its own fundamental, shaped into syllables.
struct voice {
    double f0, syllables_hz, phase;
    double sample(uint64_t n) const {
        double t = static_cast<double>(n) / sample_rate;
        double s = std::sin(3.14159265358979 * syllables_hz * t + phase);
        double envelope = 0.3 + 0.7 * s * s;
        double sum = 0;
        for (int k = 1; k <= harmonics; ++k)
            sum += std::sin(2 * 3.14159265358979 * k * f0 * t) / k;
        return voice_level * envelope * sum;
    }
};

// Fundamentals chosen so that no voice's low harmonics land on another's
// fundamental: each voice can be told apart in the mix.
constexpr voice voices[] = {{233, 3.7, 0.0}, {107, 3.1, 1.1}, {262, 4.3, 2.3},
                            {139, 2.9, 0.7}, {197, 3.9, 1.9}, {163, 3.3, 2.8}};

struct player {
    std::string hash, name;
    mumble_userid_t id = 0;
    voice v{};
    double in = 0, left = 0, right = 0;  // energy over the current second
};

struct second_row {
    int t = 0;
    std::string link;
    struct cell {
        double gain, pan, left, right;
    };
    std::vector<cell> cells;
};

std::vector<player> read_roster(const std::string &path) {
    std::vector<player> out;
    std::ifstream in(path);
    for (std::string line; std::getline(in, line);) {
        line = line.substr(0, line.find('#'));
        std::istringstream words(line);
        player p;
        if (words >> p.hash >> p.name) out.push_back(p);
    }
    return out;
}

// New lines of a file that another process (or the plugin) appends to.
struct tail {
    std::string path;
    size_t done = 0;
    std::vector<std::string> fresh() {
        // Only what came since the last look; a line still being written
        // waits for its line end.
        std::ifstream in(path, std::ios::binary);
        in.seekg(static_cast<std::streamoff>(done));
        std::string text((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
        std::vector<std::string> lines;
        size_t at = 0, end;
        while ((end = text.find('\n', at)) != std::string::npos) {
            std::string line = text.substr(at, end - at);
            if (!line.empty() && line.back() == '\r') line.pop_back();
            lines.push_back(line);
            at = end + 1;
        }
        done += at;
        return lines;
    }
};

std::string hidden_approval(std::string address) {
    size_t at = address.find("approval=");
    if (at != std::string::npos) address = address.substr(0, at + 9) + "...";
    return address;
}

bool write_wav(const std::string &path, const std::vector<int16_t> &samples) {
    std::ofstream out(path, std::ios::binary | std::ios::trunc);
    auto u32 = [&](uint32_t v) {
        for (int i = 0; i < 4; ++i)
            out.put(static_cast<char>((v >> (8 * i)) & 0xFF));
    };
    auto u16 = [&](uint16_t v) {
        out.put(static_cast<char>(v & 0xFF));
        out.put(static_cast<char>(v >> 8));
    };
    uint32_t bytes = static_cast<uint32_t>(samples.size() * sizeof(int16_t));
    out.write("RIFF", 4);
    u32(36 + bytes);
    out.write("WAVEfmt ", 8);
    u32(16);
    u16(1);  // PCM
    u16(channels);
    u32(sample_rate);
    u32(sample_rate * channels * 2);
    u16(channels * 2);
    u16(16);
    out.write("data", 4);
    u32(bytes);
    for (int16_t s : samples)
        u16(static_cast<uint16_t>(s));
    return static_cast<bool>(out);
}

class session {
  public:
    session(const options &o, std::vector<player> players) : o_(o), players_(std::move(players)) {}
    int run();

  private:
    void print_news();
    void play_buffer(uint64_t first_frame);
    void end_second(int t);
    bool summary(double shutdown_ms, bool memory_ok);
    double mix_rms() const { return mix_.empty() ? 0 : std::sqrt(mix_energy_ / static_cast<double>(mix_.size())); }
    void maybe_stop_falloff(int t);
    bool outage_summary() const;

    const options &o_;
    std::vector<player> players_;  // [0] is the local player
    plugin_sandbox box_{"Plugins"};
    mumble_host *host_ = nullptr;
    size_t notices_shown_ = 0;
    std::vector<tail> tails_;
    tail plugin_log_, opened_;
    std::string link_ = "-";
    bool token_mode_ = false;
    int second_ = 0;
    // The falloff outage: when token mode began, when the server was told
    // to stop, when Mumble's log said voice is paused (and how often, with
    // what), and when the next connection came.
    int token_at_ = 0, outage_at_ = 0, paused_at_ = 0, back_at_ = 0, paused_count_ = 0, failed_connects_ = 0;
    std::string paused_notice_, back_notice_;
    std::vector<second_row> rows_;
    std::vector<int16_t> mix_;
    std::vector<float> mix_float_;  // before the WAV's rounding, for the artefact figure
    size_t clipped_ = 0;
    double mix_energy_ = 0;
    float peak_ = 0;
};

void session::print_news() {
    for (auto &t : tails_)
        for (auto &line : t.fresh())
            std::printf("    %s\n", line.c_str());
    for (auto &line : opened_.fresh())
        std::printf("    plugin -> browser: %s\n", hidden_approval(line).c_str());
    for (auto &line : plugin_log_.fresh()) {
        failed_connects_ += line.find("falloff_connect_fail") != std::string::npos;
        if (line.find("falloff_connection_end") != std::string::npos) {
            std::printf("    plugin log: %s\n", line.c_str());
            link_ = "-";
        }
    }
    auto logs = host_->logs();
    for (; notices_shown_ < logs.size(); ++notices_shown_) {
        const std::string &text = logs[notices_shown_];
        std::printf("  Mumble | %s\n", text.c_str());
        if (text.find("connected to falloff") != std::string::npos) {
            bool token = text.find("per-player credential") != std::string::npos;
            link_ = token ? "token" : "legacy";
            token_mode_ = token_mode_ || token;
            if (token && token_at_ == 0) token_at_ = second_ + 1;
            if (paused_at_ > 0 && back_at_ == 0) back_at_ = second_ + 1, back_notice_ = text;
        }
        if (text.find("proximity voice paused") != std::string::npos) {
            link_ = "paused";
            if (++paused_count_ == 1) paused_at_ = second_ + 1, paused_notice_ = text;
        }
    }
}

void session::play_buffer(uint64_t first_frame) {
    std::vector<float> mix(frames_per_buffer * channels, 0.0f), pcm(frames_per_buffer * channels);
    for (size_t i = 1; i < players_.size(); ++i) {
        player &p = players_[i];
        for (uint32_t f = 0; f < frames_per_buffer; ++f) {
            double s = p.v.sample(first_frame + f);
            pcm[f * channels] = pcm[f * channels + 1] = static_cast<float>(s);
            p.in += s * s;
        }
        host_->audio(pcm.data(), frames_per_buffer, channels, true, p.id);
        for (uint32_t f = 0; f < frames_per_buffer; ++f) {
            p.left += static_cast<double>(pcm[f * channels]) * pcm[f * channels];
            p.right += static_cast<double>(pcm[f * channels + 1]) * pcm[f * channels + 1];
        }
        for (size_t k = 0; k < mix.size(); ++k)
            mix[k] += pcm[k];
    }
    for (float s : mix) {
        mix_energy_ += static_cast<double>(s) * s;
        mix_float_.push_back(s);
        peak_ = std::max(peak_, std::fabs(s));
        if (std::fabs(s) > 1.0f) ++clipped_;
        mix_.push_back(static_cast<int16_t>(std::lround(std::clamp(s, -1.0f, 1.0f) * 32767.0f)));
    }
}

void session::end_second(int t) {
    print_news();
    second_ = t;
    second_row row{t, link_, {}};
    std::printf("  %3d s  %-6s", t, link_.c_str());
    for (size_t i = 1; i < players_.size(); ++i) {
        player &p = players_[i];
        double heard = p.left + p.right;
        double gain = p.in > 0 ? std::sqrt(heard / p.in) : 0;
        double pan = heard > 0 ? (p.right - p.left) / heard : 0;
        if (gain < silent_gain)
            std::printf("  %-11s", "silenced");
        else
            std::printf("  %4.2f %+5.2f ", gain, pan);
        row.cells.push_back({gain, pan, p.left, p.right});
        p.in = p.left = p.right = 0;
    }
    std::printf("\n");
    std::fflush(stdout);
    rows_.push_back(row);
}

int session::run() {
    for (size_t i = 0; i < players_.size(); ++i) {
        players_[i].id = static_cast<mumble_userid_t>(local_user + i);
        players_[i].v = voices[(i + std::size(voices) - 1) % std::size(voices)];
    }
    box_.write("quorvane_voice.ini",
               "# written by the demo\nserver_host = 127.0.0.1\nserver_port = " + std::to_string(o_.falloff_port) +
                   "\napi_key = " + o_.api_key + "\nreconnect_sec = 1\ndebug_log = on\n");
    set_env("QUORVANE_VOICE_TEST_WEB_HOST", "localhost");
    set_env("QUORVANE_VOICE_TEST_WEB_PORT", std::to_string(o_.web_port));
    set_env("QUORVANE_VOICE_TEST_WEB_CA", o_.web_ca);
    set_env("QUORVANE_VOICE_TEST_OPENER_LOG", o_.opened);
    for (auto &p : o_.peer_logs)
        tails_.push_back({p});
    opened_.path = o_.opened;
    plugin_log_.path = box_.file("quorvane_voice.log").string();

    mumble_host host(box_.library());
    host_ = &host;
    if (!host.loaded()) {
        std::printf("could not load the plugin: %s\n", host.load_error().c_str());
        return 1;
    }
    std::printf("plugin folder: %s\n", box_.dir().string().c_str());
    host.register_api();
    if (host.init() != 0) {
        std::printf("mumble_init failed\n");
        return 1;
    }
    std::vector<host_user> users;
    for (auto &p : players_)
        users.push_back({p.id, p.hash, 0});
    host.set_local_user(players_[0].id);
    host.set_users(users);
    host.synchronize(0);
    std::printf("Mumble synchronized a server: you are %s (%.8s...), with", players_[0].name.c_str(),
                players_[0].hash.c_str());
    for (size_t i = 1; i < players_.size(); ++i)
        std::printf(" %s (%.0f Hz)", players_[i].name.c_str(), players_[i].v.f0);
    std::printf("\n\n  each second: gain and pan heard (-1 left, +1 right), measured on the audio callback's output\n");
    std::printf("  %5s  %-6s", "t", "link");
    for (size_t i = 1; i < players_.size(); ++i)
        std::printf("  %-11s", players_[i].name.c_str());
    std::printf("\n");

    auto start = clock_type::now();
    const int buffers = o_.seconds * buffers_per_second;
    for (int b = 0; b < buffers; ++b) {
        play_buffer(static_cast<uint64_t>(b) * frames_per_buffer);
        if ((b + 1) % buffers_per_second == 0) {
            end_second((b + 1) / buffers_per_second);
            maybe_stop_falloff((b + 1) / buffers_per_second);
        }
        std::this_thread::sleep_until(start + std::chrono::milliseconds(10 * (b + 1)));
    }

    std::printf("\n-- Mumble asks for an update\n");
    bool update = host.exports().mumble_hasUpdate();
    // As Mumble's updater does: the address only after a yes.
    std::string url = "(not asked)";
    if (update) {
        MumbleStringWrapper address = host.exports().mumble_getUpdateDownloadURL();
        url.assign(address.data, address.size);
    }
    std::printf("  mumble_hasUpdate: %s; download address %s\n", update ? "yes" : "no", url.c_str());

    auto stop = clock_type::now();
    host.shutdown();
    double shutdown_ms = std::chrono::duration<double, std::milli>(clock_type::now() - stop).count();
    print_news();
    bool memory_ok = host.outstanding() == 0 && host.memory_errors().empty();
    bool written = write_wav(o_.wav, mix_);
    bool clean = summary(shutdown_ms, memory_ok);
    bool outage_shown = outage_summary();
    bool ok = token_mode_ && mix_rms() >= silent_mix_rms && memory_ok && written && clean && outage_shown;
    host_ = nullptr;
    return ok ? 0 : 1;
}

// Once token mode has run a while, and if the session has room for the
// reconnection, the falloff server is told to stop for a few seconds.
void session::maybe_stop_falloff(int t) {
    if (o_.falloff_control.empty() || outage_at_ > 0 || token_at_ == 0) return;
    if (t < token_at_ + outage_after_token_s || t + outage_seconds + outage_tail_s > o_.seconds) return;
    std::string temporary = o_.falloff_control + ".tmp";
    std::ofstream(temporary) << "stop " << outage_seconds << "\n";
    std::error_code failed;
    std::filesystem::rename(temporary, o_.falloff_control, failed);
    if (failed) {
        std::printf("  -- could not ask the falloff server to stop: %s\n", failed.message().c_str());
        return;
    }
    outage_at_ = t;
    std::printf("  -- the falloff server is stopped for %d s\n", outage_seconds);
}

// What the outage showed; false when it ran but Mumble's log did not say
// once that voice is paused, or voice did not come back.
bool session::outage_summary() const {
    if (o_.falloff_control.empty()) return true;
    if (outage_at_ == 0) {
        std::printf("  falloff outage: none (the session is too short for it after token mode)\n");
        return true;
    }
    std::printf("  falloff outage: server stopped at %d s for %d s\n", outage_at_, outage_seconds);
    std::printf("    paused notice at %d s (%d in Mumble's log, while the plugin's log has %d failed connects): %s\n",
                paused_at_, paused_count_, failed_connects_, paused_count_ > 0 ? paused_notice_.c_str() : "NONE");
    std::printf("    back at %d s: %s\n", back_at_, back_at_ > 0 ? back_notice_.c_str() : "NOT RECONNECTED");
    return paused_count_ == 1 && back_at_ > 0;
}

bool session::summary(double shutdown_ms, bool memory_ok) {
    std::printf("\n== summary\n");
    int token_seconds = 0;
    for (auto &r : rows_)
        token_seconds += r.link == "token";
    std::printf("  token mode reached: %s (%d of %zu seconds on a per-player credential)\n", token_mode_ ? "yes" : "NO",
                token_seconds, rows_.size());
    for (size_t i = 1; i < players_.size(); ++i) {
        int heard = 0;
        for (auto &r : rows_)
            heard += r.cells[i - 1].gain >= silent_gain;
        std::printf("  %-5s heard in %2d seconds, silenced in %2zu\n", players_[i].name.c_str(), heard,
                    rows_.size() - static_cast<size_t>(heard));
    }

    // The second at which two voices stood furthest apart, one on each side.
    const second_row *best = nullptr;
    size_t bl = 0, br = 0;
    double best_spread = 0;
    for (auto &r : rows_)
        for (size_t a = 0; a < r.cells.size(); ++a)
            for (size_t b = 0; b < r.cells.size(); ++b) {
                const auto &l = r.cells[a], &rr = r.cells[b];
                if (l.pan > -opposite_pan || rr.pan < opposite_pan) continue;
                if (std::min(l.gain, rr.gain) < opposite_min_gain) continue;
                double spread = rr.pan - l.pan;
                if (spread > best_spread) best_spread = spread, best = &r, bl = a, br = b;
            }
    std::string check;
    if (best) {
        std::printf("  opposite sides at %d s (energy of each voice's output over that second):\n", best->t);
        for (size_t i : {bl, br}) {
            const auto &c = best->cells[i];
            std::printf("    %-5s pan %+5.2f  left %9.3f  right %9.3f  (left/right %+6.1f dB)\n",
                        players_[i + 1].name.c_str(), c.pan, c.left, c.right,
                        10 * std::log10((c.left + 1e-12) / (c.right + 1e-12)));
        }
        check = std::to_string(best->t) + " " + players_[bl + 1].name + ":" +
                std::to_string(static_cast<int>(players_[bl + 1].v.f0)) + " " + players_[br + 1].name + ":" +
                std::to_string(static_cast<int>(players_[br + 1].v.f0));
    } else {
        std::printf("  no second with two voices on opposite sides\n");
    }

    double rms = mix_rms();
    std::printf("  mix: %.1f s of stereo at %u Hz, rms %.4f, peak %.3f, %zu samples clipped%s\n",
                static_cast<double>(mix_.size()) / channels / sample_rate, sample_rate, rms, peak_, clipped_,
                rms < silent_mix_rms ? " -- SILENT" : "");
    std::printf("  artefacts: energy above %.0f Hz in the mix, relative to the voices: %.1f dB\n", artefact_above_hz,
                high_band::ratio_db(mix_float_, channels, sample_rate, artefact_above_hz));
    std::printf("  WAV file: %s\n", o_.wav.c_str());
    if (!check.empty()) {
        std::ofstream(o_.wav + ".opposite") << check << "\n";
    }

    std::string log = box_.read("quorvane_voice.log");
    std::string token = box_.read("quorvane_voice_token.txt");
    while (!token.empty() && (token.back() == '\n' || token.back() == '\r'))
        token.pop_back();
    // A key of a few letters would be found in ordinary words.
    bool key_checkable = o_.api_key.size() >= min_checked_secret;
    bool secret_seen = (key_checkable && log.find(o_.api_key) != std::string::npos) ||
                       (!token.empty() && log.find(token) != std::string::npos);
    std::printf("  plugin log: %zu lines, %s in it: %s\n", occurrences(log, "\n"),
                key_checkable ? "api key or credential" : "credential", secret_seen ? "YES" : "no");
    std::printf("  mumble_shutdown took %.1f ms; host memory given back: %s\n", shutdown_ms,
                memory_ok ? "all" : "NOT ALL");
    return !secret_seen;
}
}  // namespace

int main(int argc, char **argv) {
    options o;
    if (!parse_options(argc, argv, o)) {
        std::printf(
            "usage: session_demo --roster FILE --falloff-port N --api-key KEY --web-port N --web-ca FILE "
            "--opened FILE --wav FILE [--seconds N] [--falloff-control FILE] [--peer-log FILE]...\n");
        return 2;
    }
    auto players = read_roster(o.roster);
    if (players.size() < 2 || players.size() > std::size(voices) + 1) {
        std::printf("the roster must name the local player and 1 to %zu others\n", std::size(voices));
        return 2;
    }
    session s(o, players);
    return s.run();
}
