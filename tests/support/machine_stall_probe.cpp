#include "machine_stall_probe.h"

#include <algorithm>
#include <stdexcept>

MachineStallProbe::MachineStallProbe() : m_stop(CreateEventW(nullptr, TRUE, FALSE, nullptr))
{
    if (!m_stop || !(m_thread = CreateThread(nullptr, 0, &Run, this, 0, nullptr))) {
        if (m_stop) {
            CloseHandle(m_stop);
        }
        throw std::runtime_error("MachineStallProbe: cannot start its thread");
    }
}

MachineStallProbe::~MachineStallProbe()
{
    SetEvent(m_stop);
    // The thread wakes every 2 ms; it cannot take longer than one stall.
    WaitForSingleObject(m_thread, INFINITE);
    CloseHandle(m_thread);
    CloseHandle(m_stop);
}

DWORD WINAPI MachineStallProbe::Run(void* self)
{
    auto* probe = static_cast<MachineStallProbe*>(self);
    LARGE_INTEGER frequency;
    QueryPerformanceFrequency(&frequency);
    constexpr DWORD kWaitMs = 2;
    for (;;) {
        LARGE_INTEGER before;
        LARGE_INTEGER after;
        QueryPerformanceCounter(&before);
        if (WaitForSingleObject(probe->m_stop, kWaitMs) != WAIT_TIMEOUT) {
            return 0;
        }
        QueryPerformanceCounter(&after);
        const long long us = (after.QuadPart - before.QuadPart) * 1000000 / frequency.QuadPart;
        const long long late = std::max(0LL, us - kWaitMs * 1000LL);
        long long longest = probe->m_longestLateUs.load();
        while (late > longest && !probe->m_longestLateUs.compare_exchange_weak(longest, late)) {
        }
    }
}
