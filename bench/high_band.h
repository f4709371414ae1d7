// How much of a signal lies above a frequency: for voices whose harmonics
// stay below 2 kHz, everything above 4 kHz is what the processing added
// (the clicks of stepped gains). Shared by the glide benchmark and the demo.
#pragma once

#include <cmath>
#include <complex>
#include <cstddef>
#include <cstdint>
#include <numbers>
#include <utility>
#include <vector>

namespace high_band {

// 4096 samples (85 ms at 48 kHz) with a Hann window every half window: the
// windows add up to a constant, and a harmonic 2 kHz away from the band
// leaks nothing measurable into it.
constexpr size_t window_size = 4096;

inline void fft(std::vector<std::complex<double>> &x) {
    const size_t n = x.size();
    for (size_t i = 1, j = 0; i < n; ++i) {
        size_t bit = n >> 1;
        for (; j & bit; bit >>= 1)
            j ^= bit;
        j ^= bit;
        if (i < j) std::swap(x[i], x[j]);
    }
    for (size_t length = 2; length <= n; length <<= 1) {
        const double angle = -2.0 * std::numbers::pi / static_cast<double>(length);
        const std::complex<double> step(std::cos(angle), std::sin(angle));
        for (size_t i = 0; i < n; i += length) {
            std::complex<double> w(1.0, 0.0);
            for (size_t k = 0; k < length / 2; ++k) {
                const std::complex<double> u = x[i + k], v = x[i + k + length / 2] * w;
                x[i + k] = u + v;
                x[i + k + length / 2] = u - v;
                w *= step;
            }
        }
    }
}

// Energy above `above_hz` relative to the whole, in dB, over every channel
// of an interleaved buffer; -inf for silence above (or no signal at all).
inline double ratio_db(const std::vector<float> &interleaved, uint16_t channels, uint32_t sample_rate,
                       double above_hz) {
    std::vector<double> window(window_size);
    for (size_t i = 0; i < window_size; ++i)
        window[i] = 0.5 - 0.5 * std::cos(2.0 * std::numbers::pi * static_cast<double>(i) / window_size);
    const size_t first_bin = static_cast<size_t>(std::ceil(above_hz * window_size / sample_rate));
    const size_t frames = interleaved.size() / channels;
    double high = 0.0, total = 0.0;
    std::vector<std::complex<double>> x(window_size);
    for (uint16_t c = 0; c < channels; ++c)
        for (size_t start = 0; start + window_size <= frames; start += window_size / 2) {
            for (size_t i = 0; i < window_size; ++i)
                x[i] = window[i] * interleaved[(start + i) * channels + c];
            fft(x);
            for (size_t k = 0; k <= window_size / 2; ++k) {
                const double e = std::norm(x[k]);
                total += e;
                if (k >= first_bin) high += e;
            }
        }
    if (total <= 0.0 || high <= 0.0) return -INFINITY;
    return 10.0 * std::log10(high / total);
}

}  // namespace high_band
