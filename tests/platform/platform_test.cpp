// Contract of the platform layer: both implementations must pass these.
#include "platform/platform.h"
#include "harness/sandbox.h"

#include <gtest/gtest.h>

#include <atomic>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <set>
#include <string>
#include <vector>

#if !defined(_WIN32)
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>
#endif

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

namespace {
std::string read_all(std::FILE *f) {
    std::string text;
    char chunk[256];
    for (size_t n; (n = std::fread(chunk, 1, sizeof chunk, f)) > 0;)
        text.append(chunk, n);
    std::fclose(f);
    return text;
}

void add_name(const char *name, void *names) { static_cast<std::set<std::string> *>(names)->insert(name); }
}  // namespace

TEST(platform_files, names_outside_any_code_page_are_written_appended_listed_replaced_and_deleted) {
    plugin_sandbox box("файлы_文件");
    const std::string folder = utf8_text(box.dir());
    const std::string first = utf8_text(box.file("данные_数据.txt"));
    const std::string second = utf8_text(box.file("второй_第二.txt"));

    std::FILE *f = platform_open_for_write(first.c_str(), true);
    ASSERT_NE(f, nullptr) << first;
    std::fputs("one\r\n", f);
    ASSERT_EQ(std::fclose(f), 0);
    f = platform_open_for_append(first.c_str());
    ASSERT_NE(f, nullptr);
    std::fputs("two\r\n", f);
    std::fflush(f);
    uint64_t size = 0;
    EXPECT_TRUE(platform_file_size(f, &size));
    EXPECT_EQ(size, 10u);
    std::fclose(f);
    f = platform_open_for_read(first.c_str());
    ASSERT_NE(f, nullptr);
    EXPECT_EQ(read_all(f), "one\r\ntwo\r\n");
    EXPECT_TRUE(std::filesystem::exists(box.file("данные_数据.txt")));

    std::set<std::string> names;
    ASSERT_TRUE(platform_list_folder(folder.c_str(), &add_name, &names));
    EXPECT_EQ(names.count("данные_数据.txt"), 1u) << testing::PrintToString(names);
    EXPECT_EQ(names.count("."), 0u);
    EXPECT_EQ(names.count(".."), 0u);
    EXPECT_FALSE(platform_list_folder(box.file("missing").string().c_str(), &add_name, &names));

    // Writing truncates; the replace takes the new file's place whole.
    f = platform_open_for_write(second.c_str(), false);
    ASSERT_NE(f, nullptr);
    std::fputs("new", f);
    std::fclose(f);
    ASSERT_TRUE(platform_replace_file(second.c_str(), first.c_str()));
    EXPECT_FALSE(std::filesystem::exists(box.file("второй_第二.txt")));
    f = platform_open_for_read(first.c_str());
    ASSERT_NE(f, nullptr);
    EXPECT_EQ(read_all(f), "new");
    EXPECT_TRUE(platform_delete_file(first.c_str()));
    EXPECT_FALSE(std::filesystem::exists(box.file("данные_数据.txt")));
    EXPECT_FALSE(platform_delete_file(first.c_str()));
}

TEST(platform_files, what_is_not_a_regular_file_is_refused_at_once) {
    plugin_sandbox box("files");
    std::filesystem::create_directory(box.file("folder"));
    std::vector<std::string> refused = {box.file("folder").string()};
#if defined(_WIN32)
    // Device names, on their own and inside a folder.
    for (const char *device : {"NUL", "CON", "COM1"})
        refused.push_back(device);
    refused.push_back(box.file("NUL").string());
#else
    const std::string fifo = box.file("fifo").string();
    ASSERT_EQ(mkfifo(fifo.c_str(), 0600), 0);
    const std::string zero = box.file("zero").string();
    ASSERT_EQ(symlink("/dev/zero", zero.c_str()), 0);
    refused.insert(refused.end(), {fifo, zero, "/dev/null"});
#endif
    auto check_all = [&](const char *when) {
        for (const std::string &path : refused) {
            std::FILE *f = platform_open_for_read(path.c_str());
            EXPECT_EQ(f, nullptr) << "read " << path << " " << when;
            if (f) std::fclose(f);
            f = platform_open_for_write(path.c_str(), false);
            EXPECT_EQ(f, nullptr) << "write " << path << " " << when;
            if (f) std::fclose(f);
            f = platform_open_for_append(path.c_str());
            EXPECT_EQ(f, nullptr) << "append " << path << " " << when;
            if (f) std::fclose(f);
        }
    };
    // Without a peer on the FIFO a plain open would wait for ever; with one
    // the open succeeds and the type check must refuse it.
    check_all("without a peer");
#if !defined(_WIN32)
    int peer = open(fifo.c_str(), O_RDWR | O_NONBLOCK);
    ASSERT_GE(peer, 0);
    check_all("with a peer");
    close(peer);
#endif
    EXPECT_TRUE(std::filesystem::is_directory(box.file("folder")));
}
