#include "ramp_crossing.h"

#include <algorithm>
#include <cmath>

namespace {

// Frames on each side of a crossing the line is fitted to: enough to read
// the crossing to about a hundredth of a frame through 16-bit rounding.
constexpr int64_t kFitHalfWidth = 128;
// The most a fitted frame may stray from the line, in host frames (the
// rounding of a resampled ramp is a quarter of that).
constexpr double kLargestResidual = 1.0;

}  // namespace

int16_t RampSample(int64_t hostFrame)
{
    return static_cast<int16_t>(static_cast<uint16_t>((hostFrame * kRampSlope) & 0xFFFF));
}

double RampPhase(int16_t sample)
{
    return static_cast<double>(static_cast<uint16_t>(sample)) / kRampSlope;
}

std::optional<double> RampCrossing(const std::vector<int16_t>& samples, double phase, double around, double reach)
{
    const auto count = static_cast<int64_t>(samples.size());
    const int64_t first = std::max<int64_t>(kFitHalfWidth, static_cast<int64_t>(std::floor(around - reach)));
    const int64_t last = std::min<int64_t>(count - kFitHalfWidth - 2, static_cast<int64_t>(std::ceil(around + reach)));
    int64_t best = -1;
    for (int64_t k = first; k <= last; ++k) {
        const double here = RampPhase(samples[static_cast<size_t>(k)]);
        const double next = RampPhase(samples[static_cast<size_t>(k + 1)]);
        if (here <= phase && phase < next && next - here < 2.0 &&
            (best < 0 || std::fabs(static_cast<double>(k) - around) < std::fabs(static_cast<double>(best) - around))) {
            best = k;
        }
    }
    if (best < 0) {
        return std::nullopt;
    }
    // Least squares over [best - w, best + w], indices relative to best.
    double sumX = 0, sumY = 0, sumXX = 0, sumXY = 0;
    const double n = 2.0 * kFitHalfWidth + 1.0;
    for (int64_t x = -kFitHalfWidth; x <= kFitHalfWidth; ++x) {
        const double y = RampPhase(samples[static_cast<size_t>(best + x)]);
        sumX += static_cast<double>(x);
        sumY += y;
        sumXX += static_cast<double>(x * x);
        sumXY += static_cast<double>(x) * y;
    }
    const double slope = (n * sumXY - sumX * sumY) / (n * sumXX - sumX * sumX);
    const double intercept = (sumY - slope * sumX) / n;
    if (!(slope > 0.5 && slope < 2.0)) {
        return std::nullopt;
    }
    for (int64_t x = -kFitHalfWidth; x <= kFitHalfWidth; ++x) {
        const double y = RampPhase(samples[static_cast<size_t>(best + x)]);
        if (std::fabs(y - (intercept + slope * static_cast<double>(x))) > kLargestResidual) {
            return std::nullopt;
        }
    }
    return static_cast<double>(best) + (phase - intercept) / slope;
}
