// The tests' web peer (tests/harness/web_peer.py) for a benchmark run: started
// by the first benchmark that needs it, stopped at the end. The program
// defines QV_WEB_PEER_SCRIPT and its own QV_WEB_PEER_DIR.
#pragma once

#include "harness/web_peer.h"

#include <cstdlib>
#include <memory>
#include <string>

inline std::unique_ptr<web_peer> &bench_web_peer_slot() {
    static std::unique_ptr<web_peer> peer;
    return peer;
}

// Null when the peer could not be started.
inline web_peer *bench_web_peer() {
    std::unique_ptr<web_peer> &peer = bench_web_peer_slot();
    if (!peer) {
        std::string start = "python3 " QV_WEB_PEER_SCRIPT " start " QV_WEB_PEER_DIR " >/dev/null";
        if (std::system(start.c_str()) != 0) return nullptr;
        peer = std::make_unique<web_peer>();
    }
    return peer->ok() ? peer.get() : nullptr;
}

inline void bench_web_peer_stop() {
    bench_web_peer_slot().reset();
    std::string stop = "python3 " QV_WEB_PEER_SCRIPT " stop " QV_WEB_PEER_DIR " >/dev/null 2>&1";
    (void)std::system(stop.c_str());
}
