#include "time_scale.h"
#include "platform.h"

std::atomic<uint32_t> time_scale::per_mille{1000};

void platform_set_time_scale(double factor) {
    if (!(factor >= 1.0) || factor > 1000.0) factor = 1.0;
    time_scale::per_mille.store(static_cast<uint32_t>(factor * 1000.0));
}

uint32_t platform_scaled_ms(uint32_t ms) { return time_scale::real_ms(ms); }
