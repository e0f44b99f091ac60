#pragma once

// The last frames a render pin instance played, where they lie on its
// timeline and when the device played them (Simulation::PlayedTail). A ring
// of kPlayedTailCapacityFrames frames per instance, fed whether or not the
// pin keeps its bytes for RenderedBytes, and the runs of the device clock
// the times are computed from. Guarded by the model lock like the rest of
// model_state.h.

#include "kssim.h"

#include <cstdint>
#include <deque>
#include <vector>

namespace kssim::detail {

struct PinInstance;

// One stretch of time over which the device clock ran at one rate: from
// `tick` on, position (bytes) = pos + (t - tick) * bytesPerTick.
struct ClockRun {
    int64_t tick = 0;
    double pos = 0.0;
    double bytesPerTick = 0.0;
};

struct PlayedRing {
    std::vector<uint8_t> bytes;  // allocated with the first frame played
    int64_t begin = 0;           // timeline positions (bytes) of the oldest frame held
    int64_t end = 0;             // and one past the newest
    std::deque<ClockRun> runs;   // oldest first; a few, back to before the oldest frame
};

// Frames played at `position` (bytes of the pin's timeline, whole frames):
// appended to the ring, which starts afresh when they do not follow what it
// holds (the stream was stopped and its buffered data dropped).
void KeepPlayed(PinInstance& pin, int64_t position, const uint8_t* data, size_t size);
// The pin's clock has just been (re)anchored while it runs: a new run
// starts at its anchor. forget: the clock changed beneath (another clock
// mode), the runs before mean nothing on the new one.
void NoteClockRun(PinInstance& pin, bool forget = false);
// The tail as Simulation::PlayedTail answers it, at clock tick `now`.
RenderTail ReadPlayedTail(const PinInstance& pin, int64_t now, size_t frames);

}  // namespace kssim::detail
