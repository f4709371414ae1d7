// A test with a fresh plugin folder and a simulated host that has loaded the
// development library from it. The host's bookkeeping is checked at the end.
// The web service is a refused port on loopback unless the test points the
// plugin elsewhere, so that no test waits on a name lookup; and a plugin that
// a failed test left started is shut down, so that no worker outlives it.
#pragma once

#include "falloff_peer.h"
#include "mumble_host.h"
#include "sandbox.h"

#include <gtest/gtest.h>

#include <memory>
#include <string>

// Tests run the plugin's clocks this much faster than real time.
constexpr int test_time_scale = 20;

// Each channel's gain at pan 0 under the constant-power law.
constexpr float centre = 0.70710677f;

struct heard {
    float left, right;
};

class host_test : public ::testing::Test {
  protected:
    void SetUp() override { open("plugin"); }

    // Replaces the sandbox and host (for tests that need a special folder);
    // callers use ASSERT_NO_FATAL_FAILURE(open(...)).
    void open(const std::string &folder_name) {
        shut_down_if_started();
        host.reset();
        sandbox = std::make_unique<plugin_sandbox>(folder_name);
        set_env("QUORVANE_VOICE_TEST_TIME_SCALE", std::to_string(test_time_scale));
        if (!no_web_service) no_web_service = std::make_unique<refused_port>();
        set_env("QUORVANE_VOICE_TEST_WEB_HOST", "127.0.0.1");
        set_env("QUORVANE_VOICE_TEST_WEB_PORT", std::to_string(no_web_service->port()));
        host = std::make_unique<mumble_host>(sandbox->library());
        ASSERT_TRUE(host->loaded()) << host->load_error();
    }

    void TearDown() override {
        shut_down_if_started();
        if (host) {
            EXPECT_EQ(host->outstanding(), 0u) << "host memory not given back";
            EXPECT_TRUE(host->memory_errors().empty()) << host->memory_errors().front();
            EXPECT_TRUE(host->unexpected_slots().empty())
                << "unexpected host slot " << host->unexpected_slots().front();
        }
        host.reset();
        sandbox.reset();
        unset_env("QUORVANE_VOICE_TEST_WEB_HOST");
        unset_env("QUORVANE_VOICE_TEST_WEB_PORT");
    }

    void shut_down_if_started() {
        if (host && host->loaded() && host->started()) host->shutdown();
    }

    std::string log_file() const { return sandbox->read("quorvane_voice.log"); }

    // Within ms real milliseconds: Mumble shows the notice `text`, or the
    // log file holds `text`.
    bool noticed(const std::string &text, int ms) const {
        return eventually(
            [&] {
                for (const std::string &line : host->logs())
                    if (line == "[Quorvane Voice] " + text) return true;
                return false;
            },
            ms);
    }
    // One stereo buffer of ones from `user` through the audio callback; what
    // its last frame heard. A change of gain or pan glides over the buffer's
    // earlier frames and always ends on the law's factors.
    heard play(uint32_t user) const {
        float pcm[4] = {1.0f, 1.0f, 1.0f, 1.0f};
        EXPECT_TRUE(host->audio(pcm, 2, 2, true, user)) << "user " << user;
        return {pcm[2], pcm[3]};
    }
    bool logged(const std::string &text, int ms) const {
        return eventually([&] { return log_file().find(text) != std::string::npos; }, ms);
    }

    std::unique_ptr<plugin_sandbox> sandbox;
    std::unique_ptr<mumble_host> host;
    std::unique_ptr<refused_port> no_web_service;
};
