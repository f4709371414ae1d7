// The configuration as the real library loads it in the simulated host: the
// ini file beside the library, the environment overrides, and debug_log.
#include "build_info.h"
#include "harness/host_fixture.h"

#include <string>

namespace {
#if defined(_WIN32)
const std::string platform_word = "windows";
#else
const std::string platform_word = "linux";
#endif

std::string loaded_notice(const plugin_sandbox &box, const std::string &host, int port, int enabled) {
    return "[Quorvane Voice] loaded version=" QV_VERSION_NUMBERS " platform=" + platform_word +
           " config=" + box.file("quorvane_voice.ini").string() + " host=" + host + " port=" + std::to_string(port) +
           " enabled=" + std::to_string(enabled);
}
}  // namespace

using config_host = host_test;

TEST_F(config_host, the_startup_notice_reports_the_ini_file) {
    sandbox->write("quorvane_voice.ini",
                   "# Quorvane Voice\r\n"
                   "[falloff]\r\n"
                   "  Server_Host =  voice.example.test\r\n"
                   "server_port=9001 ; remark\r\n"
                   "ENABLED = off\r\n");
    host->register_api();
    ASSERT_EQ(host->init(), 0);
    auto logs = host->logs();
    ASSERT_EQ(logs.size(), 1u);
    EXPECT_EQ(logs[0], loaded_notice(*sandbox, "voice.example.test", 9001, 0));
    host->shutdown();
}

TEST_F(config_host, environment_overrides_win_over_the_ini_file_within_their_limits) {
    struct row {
        const char *ini_host_line;
        std::string host_env;  // empty: ignored like an unset variable
        std::string port_env;
        std::string expected_host;
        int expected_port;
    } rows[] = {
        {"server_host=ini.example", "", "", "ini.example", 1111},
        {"server_host=ini.example", "env.example", "2222", "env.example", 2222},
        {"server_host=", "env.example", "", "env.example", 1111},
        {"server_host=ini.example", std::string(256, 'h'), "", "ini.example", 1111},
        {"server_host=ini.example", std::string(255, 'h'), "", std::string(255, 'h'), 1111},
        {"server_host=ini.example", " spaced ", "3333abc", " spaced ", 3333},
        {"server_host=ini.example", "", std::string(31, '0'), "ini.example", 0},
        {"server_host=ini.example", "", "1" + std::string(31, '0'), "ini.example", 1111},
    };
    host->register_api();
    for (const row &r : rows) {
        sandbox->write("quorvane_voice.ini", std::string(r.ini_host_line) + "\nserver_port=1111\nenabled=0\n");
        scoped_env host_var("QUORVANE_VOICE_HOST", r.host_env);
        scoped_env port_var("QUORVANE_VOICE_PORT", r.port_env);
        host->clear_logs();
        ASSERT_EQ(host->init(), 0);
        auto logs = host->logs();
        ASSERT_EQ(logs.size(), 1u);
        EXPECT_EQ(logs[0], loaded_notice(*sandbox, r.expected_host, r.expected_port, 0))
            << "host variable of " << r.host_env.size() << " chars, port variable '" << r.port_env << "'";
        host->shutdown();
    }
}

TEST_F(config_host, debug_log_off_writes_no_log_file_yet_mumble_gets_the_notice) {
    sandbox->write("quorvane_voice.ini", "debug_log=0\nenabled=0\n");
    host->register_api();
    ASSERT_EQ(host->init(), 0);
    auto logs = host->logs();
    ASSERT_EQ(logs.size(), 1u);
    EXPECT_EQ(logs[0], loaded_notice(*sandbox, "127.0.0.1", 8890, 0));
    host->shutdown();
    EXPECT_FALSE(sandbox->exists("quorvane_voice.log"));
}
