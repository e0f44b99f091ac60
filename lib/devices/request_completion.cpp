#include "request_completion.h"

#include "ks_system.h"

bool AnyRequestHeld(const StreamRequest* requests, uint32_t count)
{
    for (uint32_t i = 0; i < count; ++i) {
        if (IsRequestHeld(requests[i].overlapped)) {
            return true;
        }
    }
    return false;
}

bool CancelAndCollect(HANDLE hPin, StreamRequest* requests, uint32_t count, ULONGLONG deadline)
{
    for (uint32_t i = 0; i < count; ++i) {
        if (IsRequestHeld(requests[i].overlapped)) {
            KsSystem::CancelIoEx(hPin, &requests[i].overlapped);
        }
    }
    // Only the last request of a block carries an event, so the others can be
    // watched only through their status. This runs when a block fails half
    // queued or a pin closes, never per cycle: a look every millisecond,
    // bounded by the deadline, costs nothing there.
    while (AnyRequestHeld(requests, count)) {
        if (GetTickCount64() >= deadline) {
            return false;
        }
        Sleep(1);
    }
    return true;
}
