// The settings (POCO) come first: they bring winsock2 before windows.h.
#include "settings_file.h"

#include "control_thread.h"
#include "debug_trace.h"
#include "driver_lock.h"
#include "named_events.h"
#include "telvara_driver.h"

#include <windows.h>

#include <algorithm>
#include <exception>
#include <iterator>
#include <new>

namespace {

HANDLE g_hControlThread = nullptr;
volatile bool g_bStopControl = false;
// Initialised drivers of the process: the thread serves them all and ends
// with the last.
int g_controlUsers = 0;
struct ControlLock {
    CRITICAL_SECTION section;
    ControlLock() { InitializeCriticalSection(&section); }
    ~ControlLock() { DeleteCriticalSection(&section); }
} g_controlLock;

// The thread looks at its stop flag at least this often, also while no
// driver streams and whoever sets the exit event reaches another process.
constexpr DWORD kControlWaitMs = 250;
// Normally the exit event ends the thread at once; should another process's
// control thread have taken that event, the thread still sees its flag
// within one time-out. Waiting past that keeps two control threads from
// ever running side by side.
constexpr DWORD kControlEndWaitMs = 4 * kControlWaitMs;

// Into the trace, never the host's standard output.
void ReportException(const std::exception* e)
{
    if (e) {
        DebugTrace("System exception:%s\n", e->what());
    } else {
        DebugTrace("Unknown runtime exception\n");
    }
}

// One event of the panel, for the driver that streamed last (if any). The
// driver is reached only under the device lock, which its destruction takes
// too; the stream gets requests, never direct changes.
void HandleEvent(DWORD index)
{
    switch (index) {
    case 0: {
        const float volume = GetSettingsFile().LoadVolume();
        DeviceLock lock;
        if (g_pCurrentDriver) {
            g_pCurrentDriver->SetVolume(volume);
            DebugTrace("ASIO Ctrol VOLUME %f", static_cast<double>(volume));
        }
        break;
    }
    case 1: {
        // "接收到改变输出延迟事件"
        DebugTrace("\xbd\xd3\xca\xd5\xb5\xbd\xb8\xc4\xb1\xe4\xca\xe4\xb3\xf6\xd1\xd3\xb3\xd9\xca\xc2\xbc\xfe");
        DeviceLock lock;
        if (g_pCurrentDriver) {
            g_pCurrentDriver->RequestReprime();
        }
        break;
    }
    case 2:
        // "接收到设备长时间播放不同步进行处理事件"
        DebugTrace("\xbd\xd3\xca\xd5\xb5\xbd\xc9\xe8\xb1\xb8\xb3\xa4\xca\xb1\xbc\xe4\xb2\xa5\xb7\xc5\xb2\xbb\xcd\xac\xb2\xbd"
                   "\xbd\xf8\xd0\xd0\xb4\xa6\xc0\xed\xca\xc2\xbc\xfe");
        break;
    default:
        g_bStopControl = true;
        // "退出音频控制线程"
        DebugTrace("\xcd\xcb\xb3\xf6\xd2\xf4\xc6\xb5\xbf\xd8\xd6\xc6\xcf\xdf\xb3\xcc");
        break;
    }
}

// The four events, created by the host's thread before the control thread
// starts (a panel's signal right after init is then never lost); the thread
// owns them from its start and closes them when it ends.
struct ControlEvents {
    HANDLE handles[4];
};

DWORD WINAPI ASIOPlayControlThread(LPVOID parameter)
{
    auto* owned = static_cast<ControlEvents*>(parameter);
    HANDLE events[4];
    std::copy(std::begin(owned->handles), std::end(owned->handles), events);
    delete owned;
    DebugTrace("ASIOPlayControlThread Enter");
    CRITICAL_SECTION handling;
    InitializeCriticalSection(&handling);
    while (!g_bStopControl) {
        const DWORD result = WaitForMultipleObjects(4, events, FALSE, kControlWaitMs);
        if (result >= WAIT_OBJECT_0 + 4) {
            continue;  // time-out: look at the flag again
        }
        EnterCriticalSection(&handling);
        // A bad value in config.ini costs this one change, not the link to
        // the panel for the rest of the host's life.
        try {
            HandleEvent(result - WAIT_OBJECT_0);
        } catch (const std::exception& e) {
            ReportException(&e);
        } catch (...) {
            ReportException(nullptr);
        }
        LeaveCriticalSection(&handling);
    }
    DeleteCriticalSection(&handling);
    for (HANDLE event : events) {
        if (event) {
            CloseHandle(event);
        }
    }
    return 0;
}

}  // namespace

void StartControlThread()
{
    EnterCriticalSection(&g_controlLock.section);
    ++g_controlUsers;
    g_bStopControl = false;
    if (!g_hControlThread) {
        // config.ini is read again so that later device openings use what it
        // holds now. Here, not on the new thread: the host's thread goes on to
        // open devices from these very tables right after init.
        GetSettingsFile().LoadSettings();
        auto* events = new (std::nothrow) ControlEvents{{CreateSharedEvent(TelvaraEvents::kSettingsChanged),
                                                         CreateSharedEvent(TelvaraEvents::kOutputDelayChanged),
                                                         CreateSharedEvent(TelvaraEvents::kDeviceSync),
                                                         CreateSharedEvent(TelvaraEvents::kExit)}};
        g_hControlThread = events ? CreateThread(nullptr, 0, ASIOPlayControlThread, events, 0, nullptr) : nullptr;
        if (g_hControlThread) {
            SetThreadPriority(g_hControlThread, THREAD_PRIORITY_LOWEST);
        } else {
            DebugTrace("StartControlThread: CreateThread failed, error %lu\n", GetLastError());
            if (events) {
                for (HANDLE event : events->handles) {
                    if (event) {
                        CloseHandle(event);
                    }
                }
                delete events;
            }
        }
    }
    LeaveCriticalSection(&g_controlLock.section);
}

void StopControlThread()
{
    EnterCriticalSection(&g_controlLock.section);
    if (g_controlUsers > 0 && --g_controlUsers == 0) {
        g_bStopControl = true;
        SetNamedEvent(TelvaraEvents::kExit);
        if (g_hControlThread) {
            WaitForSingleObject(g_hControlThread, kControlEndWaitMs);
            CloseHandle(g_hControlThread);
            g_hControlThread = nullptr;
        }
    }
    LeaveCriticalSection(&g_controlLock.section);
}
