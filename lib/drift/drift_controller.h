#pragma once

#include <cstdint>

// How a follower's ratio is steered.
struct SDriftControlConfig {
    double sampleRate = 48000.0;
    double nominalRatio = 1.0;       // the ratio of the two rates when both clocks are right
    double clampPpm = 1250.0;        // the ratio stays within nominal * (1 +- this); devices to 1000 ppm keep room to correct
    double wideBandwidthHz = 1.0;    // loop bandwidth while locking and after a re-synchronisation
    double narrowBandwidthHz = 0.02; // once locked
    double memorySeconds = 0.5;      // the bandwidth is this over the time since the loop (re)started, within the two above
    double agreeFrames = 2.0;        // an error beyond four times this restarts the narrowing
    double limitFrames = 480.0;      // an error beyond this re-synchronises the follower
};

// What the controller asks of the follower's stream this cycle.
struct SDriftStep {
    double ratio = 1.0;      // output frames per input frame of the follower's resampler
    int64_t jumpFrames = 0;  // host frames to drop (> 0) or insert (< 0) in the follower's stream now
    bool resynchronised = false;  // this jump re-synchronises a follower that left its limits
};

// The lag of a render follower behind the master, in host frames: what
// the follower's path holds (the resampler's delay and its queue, turned
// into host frames at `ratio`) minus what the master's holds,
// less a jump not yet applied (host frames still to drop, > 0, or to
// insert, < 0) and the lag it is held at (0 when the configured delays are
// in the data). The queues are the frames written minus the device's
// smoothed position, both at one time stamp; a capture master's recorded
// frames not yet taken count as minus its queue.
double RenderFollowerLag(double masterQueued, double followerQueued, double resamplerDelay, double ratio,
                         double jumpPending, double target);
// The lag of a capture follower's path behind its target latency, in host
// frames: the frames captured but not yet taken, plus the resampler's
// delay, turned into host frames at `ratio`; plus the host frames
// resampled but not yet delivered and what the master's path holds; less a
// jump not yet applied (device frames still to drop, > 0, or silent frames
// to insert, < 0) and the target.
double CaptureFollowerLag(double masterQueued, double deviceQueued, double resamplerDelay, double ratio,
                          double resampledWaiting, double jumpPending, double targetLatency);

// The PI loop of one follower: the lag in, the ratio (and, when needed, a
// whole-frame jump) out. A feed-forward ratio (the follower's rate over
// the master's, from the position filters) carries the drift itself; the
// loop corrects what remains, so that its bandwidth can be narrow without
// slowing the lock.
//
// The first lag it is given is removed by one jump before the loop starts.
// A lag that leaves the limits later re-synchronises the follower once (a
// jump, the loop back to its wide bandwidth): counted, and not repeated
// until the lag has come back within half the limits. While the readings
// are not trusted (a device stalled, a position jumped) the ratio is held.
//
// The engine thread alone uses it; it never allocates.
class CDriftController {
public:
    explicit CDriftController(const SDriftControlConfig& config = {});

    void Reset();
    // One cycle at time stamp `seconds`: the lag (RenderFollowerLag or
    // CaptureFollowerLag), the feed-forward ratio, and whether both
    // devices' readings are steady.
    SDriftStep Update(double seconds, double lag, double feedForwardRatio, bool steady);

    double Ratio() const { return m_ratio; }
    double BandwidthHz() const { return m_bandwidth; }
    bool Started() const { return m_started; }
    int64_t Resynchronisations() const { return m_resyncs; }

private:
    double Clamp(double ratio) const;

    SDriftControlConfig m_config;
    bool m_started = false;
    bool m_armed = true;
    double m_lastTime = 0.0;
    double m_integral = 0.0;  // the integral path's ratio correction
    double m_ratio = 1.0;
    double m_bandwidth = 0.0;
    double m_since = 0.0;  // seconds since the narrowing started
    int64_t m_resyncs = 0;
};
