// Plain planning rules over C++ values, shared by the accelplan functions.
#pragma once

#include <cmath>
#include <cstdint>

namespace velkora::accelplan {

// Headroom clamped to 0.0-0.99 (a NaN counts as the largest, 0.99), then
// (1 - headroom) x bytes truncated; 2^64 itself saturates.
inline std::uint64_t safe_limit(std::uint64_t available_bytes, double headroom_ratio) {
    double headroom = headroom_ratio;
    if (std::isnan(headroom)) {
        headroom = 0.99;
    } else if (headroom < 0.0) {
        headroom = 0.0;
    } else if (headroom > 0.99) {
        headroom = 0.99;
    }
    const double product = (1.0 - headroom) * static_cast<double>(available_bytes);
    if (product >= 18446744073709551616.0) return UINT64_MAX;
    return static_cast<std::uint64_t>(product);
}

}  // namespace velkora::accelplan
