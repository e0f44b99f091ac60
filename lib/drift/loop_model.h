#pragma once

#include "drift_controller.h"
#include "position_filter.h"
#include "variable_resampler.h"

#include <cstdint>
#include <string>
#include <vector>

// A closed-loop model of drift compensation without devices: a master
// device paces the cycle, each follower consumes (render) or produces
// (capture) at its own rate, its stream going through the real resampler,
// position filters and controller. Time is computed, not waited for, so an
// hour runs in seconds. Offsets are measured on the model's own timeline
// (which host frame each device plays, or which one a captured frame
// becomes, at a given time), not from what the controller believes.
//
// For benchmarks and tests only; it allocates as it likes.

struct SModelFollower {
    bool capture = false;
    double ppm = 0.0;              // rate error against nominal at the start
    double ppmPerHour = 0.0;       // how fast the rate error wanders
    double stallAt = -1.0;         // the device stops for stallSeconds from here (seconds; < 0: never)
    double stallSeconds = 0.0;
    double jumpAt = -1.0;          // the device's position jumps by jumpFrames here (seconds; < 0: never)
    double jumpFrames = 0.0;
};

struct SModelScenario {
    std::string name;
    double sampleRate = 48000.0;
    int32_t blockFrames = 512;
    double seconds = 60.0;
    double masterPpm = 0.0;
    std::vector<SModelFollower> followers;
    bool positionNoise = false;    // each reading off by -1, 0 or +1 frame
    double jitterSeconds = 0.0;    // each cycle starts up to this late
    bool compensate = true;
    EResamplerQuality quality = EResamplerQuality::Medium;  // the setting the driver uses
    uint32_t seed = 1;
    SDriftControlConfig control{};
    SPositionFilterConfig filter{};
};

struct SModelFollowerResult {
    double lockSeconds = -1.0;     // start of the first second in which the offset stays within a frame and the ratio within 1 ppm; < 0: never
    double worstOffsetFrames = 0;  // after that second (the whole run without compensation)
    double rmsOffsetFrames = 0;
    double ratioRmsPpm = 0;        // ratio against the true one, rms, after lock
    double worstRatioErrorPpm = 0; // largest distance of the ratio from the true one, after lock
    double settledRatioRmsPpm = 0; // the same from 30 s after lock on
    double worstRatioPpm = 0;      // largest distance of the ratio from 1, whole run
    int64_t underrunFrames = 0;    // after lock
    int64_t overrunFrames = 0;
    int64_t resyncs = 0;
    int64_t resyncsTotal = 0;
    double finalOffsetFrames = 0;
};

struct SModelResult {
    std::vector<SModelFollowerResult> followers;
    int64_t masterUnderrunFrames = 0;
    int64_t cycles = 0;
};

SModelResult RunDriftModel(const SModelScenario& scenario);

// The scenario's summary line:
// "drift <name>: lock <s> s, worst offset <ms> ms, rms offset <samples> samples,
//  ratio jitter <ppm> ppm rms, underrun <n>, overrun <n>, resync <n>"
// over all followers (lock the latest, worst the worst, rms over all).
std::string DriftSummaryLine(const SModelScenario& scenario, const SModelResult& result);
