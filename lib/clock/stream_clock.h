#pragma once

#include <windows.h>

#include <cstdint>

// The time of the stream, behind a seam as the kernel-streaming calls are:
// the shipped driver links stream_clock_win32 (the performance counter and
// the system's waits), the simulated devices link kssim's, which keeps the
// same time as the simulated device clocks. Every time stamp and every
// time-out of the engine comes from here.
namespace StreamClock {

// Now, in ticks of the clock.
int64_t Now();
int64_t TicksPerSecond();

// Waits until one of the handles is signalled (count may be 0) or the clock
// reaches `deadline`: the index of the signalled handle, WAIT_TIMEOUT, or
// WAIT_FAILED (GetLastError tells why).
DWORD WaitUntil(const HANDLE* handles, DWORD count, int64_t deadline);

}  // namespace StreamClock

// Nanoseconds of a clock tick value, for ASIO's time stamps.
inline uint64_t ClockNanoseconds(int64_t ticks)
{
    const int64_t perSecond = StreamClock::TicksPerSecond();
    const int64_t seconds = ticks / perSecond;
    const int64_t rest = ticks % perSecond;
    return static_cast<uint64_t>(seconds) * 1000000000ULL + static_cast<uint64_t>(rest * 1000000000LL / perSecond);
}
