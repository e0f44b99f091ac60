#pragma once

#include <cstdint>

// How a position filter follows its device.
struct SPositionFilterConfig {
    double nominalRate = 48000.0;    // frames per second the device is opened at
    double wideBandwidthHz = 1.0;    // while locking, and again after a disturbance
    double narrowBandwidthHz = 0.05; // once locked
    double memorySeconds = 0.3;      // the bandwidth is this over the time since the filter (re)started, within the two above
    double agreeFrames = 8.0;        // a prediction error beyond four times this restarts the narrowing
    double jumpFrames = 240.0;       // a prediction error beyond this is a discontinuity, not drift
    int steadyUpdates = 16;          // readings without a discontinuity before the estimate is trusted again,
    double steadySeconds = 0.0;      // and the time they must span
};

// A second-order delay-locked loop over one device's (position, time stamp)
// readings: the device's rate in frames per second of the time stamps'
// clock and a smoothed position at any time near the last reading.
//
// The time stamps are the ones the readings were taken with (a
// high-resolution clock, real or simulated), never the time of the call.
// The bandwidth is wide at first, so the rate is found within a second,
// and narrows as the inverse of the time since the start, as a least-squares
// fit over all readings so far would, so that position noise and late
// readings hardly move the estimate once locked; an error of many frames
// starts the narrowing again from the wide bandwidth. A reading far from the prediction (a
// stall, a position that jumps) is not taken as drift: the loop re-anchors
// on it and keeps the rate it had before the disturbance.
class CPositionFilter {
public:
    explicit CPositionFilter(const SPositionFilterConfig& config = {});

    void Reset();
    // One reading: the device's position in frames, taken at `seconds`.
    // A reading not later than the one before is ignored.
    void Update(double seconds, double position);

    bool HasReading() const { return m_haveReading; }
    // Readings since the last discontinuity have reached steadyUpdates and span steadySeconds.
    bool IsSteady() const
    {
        return m_haveReading && m_sinceJump >= m_config.steadyUpdates && m_steadyFor >= m_config.steadySeconds;
    }
    // Frames per second.
    double Rate() const { return m_rate; }
    // The smoothed position at `seconds` (extrapolated at the current rate).
    double PositionAt(double seconds) const { return m_position + m_rate * (seconds - m_time); }
    double BandwidthHz() const { return m_bandwidth; }
    int64_t Discontinuities() const { return m_discontinuities; }
    // The last prediction error, frames.
    double LastError() const { return m_lastError; }

private:
    SPositionFilterConfig m_config;
    bool m_haveReading = false;
    double m_time = 0.0;
    double m_position = 0.0;
    double m_rate = 0.0;
    double m_goodRate = 0.0;  // the rate before the last disturbance began
    double m_bandwidth = 0.0;
    double m_since = 0.0;      // seconds since the narrowing started
    double m_steadyFor = 0.0;  // seconds since the last discontinuity
    double m_lastError = 0.0;
    int m_sinceJump = 0;
    int64_t m_discontinuities = 0;
};
