// Test-only time scale shared by the platform implementations.
#pragma once

#include <atomic>
#include <cstdint>

namespace time_scale {
// The factor is stored in thousandths so it can be read atomically on any
// thread; 1000 means real time.
extern std::atomic<uint32_t> per_mille;

// Real milliseconds that `ms` of plugin time take.
inline uint32_t real_ms(uint32_t ms) {
    uint32_t f = per_mille.load(std::memory_order_relaxed);
    if (f == 1000 || ms == 0) return ms;
    uint64_t r = static_cast<uint64_t>(ms) * 1000u / f;
    return r == 0 ? 1u : static_cast<uint32_t>(r > UINT32_MAX ? UINT32_MAX : r);
}

// Plugin milliseconds that pass in `real` real milliseconds.
inline uint32_t plugin_ms(uint64_t real) {
    return static_cast<uint32_t>(real * per_mille.load(std::memory_order_relaxed) / 1000u);
}
}  // namespace time_scale
