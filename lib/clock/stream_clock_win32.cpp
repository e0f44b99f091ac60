#include "stream_clock.h"

#include <algorithm>

namespace StreamClock {

int64_t Now()
{
    LARGE_INTEGER now;
    QueryPerformanceCounter(&now);
    return now.QuadPart;
}

int64_t TicksPerSecond()
{
    static const int64_t frequency = [] {
        LARGE_INTEGER value;
        QueryPerformanceFrequency(&value);
        return value.QuadPart;
    }();
    return frequency;
}

DWORD WaitUntil(const HANDLE* handles, DWORD count, int64_t deadline)
{
    const int64_t left = deadline - Now();
    // Rounded up: a wait that ends before the deadline would come round again
    // at once.
    const DWORD ms = left <= 0 ? 0 : static_cast<DWORD>(std::min<int64_t>((left * 1000 + TicksPerSecond() - 1) / TicksPerSecond(), 0x7fffffff));
    if (count == 0) {
        Sleep(ms);
        return WAIT_TIMEOUT;
    }
    return WaitForMultipleObjects(count, handles, FALSE, ms);
}

}  // namespace StreamClock
