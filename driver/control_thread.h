#pragma once

#include "device_arrival_watch.h"

#include <windows.h>

#include <map>
#include <string>

// What the control thread asks of each driver object attached to it, under
// the device lock: a new volume, the output delay factors by device name
// (devices left out keep theirs), and the engine's news to trace.
class CControlClient {
public:
    virtual void SetVolume(float volume) = 0;
    virtual void SetOutputDelays(const std::map<std::string, float>& factors) = 0;
    virtual void ReportStreamNews() = 0;
    // The configured devices its running stream goes without, for the
    // thread to look for (none: nothing to look for), and every device a
    // look for them found present: a device back asks the stream for a reset.
    virtual DeviceLook AwaitedDevices() = 0;
    virtual void TakeUpPresentDevices(const DeviceLook& present) = 0;

protected:
    ~CControlClient() = default;
};

// The control thread: one per process, while any initialised driver object
// lives. It waits on the panel's events (the shared ones and this process's
// own, see named_events.h) and on the reports of running engines, and hands
// each change to every driver object attached to it, under the device lock.
// While a running stream goes without a configured device, it also looks
// for the devices every second, outside the lock.
// It holds the driver library until it has ended, so that a library freed
// while the thread is slow to end keeps its code.
namespace ControlThread {

// Host's thread, under the device lock: a driver object that has been
// initialised joins (the thread starts with the first) and leaves before it
// goes (the thread is asked to end with the last; it is waited for a
// while, outside the lock, by EndIfIdle).
void Attach(CControlClient* driver);
void Detach(CControlClient* driver);
// Host's thread, without the device lock, after the last Detach: waits a
// bounded time for a thread that was asked to end.
void EndIfIdle();
// The event an engine sets when it has something to report; null while no
// thread runs. A driver object sets it too when a stream starts without a
// configured device: the thread then begins to look for it.
HANDLE ReportEvent();

}  // namespace ControlThread
