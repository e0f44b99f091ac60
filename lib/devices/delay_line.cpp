#include "delay_line.h"

#include <algorithm>
#include <climits>
#include <cmath>

int DelayMsOfFactor(float factor)
{
    if (!(factor > 0.0f && factor < 1000.0f)) {
        return 0;
    }
    // Stored as hundredths (5 ms steps): 0.02 is 10 ms, though the float
    // holds 0.0199999995 and truncating its product gives 9 where the
    // arithmetic keeps extra precision (x87).
    return static_cast<int>(std::min<long long>(std::llround(static_cast<double>(factor) * 500.0), kLongestDelayMs));
}

int64_t DelayFrames(int ms, double sampleRate, int channels)
{
    if (ms <= 0 || channels <= 0 || !(sampleRate > 0)) {
        return 0;
    }
    const auto bytesPerMs = static_cast<int64_t>(2.0 * sampleRate * channels / 1000.0);
    // Whole frames only: a part of a frame would move every later sample
    // onto the next channel (44100 Hz with 6 channels is 529.2 bytes a ms).
    return bytesPerMs * ms / (2 * static_cast<int64_t>(channels));
}

namespace {

constexpr int64_t kSampleBytes = sizeof(int32_t);

int32_t LineBytes(int channels, int64_t longestDelayFrames, int32_t largestBlockFrames)
{
    const int64_t frames = std::max<int64_t>(longestDelayFrames, 0) + std::max(largestBlockFrames, 1) + 1;
    const int64_t bytes = frames * kSampleBytes * std::max(channels, 1) + 1;
    return bytes > INT32_MAX ? 0 : static_cast<int32_t>(bytes);
}

// Silence the line is primed from.
const uint8_t kSilence[4096] = {};

}  // namespace

CDelayLine::CDelayLine(int channels, int64_t longestDelayFrames, int32_t largestBlockFrames)
    : m_channels(std::max(channels, 1)),
      m_longest(std::max<int64_t>(longestDelayFrames, 0)),
      m_line(LineBytes(channels, longestDelayFrames, largestBlockFrames))
{
}

void CDelayLine::Prime(int64_t frames)
{
    m_line.Reset();
    m_current = m_target = std::clamp<int64_t>(frames, 0, m_longest);
    m_phase = Phase::Steady;
    m_silenceAhead = 0;
    int64_t left = m_current * kSampleBytes * m_channels;
    while (left > 0) {
        const auto chunk = static_cast<int32_t>(std::min<int64_t>(left, sizeof kSilence));
        if (m_line.Write(kSilence, chunk) < 0) {
            break;
        }
        left -= chunk;
    }
}

void CDelayLine::ChangeTo(int64_t frames, int32_t fadeFrames)
{
    m_target = std::clamp<int64_t>(frames, 0, m_longest);
    m_fadeFrames = std::max(fadeFrames, 1);
}

void CDelayLine::Pass(int32_t* block, int32_t frames)
{
    if (frames <= 0) {
        return;
    }
    const auto bytes = static_cast<int32_t>(frames * kSampleBytes * m_channels);
    m_line.Write(block, bytes);
    m_line.Read(block, bytes);
    if (m_phase == Phase::Steady && m_target != m_current) {
        m_phase = Phase::FadingOut;
        m_fadePosition = 0;
    }
    if (m_phase != Phase::Steady) {
        Fade(block, frames);
    }
}

void CDelayLine::Fade(int32_t* block, int32_t frames)
{
    // In double: a float would lose the low bits of a 32-bit sample.
    const auto scale = [this, block](int32_t frame, double gain) {
        int32_t* sample = block + static_cast<size_t>(frame) * m_channels;
        for (int c = 0; c < m_channels; ++c) {
            sample[c] = static_cast<int32_t>(static_cast<double>(sample[c]) * gain);
        }
    };
    for (int32_t f = 0; f < frames; ++f) {
        if (m_phase == Phase::FadingOut) {
            // Silent from the end of the fade to the end of the block.
            scale(f, m_fadePosition < m_fadeFrames ? 1.0 - static_cast<double>(m_fadePosition) / m_fadeFrames : 0.0);
            ++m_fadePosition;
        } else if (m_phase == Phase::FadingIn) {
            if (m_silenceAhead > 0) {
                --m_silenceAhead;
                continue;
            }
            scale(f, static_cast<double>(m_fadePosition) / m_fadeFrames);
            if (++m_fadePosition >= m_fadeFrames) {
                m_phase = Phase::Steady;
            }
        }
    }
    // The jump comes at the block boundary after the fade-out.
    if (m_phase == Phase::FadingOut && m_fadePosition >= m_fadeFrames) {
        Jump();
    }
}

void CDelayLine::Jump()
{
    const int64_t frameBytes = kSampleBytes * m_channels;
    const int64_t target = m_target;
    if (target > m_current) {
        if (!m_line.PrependSilence(static_cast<int32_t>((target - m_current) * frameBytes))) {
            m_phase = Phase::Steady;  // cannot happen inside the line's room; stay where we are
            m_target = m_current;
            return;
        }
        m_silenceAhead = target - m_current;
    } else {
        m_line.Drop(static_cast<int32_t>((m_current - target) * frameBytes));
        m_silenceAhead = 0;
    }
    m_current = target;
    m_phase = Phase::FadingIn;
    m_fadePosition = 0;
}
