#pragma once

#include "ks_platform.h"

#include <cstdint>

// One stream request as a pin takes it: the header, and right behind it the
// OVERLAPPED that the system completes it through.
struct StreamRequest {
    KSSTREAM_HEADER header;
    OVERLAPPED overlapped;
};
#ifdef _WIN64
static_assert(sizeof(StreamRequest) == 88);
#endif

// How long a pin may take to give back requests that were cancelled or whose
// pin was stopped; a device that keeps them longer is treated as lost.
inline constexpr DWORD kGiveBackTimeoutMs = 1000;

// The system keeps STATUS_PENDING in a request's OVERLAPPED while it holds
// the request and writes the final status when it gives it back. A request
// never submitted (all zero) is not held.
inline bool IsRequestHeld(const OVERLAPPED& overlapped)
{
    return overlapped.Internal == STATUS_PENDING;
}

// Marks a request as held before it is submitted, so that a completion
// racing the submission cannot be missed; a submission that fails at once
// is marked back with MarkRequestRefused.
inline void MarkRequestHeld(OVERLAPPED& overlapped)
{
    overlapped.Internal = STATUS_PENDING;
}

inline void MarkRequestRefused(OVERLAPPED& overlapped)
{
    overlapped.Internal = 0;
}

// True while the pin holds any of the first `count` requests.
bool AnyRequestHeld(const StreamRequest* requests, uint32_t count);

// Cancels each of the first `count` requests that the pin still holds and
// waits until the system has given every one back, at most until the
// deadline (a GetTickCount64 value). True when none is held any more.
bool CancelAndCollect(HANDLE hPin, StreamRequest* requests, uint32_t count, ULONGLONG deadline);
