#pragma once

#include "ks_platform.h"

#include <cstdint>
#include <vector>

// One stream request as the kernel-streaming classes handed it to the
// system: the header as it was at that moment, where it lay, and its
// OVERLAPPED.
struct SeenRequest {
    HANDLE pin = nullptr;
    DWORD code = 0;  // IOCTL_KS_WRITE_STREAM or IOCTL_KS_READ_STREAM
    KSSTREAM_HEADER header{};
    const KSSTREAM_HEADER* address = nullptr;
    OVERLAPPED* overlapped = nullptr;
    HANDLE event = nullptr;  // the OVERLAPPED's event when it was sent
};

// Watches the stream requests that reach the system-call seam while it
// lives (the program links the seam's DeviceIoControl through a wrapper, see
// CMakeLists.txt), and plays a pin that misbehaves on purpose. One at a time.
class StreamRequestWatch {
public:
    StreamRequestWatch();
    ~StreamRequestWatch();
    StreamRequestWatch(const StreamRequestWatch&) = delete;
    StreamRequestWatch& operator=(const StreamRequestWatch&) = delete;

    // Every stream request seen so far, in the order they were sent.
    std::vector<SeenRequest> Seen() const;
    void Clear();

    // The stream request `countFromNow` requests ahead (0: the next one)
    // fails without reaching the device, with `error` as last error.
    void FailRequest(int countFromNow, DWORD error = ERROR_GEN_FAILURE);
    // Reads are given to the device asking for at most `bytes`, as a driver
    // that fills less than the buffer it got; 0 switches that off.
    void ShortenReadsTo(uint32_t bytes);
};
