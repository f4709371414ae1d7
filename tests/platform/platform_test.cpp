// Contract of the platform layer: both implementations must pass these.
#include "platform/platform.h"
#include "harness/sandbox.h"

#include <gtest/gtest.h>

#include <atomic>
#include <cstring>
#include <string>

namespace {
struct time_scale_guard {
    explicit time_scale_guard(double f) { platform_set_time_scale(f); }
    ~time_scale_guard() { platform_set_time_scale(1.0); }
};
}  // namespace

TEST(platform_lock, serialises_two_threads) {
    static platform_lock lock;
    static long counter;
    platform_lock_init(&lock);
    counter = 0;
    auto body = [](void *) {
        for (int i = 0; i < 100000; ++i) {
            platform_lock_enter(&lock);
            long v = counter;
            counter = v + 1;
            platform_lock_leave(&lock);
        }
    };
    platform_thread a = nullptr, b = nullptr;
    ASSERT_TRUE(platform_thread_start(&a, body, nullptr));
    ASSERT_TRUE(platform_thread_start(&b, body, nullptr));
    EXPECT_TRUE(platform_thread_wait(a, 60000));
    EXPECT_TRUE(platform_thread_wait(b, 60000));
    platform_thread_close(a);
    platform_thread_close(b);
    EXPECT_EQ(counter, 200000);
}

TEST(platform_thread, passes_its_argument_and_can_be_waited_for) {
    std::atomic<int> seen{0};
    platform_thread t = nullptr;
    ASSERT_TRUE(platform_thread_start(
        &t, [](void *arg) { static_cast<std::atomic<int> *>(arg)->store(42); }, &seen));
    ASSERT_NE(t, nullptr);
    EXPECT_TRUE(platform_thread_wait(t, 10000));
    platform_thread_close(t);
    EXPECT_EQ(seen.load(), 42);
}

TEST(platform_thread, a_wait_gives_up_and_the_thread_goes_on_detached) {
    static std::atomic<bool> release{false};
    static std::atomic<bool> finished{false};
    release = false;
    finished = false;
    platform_thread t = nullptr;
    ASSERT_TRUE(platform_thread_start(
        &t,
        [](void *) {
            while (!release.load())
                platform_sleep(5);
            finished = true;
        },
        nullptr));
    EXPECT_FALSE(platform_thread_wait(t, 50));
    platform_thread_close(t);  // still running
    release = true;
    EXPECT_TRUE(eventually([] { return finished.load(); }));
    // Slots come back once detached threads end: many more starts succeed.
    for (int i = 0; i < 64; ++i) {
        platform_thread u = nullptr;
        ASSERT_TRUE(platform_thread_start(
            &u, [](void *) {}, nullptr))
            << i;
        EXPECT_TRUE(platform_thread_wait(u, 10000));
        platform_thread_close(u);
    }
}

TEST(platform_time, ticks_follow_sleeps_at_any_scale) {
    // Windows ticks move in steps of about 16 ms: allow two steps.
    constexpr uint32_t granularity = 32;
    uint32_t before = platform_ticks();
    platform_sleep(100);
    EXPECT_GE(static_cast<uint32_t>(platform_ticks() - before), 100u - granularity);
    {
        time_scale_guard fast(20);
        EXPECT_EQ(platform_scaled_ms(6000), 300u);
        EXPECT_EQ(platform_scaled_ms(1), 1u);
        before = platform_ticks();
        platform_sleep(2000);  // 100 ms of real time
        EXPECT_GE(static_cast<uint32_t>(platform_ticks() - before), 2000u - 20 * granularity);
    }
    EXPECT_EQ(platform_scaled_ms(6000), 6000u);
}

TEST(platform_time, local_time_is_a_calendar_date) {
    std::tm t{};
    ASSERT_TRUE(platform_local_time(std::time(nullptr), &t));
    EXPECT_GE(t.tm_year + 1900, 2024);
    EXPECT_GE(t.tm_mon, 0);
    EXPECT_LE(t.tm_mon, 11);
}

TEST(platform_env, reports_length_unset_and_too_long) {
    char buf[8];
    unset_env("QV_PLATFORM_TEST");
    EXPECT_EQ(platform_getenv("QV_PLATFORM_TEST", buf, sizeof buf), 0u);
    set_env("QV_PLATFORM_TEST", "abcdefg");  // 7 fits in 8 with the NUL
    EXPECT_EQ(platform_getenv("QV_PLATFORM_TEST", buf, sizeof buf), 7u);
    EXPECT_STREQ(buf, "abcdefg");
    set_env("QV_PLATFORM_TEST", "abcdefgh");
    EXPECT_GE(platform_getenv("QV_PLATFORM_TEST", buf, sizeof buf), sizeof buf);
    unset_env("QV_PLATFORM_TEST");
}

TEST(platform_module, names_this_module_with_the_platform_separator) {
    char path[1024];
    size_t n = platform_module_path(path, sizeof path);
    ASSERT_GT(n, 0u);
    ASSERT_LT(n, sizeof path);
    std::string s(path, n);
    EXPECT_NE(s.find("platform_tests"), std::string::npos) << s;
    EXPECT_NE(s.rfind(platform_path_separator()), std::string::npos) << s;
    std::string word = platform_name();
    EXPECT_TRUE(word == "windows" || word == "linux");
    EXPECT_EQ(platform_path_separator(), word == "windows" ? '\\' : '/');
    // A cut name is reported as filling the buffer.
    char small[8];
    EXPECT_GE(platform_module_path(small, sizeof small), sizeof small);
}

TEST(platform_network, starts_and_cleans_up) {
    ASSERT_TRUE(platform_network_startup());
    platform_socket_shutdown(platform_invalid_socket);  // harmless
    platform_network_cleanup();
}

TEST(platform_random, fills_every_byte_and_differs_between_calls) {
    unsigned char a[32] = {}, b[32] = {};
    ASSERT_TRUE(platform_random_bytes(a, sizeof a));
    ASSERT_TRUE(platform_random_bytes(b, sizeof b));
    EXPECT_NE(std::memcmp(a, b, sizeof a), 0);
    // A large request is filled to its end, however the system hands it out.
    static unsigned char large[1 << 20];
    std::memset(large, 0, sizeof large);
    ASSERT_TRUE(platform_random_bytes(large, sizeof large));
    const unsigned char zero[64] = {};
    EXPECT_NE(std::memcmp(large + sizeof large - sizeof zero, zero, sizeof zero), 0);
    // Nothing asked, nothing written.
    unsigned char guard = 0xa5;
    EXPECT_TRUE(platform_random_bytes(&guard, 0));
    EXPECT_EQ(guard, 0xa5);
}
