#include "request_completion.h"

#include "ks_system.h"

namespace {

bool AnyHeld(const StreamRequest* requests, uint32_t count)
{
    for (uint32_t i = 0; i < count; ++i) {
        if (IsRequestHeld(requests[i].overlapped)) {
            return true;
        }
    }
    return false;
}

}  // namespace

bool CancelAndCollect(HANDLE hPin, StreamRequest* requests, uint32_t count, DWORD timeoutMs)
{
    for (uint32_t i = 0; i < count; ++i) {
        if (IsRequestHeld(requests[i].overlapped)) {
            KsSystem::CancelIoEx(hPin, &requests[i].overlapped);
        }
    }
    // Only the last request of a block carries an event, so the others can be
    // watched only through their status. This runs when a block fails half
    // queued or a pin closes, never per cycle: a look every millisecond,
    // bounded by timeoutMs, costs nothing there.
    const ULONGLONG deadline = GetTickCount64() + timeoutMs;
    while (AnyHeld(requests, count)) {
        if (GetTickCount64() >= deadline) {
            return false;
        }
        Sleep(1);
    }
    return true;
}
