#include "capture_request.h"

CaptureRequest g_captureRequests[kCaptureRequestCount];

bool PrepareCaptureRequest(int index)
{
    if (index < 0 || index >= kCaptureRequestCount) {
        return false;
    }
    CaptureRequest& request = g_captureRequests[index];
    HANDLE hEvent = request.overlapped.hEvent;
    if (!hEvent) {
        hEvent = CreateEventA(nullptr, FALSE, FALSE, nullptr);
        if (!hEvent) {
            return false;
        }
    }
    ResetEvent(hEvent);
    request = {};
    request.overlapped.hEvent = hEvent;
    return true;
}
