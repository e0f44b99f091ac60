#pragma once

#include <windows.h>

#include <atomic>

// Watches how late this process's own threads wake up while it lives: a
// thread waits 2 ms at a time on an event nobody sets and keeps the longest
// overshoot. A real-time measurement during which the machine itself held
// the process up for longer than the stream's queue covers tells nothing
// about the driver; tests use this to take such a measurement again.
class MachineStallProbe {
public:
    MachineStallProbe();
    ~MachineStallProbe();
    MachineStallProbe(const MachineStallProbe&) = delete;
    MachineStallProbe& operator=(const MachineStallProbe&) = delete;

    // The longest time a 2 ms wait overran, in milliseconds, since the start.
    double LongestLateMs() const { return m_longestLateUs.load() / 1000.0; }

private:
    static DWORD WINAPI Run(void* self);

    HANDLE m_stop;
    HANDLE m_thread = nullptr;
    std::atomic<long long> m_longestLateUs{0};
};
