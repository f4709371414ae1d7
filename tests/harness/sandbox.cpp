#include "sandbox.h"

#include <atomic>
#include <chrono>
#include <cstdlib>
#include <fstream>
#include <sstream>
#include <thread>

#if defined(_WIN32)
#include <windows.h>
#else
#include <unistd.h>
#endif

namespace fs = std::filesystem;

fs::path dev_library_path() {
    std::string path = QV_DEV_LIBRARY;
#if defined(_WIN32)
    // The build runs on the Unix side; Wine shows that file system as Z:.
    if (!path.empty() && path[0] == '/') path = "Z:" + path;
#endif
    return fs::path(path);
}

fs::path utf8_path(const std::string &text) { return fs::path(std::u8string(text.begin(), text.end())); }

std::string utf8_text(const fs::path &path) {
    std::u8string text = path.u8string();
    return std::string(text.begin(), text.end());
}

namespace {
std::atomic<int> sandbox_counter{0};

unsigned long process_id() {
#if defined(_WIN32)
    return GetCurrentProcessId();
#else
    return static_cast<unsigned long>(getpid());
#endif
}
}  // namespace

plugin_sandbox::plugin_sandbox(const std::string &folder_name) {
    // Process ids repeat quickly under Wine, and a folder whose library was
    // still loaded may have outlived its test: add the clock and start clean.
    auto stamp = std::chrono::steady_clock::now().time_since_epoch().count();
    fs::path base =
        fs::temp_directory_path() / ("qv-" + std::to_string(process_id()) + "-" + std::to_string(stamp % 1000000007) +
                                     "-" + std::to_string(sandbox_counter++));
    std::error_code ignored;
    fs::remove_all(base, ignored);
    dir_ = base / utf8_path(folder_name);
    fs::create_directories(dir_);
    fs::path source = dev_library_path();
    library_ = dir_ / source.filename();
    fs::copy_file(source, library_, fs::copy_options::overwrite_existing);
}

plugin_sandbox::~plugin_sandbox() {
    std::error_code ignored;
    // A library still mapped (Linux keeps it loaded for good) may refuse to
    // go on Windows; the temp folder is the system's to clean then.
    fs::remove_all(dir_.parent_path(), ignored);
}

std::string plugin_sandbox::read(const std::string &name) const {
    std::ifstream in(file(name), std::ios::binary);
    std::ostringstream out;
    out << in.rdbuf();
    return out.str();
}

void plugin_sandbox::write(const std::string &name, const std::string &content) const {
    std::ofstream out(file(name), std::ios::binary | std::ios::trunc);
    out << content;
}

std::string plugin_sandbox::library() const { return utf8_text(library_); }

bool plugin_sandbox::exists(const std::string &name) const { return fs::exists(file(name)); }

void set_env(const char *name, const std::string &value) {
#if defined(_WIN32)
    SetEnvironmentVariableA(name, value.c_str());
#else
    setenv(name, value.c_str(), 1);
#endif
}

void unset_env(const char *name) {
#if defined(_WIN32)
    SetEnvironmentVariableA(name, nullptr);
#else
    unsetenv(name);
#endif
}

void sleep_real_ms(int ms) { std::this_thread::sleep_for(std::chrono::milliseconds(ms)); }
