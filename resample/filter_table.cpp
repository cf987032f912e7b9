// Filter design: the windowed-sinc coefficients in the polyphase table, computed once per res_init.
#include <cmath>
#include <numbers>

#include "resample/resample_internal.h"

namespace resample_internal {

namespace {

// Walking k upwards moves one row down (width floats) and, past the last row, back to the top
// of the next column; this avoids a division per coefficient.
size_t next_coefficient(size_t position, size_t width, size_t n) {
    position += width;
    return position >= n ? position - (n - 1) : position;
}

// Modified Bessel function of the first kind, order zero, by its power series.
double bessel_i0(double z) {
    double sum = 1.0;
    double term = 1.0;
    double n = 2.0;
    do {
        const double ratio = z / n;
        term = term * (ratio * ratio);
        sum = sum + term;
        n = n + 2.0;
    } while (term > 1e-21 * sum);
    return sum;
}

// Offset of coefficient k from the filter's centre. For even n, h[0] is held at zero so that the
// other n - 1 sit symmetrically around offset 0.
int64_t offset(size_t k, size_t n) {
    return static_cast<int64_t>(k) - static_cast<int64_t>(n / 2);
}

}  // namespace

// Computed in double precision, stored as floats, not normalised.
void filt_sinc(float* table, size_t N, uint32_t step, uint32_t width, double cutoff, double gain) {
    RES_CHECK(width <= N);
    float* const origdest = table;
    const double s = cutoff / step;
    size_t position = 0;
    for (size_t k = 0; k < N; ++k, position = next_coefficient(position, width, N)) {
        const int64_t x = offset(k, N);
        if (N % 2 == 0 && k == 0) {
            table[position] = 0.0f;
        } else if (x == 0) {
            table[position] = static_cast<float>(cutoff * gain);
        } else {
            const double xpi = static_cast<double>(x) * std::numbers::pi;
            table[position] = static_cast<float>(std::sin(s * xpi) / xpi * step * gain);
        }
    }
    const float* const dest = origdest + position;
    RES_CHECK(dest == origdest + width);
}

// The window is evaluated at |x| <= M against (M + 1)^2, so it stays positive at both ends.
void win_kaiser(float* table, size_t N, uint32_t width, double beta) {
    float* const origdest = table;
    const double half = static_cast<double>((N - 1) / 2 + 1);
    const double midsq = half * half;
    const double scale = bessel_i0(beta);
    size_t k = 0;
    size_t position = 0;
    if (N % 2 == 0) {
        table[position] = 0.0f;
        k = 1;
        position = next_coefficient(position, width, N);
    }
    for (; k < N; ++k, position = next_coefficient(position, width, N)) {
        const double x = static_cast<double>(offset(k, N));
        const double window = bessel_i0(std::sqrt(1.0 - x * x / midsq) * beta) / scale;
        table[position] = static_cast<float>(table[position] * window);
    }
    const float* const dest = origdest + position;
    RES_CHECK(dest == origdest + width);
}

}  // namespace resample_internal
