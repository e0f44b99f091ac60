#include "host_ramp.h"

#include <algorithm>
#include <cmath>
#include <cstring>

namespace {

// Frames on each side of a crossing the line is fitted to: enough to read
// the crossing to about a hundredth of a frame through 16-bit rounding.
constexpr int64_t kFitHalfWidth = 128;
// The most a fitted frame may stray from the line, in host frames (the
// rounding of a resampled ramp is a quarter of that).
constexpr double kLargestResidual = 1.0;

double Phase(int16_t left)
{
    return static_cast<double>(static_cast<uint16_t>(left)) / kRampSlope;
}

// Where the ramp passes `phase`: the crossing nearest to `around` within
// `reach`, refined by a straight line fitted to the frames about it.
std::optional<double> Crossing(const std::vector<int16_t>& left, double phase, double around, double reach)
{
    const auto count = static_cast<int64_t>(left.size());
    const int64_t first = std::max<int64_t>(kFitHalfWidth, static_cast<int64_t>(std::floor(around - reach)));
    const int64_t last = std::min<int64_t>(count - kFitHalfWidth - 2, static_cast<int64_t>(std::ceil(around + reach)));
    int64_t best = -1;
    for (int64_t k = first; k <= last; ++k) {
        const double here = Phase(left[static_cast<size_t>(k)]);
        const double next = Phase(left[static_cast<size_t>(k + 1)]);
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
        const double y = Phase(left[static_cast<size_t>(best + x)]);
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
        const double y = Phase(left[static_cast<size_t>(best + x)]);
        if (std::fabs(y - (intercept + slope * static_cast<double>(x))) > kLargestResidual) {
            return std::nullopt;
        }
    }
    return static_cast<double>(best) + (phase - intercept) / slope;
}

// The wrap count the right channel holds at a fractional index.
int64_t PeriodAt(const PlayedRamp& played, double index)
{
    const auto at = static_cast<size_t>(std::clamp<double>(std::round(index), 0.0, static_cast<double>(played.right.size() - 1)));
    return static_cast<uint16_t>(played.right[at]);
}

}  // namespace

int16_t RampLeft(int64_t hostFrame)
{
    return static_cast<int16_t>(static_cast<uint16_t>((hostFrame * kRampSlope) & 0xFFFF));
}

int16_t RampRight(int64_t hostFrame)
{
    return static_cast<int16_t>(static_cast<uint16_t>((hostFrame / kRampPeriodFrames) & 0xFFFF));
}

PlayedRamp::PlayedRamp(const std::vector<uint8_t>& bytes) : left(bytes.size() / 4), right(bytes.size() / 4)
{
    for (size_t f = 0; f < left.size(); ++f) {
        std::memcpy(&left[f], &bytes[4 * f], sizeof(int16_t));
        std::memcpy(&right[f], &bytes[4 * f + 2], sizeof(int16_t));
    }
}

std::optional<double> IndexOfHostFrame(const PlayedRamp& played, double hostFrame, double around, double reach)
{
    const auto period = static_cast<int64_t>(std::floor(hostFrame / kRampPeriodFrames));
    const double phase = hostFrame - static_cast<double>(period * kRampPeriodFrames);
    const std::optional<double> index = Crossing(played.left, phase, around, reach);
    if (!index || PeriodAt(played, *index) != (period & 0xFFFF)) {
        return std::nullopt;
    }
    return index;
}

std::optional<std::pair<double, double>> HostFrameNear(const PlayedRamp& played, double around)
{
    const auto at = static_cast<int64_t>(std::round(around));
    if (at < 0 || at >= static_cast<int64_t>(played.left.size())) {
        return std::nullopt;
    }
    const double phase =
        std::clamp(Phase(played.left[static_cast<size_t>(at)]), kWrapMargin, kRampPeriodFrames - kWrapMargin);
    const std::optional<double> index = Crossing(played.left, phase, around, kWrapMargin + 1.0);
    if (!index) {
        return std::nullopt;
    }
    return std::make_pair(*index, static_cast<double>(PeriodAt(played, *index) * kRampPeriodFrames) + phase);
}
