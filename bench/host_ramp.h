#pragma once

// The host signal of the drift benchmark and how to read it back from what a
// device played. The left channel is a 16-bit ramp that rises by kRampSlope
// for every host frame and wraps every kRampPeriodFrames; the right channel
// counts the wraps. So any clean stretch of what a device played tells which
// host frames it holds, to a fraction of a frame even after a resampler, as
// long as the stretch stays away from the wrap (where a resampler's filter
// rings, on both channels).

#include <cstdint>
#include <optional>
#include <utility>
#include <vector>

inline constexpr int kRampSlope = 2;
// Host frames from one wrap to the next.
inline constexpr int64_t kRampPeriodFrames = 65536 / kRampSlope;
// How close to a wrap a host frame may be and still be read.
inline constexpr double kWrapMargin = 4096.0;

int16_t RampLeft(int64_t hostFrame);
int16_t RampRight(int64_t hostFrame);

// Stereo 16-bit frames as a device played them.
struct PlayedRamp {
    explicit PlayedRamp(const std::vector<uint8_t>& bytes);
    std::vector<int16_t> left;
    std::vector<int16_t> right;
};

// The fractional frame index at which `played` passes `hostFrame` (which
// must lie at least kWrapMargin from a wrap), looking within `reach` frames
// of index `around`; none when no clean ramp of that period passes it there
// (silence of an underrun, a skipped block, too few frames).
std::optional<double> IndexOfHostFrame(const PlayedRamp& played, double hostFrame, double around, double reach);

// A host frame `played` shows cleanly near index `around` (moved off the
// wrap by up to kWrapMargin frames): its index and the host frame.
std::optional<std::pair<double, double>> HostFrameNear(const PlayedRamp& played, double around);
