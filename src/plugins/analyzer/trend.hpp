// Least-squares trend of a performance window, fed one (timestamp, metric)
// pair at a time in window order.
#pragma once

#include <cmath>
#include <cstdint>

namespace velkora::adaptlogic {

// The sums use offsets from the first pair's timestamp, which is known as
// soon as that pair arrives, so the window is never buffered and epoch-sized
// timestamps do not swamp the sums.
class TrendAccumulator {
public:
    void add(double t, double y) {
        if (count_ == 0) t0_ = t;
        const double x = t - t0_;
        sum_y_ += y;
        sum_x_ += x;
        sum_xy_ += x * y;
        sum_xx_ += x * x;
        ++count_;
    }

    std::int64_t count() const { return count_; }

    // Slope of metric over time divided by the mean metric, clamped to
    // [-1, 1]; 0.0 with fewer than three pairs, a flat time axis or a zero
    // mean. A NaN coefficient clamps to 1.0.
    double coefficient() const {
        if (count_ < 3) return 0.0;
        const double m = static_cast<double>(count_);
        const double mean_x = sum_x_ / m;
        const double denominator = sum_xx_ - (m * mean_x) * mean_x;
        if (std::fabs(denominator) < 1e-10) return 0.0;
        const double mean_y = sum_y_ / m;
        if (std::fabs(mean_y) < 1e-10) return 0.0;
        const double slope = (sum_xy_ - (m * mean_x) * mean_y) / denominator;
        const double coefficient = slope / mean_y;
        const double capped = coefficient < 1.0 ? coefficient : 1.0;
        return capped > -1.0 ? capped : -1.0;
    }

private:
    std::int64_t count_ = 0;
    double t0_ = 0.0;
    double sum_y_ = 0.0;
    double sum_x_ = 0.0;
    double sum_xy_ = 0.0;
    double sum_xx_ = 0.0;
};

}  // namespace velkora::adaptlogic
