#include "loop_model.h"

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <deque>
#include <memory>
#include <random>
#include <stdexcept>

namespace {

// A device clock: position in frames at time t (seconds), its rate error
// wandering linearly, with an optional stall and an optional jump.
struct SDeviceClock {
    double fs = 48000.0;
    double ppm = 0.0;
    double ppmPerSecond = 0.0;
    double stallAt = -1.0, stallSeconds = 0.0;
    double jumpAt = -1.0, jumpFrames = 0.0;

    double Free(double t) const { return fs * (t + 1e-6 * (ppm * t + 0.5 * ppmPerSecond * t * t)); }
    double Position(double t) const
    {
        double p = Free(t);
        if (stallAt >= 0.0 && t > stallAt)
            p -= Free(std::min(t, stallAt + stallSeconds)) - Free(stallAt);
        if (jumpAt >= 0.0 && t >= jumpAt)
            p += jumpFrames;
        return p;
    }
    double RateFactor(double t) const { return 1.0 + 1e-6 * (ppm + ppmPerSecond * t); }
    // The time the free-running clock reaches `position`.
    double TimeOf(double position) const
    {
        double t = position / (fs * (1.0 + 1e-6 * ppm));
        for (int i = 0; i < 3; ++i)
            t -= (Free(t) - position) / (fs * RateFactor(t));
        return t;
    }
};

// Frames the resampler gave out, with the input time of each.
struct SOutputSegment {
    double start;  // index of the first frame (queue index for render, output index for capture)
    int32_t count;
    double firstInputTime;
    double step;
};

// Input frame index to timeline index (host frame for render, capture frame
// for capture): x + shift, the shift changing where frames were dropped or
// inserted.
struct SShiftMap {
    std::vector<std::pair<double, double>> changes{{-1e300, 0.0}};
    double current = 0.0;
    void Change(double fromInput, double delta)
    {
        current += delta;
        changes.emplace_back(fromInput, current);
    }
    double Map(double x) const
    {
        for (auto it = changes.rbegin(); it != changes.rend(); ++it)
            if (it->first <= x)
                return x + it->second;
        return x;
    }
};

struct SStats {
    bool locked = false;
    double withinSince = -1.0;
    int64_t samples = 0;
    double sumOffset2 = 0, sumRatio2 = 0, lateRatio2 = 0;
    int64_t lateSamples = 0;
};

struct SFollowerState {
    SModelFollower setup;
    SDeviceClock clock;
    std::unique_ptr<CVariableResampler> resampler;
    CPositionFilter filter;
    CDriftController controller;
    std::deque<SOutputSegment> segments;
    SShiftMap shift;
    double pending = 0.0;  // jump frames still to apply (> 0 drop, < 0 insert)
    // Render: the device's queue.
    int64_t written = 0, silence = 0, capacity = 0;
    // Capture: the device's buffer and the host-side frames waiting.
    int64_t readIndex = 0, waiting = 0, prefill = 0, hostMissing = 0, outputs = 0;
    double demand = 0.0, target = 0.0;
    SStats stats;
    SModelFollowerResult result;
};

double MapSegments(const std::deque<SOutputSegment>& segments, double index, double fallbackOffset)
{
    for (auto it = segments.rbegin(); it != segments.rend(); ++it) {
        if (it->start <= index)
            return it->firstInputTime + (index - it->start) * it->step;
    }
    return index + fallbackOffset;
}

void TrimSegments(std::deque<SOutputSegment>& segments, double index)
{
    while (segments.size() > 1 && segments[1].start <= index - 1.0)
        segments.pop_front();
}

}  // namespace

