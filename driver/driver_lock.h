#pragma once

class CTelvaraDriver;

// The device lock of the process: every opening and closing of devices, and
// every start and end of a stream, on the host's thread, against the control
// thread, which reaches the drivers only under it. It is held briefly, never
// while waiting for an engine thread (which never takes it) and never while
// a window is shown.
class DeviceLock {
public:
    DeviceLock();
    ~DeviceLock();
    DeviceLock(const DeviceLock&) = delete;
    DeviceLock& operator=(const DeviceLock&) = delete;
};

// Under the device lock: the driver object whose stream runs now (one
// stream per process: the devices are opened once, and a second start is
// refused).
extern CTelvaraDriver* g_pStreamingDriver;
