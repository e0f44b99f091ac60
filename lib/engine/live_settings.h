#pragma once

#include <atomic>
#include <vector>

// What may change while a stream runs: the volume and each render device's
// output delay (by the device's position).
struct LiveSettings {
    float volume = 1.0f;
    std::vector<int> delayMs;
};

// Hands live settings from the threads that change them to the engine,
// which takes them at the top of a cycle, without a lock and without
// allocating: three slots of the same size, one written, one read, one
// waiting (a triple buffer). One writer at a time (the driver's device lock
// orders them), one reader (the engine thread).
class CLiveSettingsMailbox {
public:
    // Sizes the slots; before the engine runs.
    explicit CLiveSettingsMailbox(const LiveSettings& initial) : m_slots{initial, initial, initial} {}

    // Writer: the newest settings; the delays keep the size they started with.
    void Post(const LiveSettings& settings)
    {
        LiveSettings& slot = m_slots[m_write];
        slot.volume = settings.volume;
        for (size_t i = 0; i < slot.delayMs.size() && i < settings.delayMs.size(); ++i) {
            slot.delayMs[i] = settings.delayMs[i];
        }
        m_write = m_waiting.exchange(m_write | kFresh, std::memory_order_acq_rel) & kIndex;
    }

    // Reader: the settings it last took (at first, those it started with).
    const LiveSettings& Current() const { return m_slots[m_read]; }

    // Reader: the newest settings posted since the last call, or null.
    const LiveSettings* Take()
    {
        if (!(m_waiting.load(std::memory_order_acquire) & kFresh)) {
            return nullptr;
        }
        m_read = m_waiting.exchange(m_read, std::memory_order_acq_rel) & kIndex;
        return &m_slots[m_read];
    }

private:
    static constexpr int kIndex = 3;
    static constexpr int kFresh = 4;
    LiveSettings m_slots[3];
    int m_write = 0;                // the writer's
    int m_read = 1;                 // the reader's
    std::atomic<int> m_waiting{2};  // the slot between them, and whether it holds news
};