SModelResult RunDriftModel(const SModelScenario& sc)
{
    const double fs = sc.sampleRate;
    const int32_t B = sc.blockFrames;
    std::mt19937 random(sc.seed);
    // A thread wakes some time after the completion it waits for: at least
    // within 0.1 ms, at most the scenario's jitter late.
    std::uniform_real_distribution<double> lateness(0.0, std::max(sc.jitterSeconds, 1e-4));
    std::uniform_int_distribution<int> noise(-1, 1);
    auto readingOf = [&](double position) {
        // A device reports whole frames (bytes, truncated): the frame it is
        // in, whose middle is the best guess of where it is.
        return std::floor(position) + 0.5 + (sc.positionNoise ? noise(random) : 0);
    };

    SDeviceClock master{fs, sc.masterPpm};
    // The master's queue covers two blocks and the worst lateness.
    const int64_t prefill = 2 * B + static_cast<int64_t>(std::ceil(sc.jitterSeconds * fs));
    int64_t masterWritten = prefill, masterSilence = 0;
    SModelResult out;
    CPositionFilter masterFilter(sc.filter);

    std::vector<std::unique_ptr<SFollowerState>> followers;
    for (const SModelFollower& setup : sc.followers) {
        auto f = std::make_unique<SFollowerState>();
        f->setup = setup;
        f->clock = SDeviceClock{fs, setup.ppm, setup.ppmPerHour / 3600.0, setup.stallAt, setup.stallSeconds,
                                setup.jumpAt, setup.jumpFrames};
        f->resampler = std::make_unique<CVariableResampler>(1, 2 * B + 16, sc.quality);
        f->resampler->SetBypass(!sc.compensate);
        f->filter = CPositionFilter(sc.filter);
        f->controller = CDriftController(sc.control);
        f->written = prefill;
        f->capacity = prefill + 4 * B;
        f->prefill = 2 * B;
        f->waiting = f->prefill;
        f->target = static_cast<double>(prefill + f->prefill + B);
        followers.push_back(std::move(f));
    }
    std::vector<int32_t> zeros(static_cast<size_t>(2 * B + 16), 0);
    std::vector<int32_t> output(static_cast<size_t>(followers.empty() ? 1 : followers[0]->resampler->MaxOutputFrames()));

    double now = 0.0;
    for (int64_t k = 0;; ++k) {
        const double due = static_cast<double>(k + 1) * B / (fs * (1.0 + 1e-6 * sc.masterPpm));
        now = std::max(now, due + lateness(random));
        if (now >= sc.seconds)
            break;
        ++out.cycles;

        const double masterPosition = master.Position(now);
        const int64_t masterPlayed = static_cast<int64_t>(std::floor(masterPosition)) - masterSilence;
        if (masterPlayed > masterWritten) {
            out.masterUnderrunFrames += masterPlayed - masterWritten;
            masterSilence += masterPlayed - masterWritten;
        }
        masterFilter.Update(now, readingOf(masterPosition));
        const double masterQueued = static_cast<double>(masterWritten) - masterFilter.PositionAt(now);
        const double hostPlaying = masterPosition - static_cast<double>(masterSilence + prefill);
        const double hostCycle = static_cast<double>(k) * B;  // first host frame of this cycle

        for (auto& fp : followers) {
            SFollowerState& f = *fp;
            CVariableResampler& res = *f.resampler;
            const double position = f.clock.Position(now);
            f.filter.Update(now, readingOf(position));
            const double trueRatio = f.setup.capture ? (1.0 + 1e-6 * sc.masterPpm) / f.clock.RateFactor(now)
                                                    : f.clock.RateFactor(now) / (1.0 + 1e-6 * sc.masterPpm);
            int64_t under = 0, over = 0;
            double offset = 0.0;
            bool measured = true;

            if (!f.setup.capture) {
                const int64_t played = static_cast<int64_t>(std::floor(position)) - f.silence;
                if (played > f.written) {
                    under = played - f.written;
                    f.silence += under;
                }
                // Which host frame the follower plays now.
                const double queueIndex = position - static_cast<double>(f.silence);
                TrimSegments(f.segments, queueIndex);
                const double input = MapSegments(f.segments, queueIndex, -static_cast<double>(prefill));
                offset = hostPlaying - f.shift.Map(input);
            } else {
                const int64_t captured = static_cast<int64_t>(std::floor(position));
                if (captured - f.readIndex > f.capacity) {
                    over = captured - f.readIndex - f.capacity;
                    f.readIndex += over;
                    f.shift.Change(static_cast<double>(res.FramesTaken()), static_cast<double>(over));
                }
                // Which captured frame the host gets as this cycle's first
                // frame, and when the master played that host frame's
                // counterpart: the path's latency.
                const double outIndex = hostCycle - static_cast<double>(f.prefill) + static_cast<double>(f.hostMissing);
                if (outIndex < 0.0 || f.segments.empty()) {
                    measured = false;
                } else {
                    TrimSegments(f.segments, outIndex);
                    const double captureIndex = f.shift.Map(MapSegments(f.segments, outIndex, 0.0));
                    const double when = f.clock.TimeOf(captureIndex);
                    const double masterThen = master.Position(when) - static_cast<double>(prefill);
                    offset = hostCycle - masterThen - f.target;
                }
            }

            if (sc.compensate) {
                const bool steady = masterFilter.IsSteady() && f.filter.IsSteady();
                double lag, feedForward;
                if (!f.setup.capture) {
                    const double queued = static_cast<double>(f.written + f.silence) - f.filter.PositionAt(now);
                    lag = RenderFollowerLag(masterQueued, queued, res.Delay(), res.Ratio(), f.pending, 0.0);
                    feedForward = f.filter.Rate() / masterFilter.Rate();
                } else {
                    const double queued = f.filter.PositionAt(now) - static_cast<double>(f.readIndex);
                    lag = CaptureFollowerLag(masterQueued, queued, res.Delay(), res.Ratio(),
                                             static_cast<double>(f.waiting), f.pending, f.target);
                    feedForward = masterFilter.Rate() / f.filter.Rate();
                }
                const SDriftStep step = f.controller.Update(now, lag, feedForward, steady);
                f.pending += static_cast<double>(step.jumpFrames);
                if (step.resynchronised) {
                    ++f.result.resyncsTotal;
                    if (f.stats.locked)
                        ++f.result.resyncs;
                }
                res.SetRatio(step.ratio);
                // Locked: within a frame and 1 ppm, and so for a whole second.
                if (!f.stats.locked) {
                    const bool within = f.controller.Started() && measured && std::fabs(offset) < 1.0
                                        && std::fabs(res.Ratio() - trueRatio) < 1e-6;
                    if (!within)
                        f.stats.withinSince = -1.0;
                    else if (f.stats.withinSince < 0.0)
                        f.stats.withinSince = now;
                    else if (now - f.stats.withinSince >= 1.0) {
                        f.stats.locked = true;
                        f.result.lockSeconds = f.stats.withinSince;
                    }
                }
            } else {
                f.stats.locked = true;  // nothing to lock: the whole run counts
            }
            f.result.worstRatioPpm = std::max(f.result.worstRatioPpm, std::fabs(res.Ratio() - 1.0) * 1e6);

            // This cycle's block through the resampler.
            int32_t feed = B;
            double taken = static_cast<double>(res.FramesTaken());
            if (!f.setup.capture) {
                if (f.pending > 0.5) {
                    const int32_t drop = static_cast<int32_t>(std::min<double>(f.pending, B));
                    feed -= drop;
                    f.pending -= drop;
                    f.shift.Change(taken, drop);
                } else if (f.pending < -0.5) {
                    const int32_t insert = static_cast<int32_t>(std::min<double>(-f.pending, B));
                    feed += insert;
                    f.pending += insert;
                    f.shift.Change(taken + insert, -insert);
                }
            } else {
                f.demand += B / res.Ratio();
                feed = static_cast<int32_t>(std::floor(f.demand));
                f.demand -= feed;
                const int64_t captured = static_cast<int64_t>(std::floor(position));
                int32_t insert = 0;
                if (f.pending > 0.5) {
                    const int64_t drop = static_cast<int64_t>(f.pending);
                    f.readIndex += drop;
                    f.pending -= static_cast<double>(drop);
                    f.shift.Change(taken, static_cast<double>(drop));
                } else if (f.pending < -0.5) {
                    insert = static_cast<int32_t>(std::min<double>(-f.pending, B));
                    f.pending += insert;
                    f.shift.Change(taken + insert, -insert);
                }
                const int64_t available = std::max<int64_t>(0, captured - f.readIndex);
                if (available < feed) {
                    under += feed - available;
                    f.shift.Change(taken + insert + static_cast<double>(available),
                                   -static_cast<double>(feed - available));
                    f.readIndex += available;
                } else {
                    f.readIndex += feed;
                }
                feed += insert;
            }
            const double firstInputTime = res.NextOutputInputTime();
            const double step = 1.0 / (res.Bypass() ? 1.0 : res.Ratio());
            const int32_t given = res.Process(zeros.data(), feed, output.data());
            if (given < 0)
                throw std::runtime_error("resampler failed in the model");

            if (!f.setup.capture) {
                const int64_t fill = f.written + f.silence - static_cast<int64_t>(std::floor(position));
                if (fill + given > f.capacity) {
                    over += given;
                } else if (given > 0) {
                    f.segments.push_back({static_cast<double>(f.written), given, firstInputTime, step});
                    f.written += given;
                }
            } else {
                if (given > 0)
                    f.segments.push_back({static_cast<double>(f.outputs), given, firstInputTime, step});
                f.outputs += given;
                f.waiting += given;
                if (f.waiting < B) {
                    under += B - f.waiting;
                    f.hostMissing += B - f.waiting;
                    f.waiting = 0;
                } else {
                    f.waiting -= B;
                }
            }

            if (f.stats.locked) {
                f.result.underrunFrames += under;
                f.result.overrunFrames += over;
                if (measured) {
                    f.result.worstOffsetFrames = std::max(f.result.worstOffsetFrames, std::fabs(offset));
                    f.stats.sumOffset2 += offset * offset;
                    const double r = res.Bypass() ? 1.0 : res.Ratio();
                    f.stats.sumRatio2 += (r - trueRatio) * (r - trueRatio);
                    f.result.worstRatioErrorPpm = std::max(f.result.worstRatioErrorPpm, std::fabs(r - trueRatio) * 1e6);
                    ++f.stats.samples;
                    if (now > f.result.lockSeconds + 30.0) {
                        f.stats.lateRatio2 += (r - trueRatio) * (r - trueRatio);
                        ++f.stats.lateSamples;
                    }
                }
            }
            if (measured)
                f.result.finalOffsetFrames = offset;
        }
        masterWritten += B;
    }

    for (auto& fp : followers) {
        SFollowerState& f = *fp;
        if (f.stats.samples > 0) {
            f.result.rmsOffsetFrames = std::sqrt(f.stats.sumOffset2 / static_cast<double>(f.stats.samples));
            f.result.ratioRmsPpm = 1e6 * std::sqrt(f.stats.sumRatio2 / static_cast<double>(f.stats.samples));
            if (f.stats.lateSamples > 0)
                f.result.settledRatioRmsPpm = 1e6 * std::sqrt(f.stats.lateRatio2 / static_cast<double>(f.stats.lateSamples));
        }
        out.followers.push_back(f.result);
    }
    return out;
}

