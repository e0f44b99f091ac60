#pragma once

#include "ks_platform.h"

// One stream request as a pin takes it: the header, and right behind it the
// OVERLAPPED that the system completes it through.
struct StreamRequest {
    KSSTREAM_HEADER header;
    OVERLAPPED overlapped;
};
#ifdef _WIN64
static_assert(sizeof(StreamRequest) == 88);
#endif

// The read request of one capture device; its OVERLAPPED's event (auto-reset)
// tells that the read completed.
using CaptureRequest = StreamRequest;

// The read requests of capture devices 0 to 31, for the life of the process.
inline constexpr int kCaptureRequestCount = 32;
extern CaptureRequest g_captureRequests[kCaptureRequestCount];

// Clears request `index` (0 to 31) for a newly opened device and gives it its
// completion event, created on first use and kept for the life of the
// process. False when the index is out of range or the event cannot be had.
// No read may be outstanding on the request.
bool PrepareCaptureRequest(int index);
