// The stream clock of programs over simulated devices: the time the device
// clocks keep (kssim's tick), so that a stream and the devices it paces
// itself by read one clock. Waits are the system's, bounded by that clock;
// on virtual time they move the simulated clock instead (virtual_clock.cpp).
#include "model_state.h"
#include "stream_clock.h"

#include <algorithm>

namespace StreamClock {

int64_t Now()
{
    return kssim::detail::NowTicks();
}

int64_t TicksPerSecond()
{
    return kssim::detail::TheModel().ticksPerSecond;
}

DWORD WaitUntil(const HANDLE* handles, DWORD count, int64_t deadline)
{
    if (kssim::detail::TheModel().virtualTime.on.load()) {
        return kssim::detail::VirtualWaitUntil(handles, count, deadline);
    }
    const int64_t perSecond = TicksPerSecond();
    const int64_t left = deadline - Now();
    const DWORD ms =
        left <= 0 ? 0 : static_cast<DWORD>(std::min<int64_t>((left * 1000 + perSecond - 1) / perSecond, 0x7fffffff));
    if (count == 0) {
        Sleep(ms);
        return WAIT_TIMEOUT;
    }
    return WaitForMultipleObjects(count, handles, FALSE, ms);
}

}  // namespace StreamClock