std::string DriftSummaryLine(const SModelScenario& sc, const SModelResult& result)
{
    double lock = 0.0, worst = 0.0, offset2 = 0.0, ratio2 = 0.0;
    bool neverLocked = false;
    int64_t under = 0, over = 0, resync = 0;
    for (const SModelFollowerResult& f : result.followers) {
        if (f.lockSeconds < 0)
            neverLocked = true;
        lock = std::max(lock, f.lockSeconds);
        worst = std::max(worst, f.worstOffsetFrames);
        offset2 += f.rmsOffsetFrames * f.rmsOffsetFrames;
        ratio2 += f.ratioRmsPpm * f.ratioRmsPpm;
        under += f.underrunFrames;
        over += f.overrunFrames;
        resync += f.resyncs;
    }
    const double n = result.followers.empty() ? 1.0 : static_cast<double>(result.followers.size());
    char lockText[32];
    if (!sc.compensate || neverLocked)
        std::snprintf(lockText, sizeof lockText, "inf");
    else
        std::snprintf(lockText, sizeof lockText, "%.3f", lock);
    char line[512];
    std::snprintf(line, sizeof line,
                  "drift %s: lock %s s, worst offset %.3f ms, rms offset %.3f samples, ratio jitter %.3f ppm rms, "
                  "underrun %lld, overrun %lld, resync %lld",
                  sc.name.c_str(), lockText, worst * 1000.0 / sc.sampleRate, std::sqrt(offset2 / n),
                  std::sqrt(ratio2 / n), static_cast<long long>(under), static_cast<long long>(over),
                  static_cast<long long>(resync));
    return line;
}
