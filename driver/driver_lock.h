#pragma once

class CTelvaraDriver;

// The device lock of the process: every opening and closing of devices, and
// every start and end of a stream, on the host's thread, against the control
// thread, which reaches the driver only under it. It is held briefly and
// never while waiting for an engine thread (which never takes it).
class DeviceLock {
public:
    DeviceLock();
    ~DeviceLock();
    DeviceLock(const DeviceLock&) = delete;
    DeviceLock& operator=(const DeviceLock&) = delete;
};

// Under the device lock: the driver object the control thread serves (the
// one that started a stream last, until it is destroyed), and the one whose
// stream runs now (one stream per process: a second start is refused).
extern CTelvaraDriver* g_pCurrentDriver;
extern CTelvaraDriver* g_pStreamingDriver;
