#pragma once

// The host signal of the drift benchmark and how to read it back: a 16-bit
// ramp that rises by kRampSlope for every host frame and wraps, so that any
// stretch of what a device played tells which host frames it holds, to a
// fraction of a frame even after a resampler, as long as the stretch stays
// away from the wrap (where a resampler's filter rings).

#include <cstdint>
#include <optional>
#include <vector>

inline constexpr int kRampSlope = 2;
// Host frames from one wrap to the next.
inline constexpr double kRampPeriodFrames = 65536.0 / kRampSlope;

int16_t RampSample(int64_t hostFrame);

// The host frame (modulo kRampPeriodFrames) a sample holds.
double RampPhase(int16_t sample);

// Where, in samples of one channel, the ramp passes `phase` (host frames
// modulo the period): the fractional index, from a straight line fitted to
// the frames around the crossing nearest to index `around` within `reach` frames.
// None when no crossing there has a clean ramp around it (the wrap,
// silence of an underrun, a skipped block or too few frames).
std::optional<double> RampCrossing(const std::vector<int16_t>& samples, double phase, double around, double reach);
