// Spectral figures for the quality tests: how much of a signal's energy lies above a frequency.
#ifndef HALVANE_TESTS_SUPPORT_SPECTRUM_H
#define HALVANE_TESTS_SUPPORT_SPECTRUM_H

#include <cmath>
#include <complex>
#include <vector>

namespace spectrum {

// In-place radix-2 FFT; the size must be a power of two.
inline void Fft(std::vector<std::complex<double>>& x) {
    const size_t n = x.size();
    for (size_t i = 1, j = 0; i < n; ++i) {
        size_t bit = n >> 1;
        for (; j & bit; bit >>= 1)
            j ^= bit;
        j ^= bit;
        if (i < j)
            std::swap(x[i], x[j]);
    }
    const double pi = std::acos(-1.0);
    for (size_t len = 2; len <= n; len <<= 1) {
        const std::complex<double> step = std::polar(1.0, -2.0 * pi / static_cast<double>(len));
        for (size_t i = 0; i < n; i += len) {
            std::complex<double> w = 1.0;
            for (size_t k = 0; k < len / 2; ++k, w *= step) {
                const std::complex<double> u = x[i + k];
                const std::complex<double> v = x[i + k + len / 2] * w;
                x[i + k] = u + v;
                x[i + k + len / 2] = u - v;
            }
        }
    }
}

// Energy above `cutoff` Hz relative to the whole energy, in dB, summed over the channels, of the
// largest power-of-two stretch starting at sample `from`. A four-term Blackman-Harris window keeps
// a pure tone's leakage below -92 dB, so the figure measures the signal, not the window.
inline double EnergyAboveDb(const std::vector<std::vector<float>>& channels, size_t from, double rate,
                            double cutoff) {
    size_t n = 1;
    while (2 * n <= channels[0].size() - from)
        n *= 2;
    const double pi = std::acos(-1.0);
    double above = 0.0;
    double total = 0.0;
    for (const auto& channel : channels) {
        std::vector<std::complex<double>> x(n);
        for (size_t i = 0; i < n; ++i) {
            const double t = 2.0 * pi * static_cast<double>(i) / static_cast<double>(n);
            const double w =
                0.35875 - 0.48829 * std::cos(t) + 0.14128 * std::cos(2 * t) - 0.01168 * std::cos(3 * t);
            x[i] = w * channel[from + i];
        }
        Fft(x);
        for (size_t k = 0; k <= n / 2; ++k) {
            const double e = std::norm(x[k]);
            total += e;
            if (static_cast<double>(k) * rate / static_cast<double>(n) > cutoff)
                above += e;
        }
    }
    return 10.0 * std::log10(above / total);
}

} // namespace spectrum

#endif
