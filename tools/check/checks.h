// The three sub-commands. Each fills the report and returns the outcome;
// the command line has been checked before they run.
#pragma once

#include "report.h"

#include <string>

struct falloff_options {
    std::string host;
    int port = 0;
    std::string api_key;     // empty: no legacy hello
    std::string credential;  // read from --credential; empty: no token mode
    std::string identity;    // given, or a throwaway one
    bool identity_given = false;
    int seconds = 30;
};

struct web_options {
    std::string web_host;
    int web_port = 443;
    std::string from;  // the version players run
    bool link = false;
};

struct release_options {
    std::string version;
    std::string out_dir;
    std::string windows_library;
    std::string linux_library;
    std::string web_host;
};

check_outcome check_falloff(const falloff_options &options, check_report &report, std::string *summary);
check_outcome check_web(const web_options &options, check_report &report, std::string *summary);
check_outcome check_release(const release_options &options, check_report &report, std::string *summary);

// 40 random hexadecimal digits: an identity no server knows.
std::string throwaway_identity();
