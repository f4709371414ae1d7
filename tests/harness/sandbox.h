// A fresh plugin folder per test: a copy of the development library, so the
// files the plugin keeps beside itself (log, ini, tokens) start out absent.
#pragma once

#include <cstddef>
#include <filesystem>
#include <string>

std::filesystem::path dev_library_path();

// Paths from and to UTF-8 text, the plugin's encoding. A plain std::string
// would go through the narrow code page on Windows.
std::filesystem::path utf8_path(const std::string &text);
std::string utf8_text(const std::filesystem::path &path);

class plugin_sandbox {
  public:
    // `folder_name` (UTF-8) is the last component of the folder (made unique).
    explicit plugin_sandbox(const std::string &folder_name = "plugin");
    ~plugin_sandbox();
    plugin_sandbox(const plugin_sandbox &) = delete;
    plugin_sandbox &operator=(const plugin_sandbox &) = delete;

    const std::filesystem::path &dir() const { return dir_; }
    std::string library() const;
    std::filesystem::path file(const std::string &name) const { return dir_ / utf8_path(name); }
    std::string read(const std::string &name) const;
    void write(const std::string &name, const std::string &content) const;
    bool exists(const std::string &name) const;

  private:
    std::filesystem::path dir_;
    std::filesystem::path library_;
};

// Process environment, as the plugin reads it.
void set_env(const char *name, const std::string &value);
void unset_env(const char *name);

// Sets a variable for the life of the object.
class scoped_env {
  public:
    scoped_env(const char *name, const std::string &value) : name_(name) { set_env(name, value); }
    ~scoped_env() { unset_env(name_); }
    scoped_env(const scoped_env &) = delete;
    scoped_env &operator=(const scoped_env &) = delete;

  private:
    const char *name_;
};

// How often `needle` occurs in `text` (overlaps counted).
inline size_t occurrences(const std::string &text, const std::string &needle) {
    size_t n = 0;
    for (size_t at = text.find(needle); at != std::string::npos; at = text.find(needle, at + 1))
        ++n;
    return n;
}

// Polls `done` every 10 ms for up to `ms` real milliseconds.
template <typename Pred>
bool eventually(Pred done, int ms = 5000);
void sleep_real_ms(int ms);

template <typename Pred>
bool eventually(Pred done, int ms) {
    for (int waited = 0; waited < ms; waited += 10) {
        if (done()) return true;
        sleep_real_ms(10);
    }
    return done();
}
