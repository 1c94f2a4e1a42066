// Turning the host's reals into integers, the same way everywhere: tested as
// reals before any cast, so NaN, infinities and huge values never reach a
// conversion whose result C++ leaves undefined.
#pragma once

#include <cmath>
#include <cstdint>

namespace torvane {

// Truncates a real that names a pixel coordinate or an object id. Accepts only
// 0 <= value < upperExclusive (NaN fails every comparison); -0.5 is refused, 3.9
// means 3. upperExclusive must not exceed 2^31.
inline bool TruncateIndex(double value, double upperExclusive, int32_t& index) {
    if (!(value >= 0.0 && value < upperExclusive)) return false;
    index = static_cast<int32_t>(value);
    return true;
}

// Truncates toward zero to a 64-bit integer and keeps its low 32 bits. NaN and
// reals outside the 64-bit range give 0 (the bits such a conversion leaves).
inline uint32_t TruncateLow32Bits(double value) {
    constexpr double TwoPow63 = 9223372036854775808.0;
    if (!(value >= -TwoPow63 && value < TwoPow63)) return 0;
    return static_cast<uint32_t>(static_cast<uint64_t>(static_cast<int64_t>(value)));
}

// The same, read as a signed 32-bit value (for the mode).
inline int32_t TruncateLow32BitsSigned(double value) {
    return static_cast<int32_t>(TruncateLow32Bits(value));
}

}  // namespace torvane

namespace torvane {

// The nearest 32-bit float to a real, as IEEE rounding gives it: reals beyond
// the float range round to the largest float or to infinity instead of taking
// the undefined path of a plain cast. NaN stays NaN.
inline float NearestFloat(double value) {
    constexpr double LargestFloat = 3.4028234663852886e38;   // FLT_MAX
    constexpr double RoundsToInfinity = 3.4028235677973366e38; // 2^128 - 2^103, halfway to 2^128
    const double magnitude = std::fabs(value);
    if (magnitude >= RoundsToInfinity) return std::signbit(value) ? -INFINITY : INFINITY;
    if (magnitude > LargestFloat) return std::signbit(value) ? -3.4028234663852886e38f : 3.4028234663852886e38f;
    return static_cast<float>(value);
}

}  // namespace torvane
