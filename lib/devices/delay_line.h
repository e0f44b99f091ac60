#pragma once

#include "ring_buffer.h"

#include <cstdint>

// Longest output delay the panel offers.
inline constexpr int kLongestDelayMs = 500;

// The delay an output delay factor stands for, in whole milliseconds: the
// factor times 500, none for 0 or below and for 1000 or above, at most
// kLongestDelayMs.
int DelayMsOfFactor(float factor);
// The frames a delay of `ms` holds back: the bytes of one millisecond of
// 16-bit frames (truncated) times ms, in whole frames.
int64_t DelayFrames(int ms, double sampleRate, int channels);

// The delay line of a render device: its interleaved frames of int32
// samples at full scale (the engine's internal form) pass
// through a first-in first-out line that was primed with silence, so the
// device plays them that many frames late.
//
// A new delay is taken at a block boundary: the output fades out, the line
// jumps (silence put in front, or the oldest frames dropped) and the output
// fades in again, so that the change is not heard as a click. The frames
// after the fade-in are exactly the new delay late.
//
// The engine thread alone uses it.
class CDelayLine {
public:
    // Room for the longest delay and the largest block passing through.
    CDelayLine(int channels, int64_t longestDelayFrames, int32_t largestBlockFrames);
    CDelayLine(const CDelayLine&) = delete;
    CDelayLine& operator=(const CDelayLine&) = delete;

    bool HasStorage() const { return m_line.HasStorage(); }
    // Empties the line and primes it with that many frames of silence (at
    // most the longest delay); no fade.
    void Prime(int64_t frames);
    // The delay the line moves to (and holds once any change is done).
    int64_t Delay() const { return m_target; }
    // A new delay, taken over the next blocks with fades of fadeFrames each.
    void ChangeTo(int64_t frames, int32_t fadeFrames);
    // One block through the line, in place.
    void Pass(int32_t* block, int32_t frames);

private:
    enum class Phase { Steady, FadingOut, FadingIn };
    void Jump();
    void Fade(int32_t* block, int32_t frames);

    int m_channels;
    int64_t m_longest;
    RingBuffer m_line;
    int64_t m_current = 0;  // frames the line holds back now
    int64_t m_target = 0;
    Phase m_phase = Phase::Steady;
    int32_t m_fadeFrames = 0;
    int32_t m_fadePosition = 0;
    int64_t m_silenceAhead = 0;  // frames of inserted silence still to come out before the fade-in
};
