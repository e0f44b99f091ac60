#pragma once

#include "asio.h"

#include <windows.h>

#include <atomic>
#include <cstdint>

// The sample position of the last buffer switch and its time stamp, as
// getSamplePosition reports them. The driver owns it for its whole life and
// each engine publishes into it, so a host may ask from any thread, also
// from inside its callback, without a lock and without meeting an engine
// that is going away. One writer (the engine thread of the stream that
// runs), any number of readers: a sequence count, odd while written.
class CSamplePosition {
public:
    void Publish(uint64_t samples, uint64_t nanoseconds)
    {
        const uint32_t sequence = m_sequence.load(std::memory_order_relaxed);
        m_sequence.store(sequence + 1, std::memory_order_relaxed);
        std::atomic_thread_fence(std::memory_order_release);
        m_samples.store(samples, std::memory_order_relaxed);
        m_nanoseconds.store(nanoseconds, std::memory_order_relaxed);
        m_sequence.store(sequence + 2, std::memory_order_release);
    }

    void Read(ASIOSamples* position, ASIOTimeStamp* stamp) const
    {
        uint64_t samples = 0;
        uint64_t nanoseconds = 0;
        for (;;) {
            const uint32_t before = m_sequence.load(std::memory_order_acquire);
            samples = m_samples.load(std::memory_order_relaxed);
            nanoseconds = m_nanoseconds.load(std::memory_order_relaxed);
            std::atomic_thread_fence(std::memory_order_acquire);
            if (!(before & 1) && m_sequence.load(std::memory_order_relaxed) == before) {
                break;
            }
            YieldProcessor();
        }
        position->hi = static_cast<unsigned long>(samples >> 32);
        position->lo = static_cast<unsigned long>(samples & 0xffffffffu);
        stamp->hi = static_cast<unsigned long>(nanoseconds >> 32);
        stamp->lo = static_cast<unsigned long>(nanoseconds & 0xffffffffu);
    }

private:
    std::atomic<uint32_t> m_sequence{0};
    std::atomic<uint64_t> m_samples{0};
    std::atomic<uint64_t> m_nanoseconds{0};
};
