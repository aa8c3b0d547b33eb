// Conversions of the session's doubles to integers.
#ifndef ZVSDK_STANDIN_SIM_NUMBERS_HPP
#define ZVSDK_STANDIN_SIM_NUMBERS_HPP

#include <cmath>
#include <cstdint>
#include <limits>

namespace standin::sim {

// x truncated toward zero, clamped to the range of int64_t, and 0 for NaN. A bar file
// may hold any finite volume (1e20, 1e300), and a share count derived from it must not
// reach a plain conversion, which is undefined behaviour out of range (on x86 it gives
// INT64_MIN, a negative cap that would block every fill).
inline std::int64_t clamped_int64(double x) {
    constexpr double kLimit = 9223372036854775808.0;  // 2^63, exact as a double
    if (std::isnan(x)) return 0;
    if (x >= kLimit) return std::numeric_limits<std::int64_t>::max();
    if (x < -kLimit) return std::numeric_limits<std::int64_t>::min();
    return static_cast<std::int64_t>(x);
}

}  // namespace standin::sim

#endif
