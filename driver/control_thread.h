#pragma once

#include <windows.h>

class CTelvaraDriver;

// The control thread: one per process, while any initialised driver object
// lives. It waits on the panel's events (the shared ones and this process's
// own, see named_events.h) and on the reports of running engines, and hands
// each change to every driver object attached to it, under the device lock.
// It holds the driver library until it has ended, so that a library freed
// while the thread is slow to end keeps its code.
namespace ControlThread {

// Host's thread, under the device lock: a driver object that has been
// initialised joins (the thread starts with the first) and leaves before it
// goes (the thread is asked to end with the last; it is waited for a
// while, outside the lock, by EndIfIdle).
void Attach(CTelvaraDriver* driver);
void Detach(CTelvaraDriver* driver);
// Host's thread, without the device lock, after the last Detach: waits a
// bounded time for a thread that was asked to end.
void EndIfIdle();
// The event an engine sets when it has something to report; null while no
// thread runs.
HANDLE ReportEvent();

}  // namespace ControlThread
