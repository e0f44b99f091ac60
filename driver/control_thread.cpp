// The settings (POCO) come first: they bring winsock2 before windows.h.
#include "settings_file.h"

#include "control_thread.h"
#include "debug_trace.h"
#include "device_catalogue.h"
#include "driver_lock.h"
#include "named_events.h"

#include <algorithm>
#include <exception>
#include <new>
#include <vector>

namespace {

enum class WaitKind { Stop, Report, Shared, Own };

// What the thread waits on, each with its meaning. The thread owns it and
// closes its handles when it ends.
struct Listener {
    struct Wait {
        HANDLE handle;
        WaitKind kind;
        LinkSignal signal;
    };
    std::vector<Wait> waits;
    HMODULE module = nullptr;
};

// Under the device lock.
std::vector<CControlClient*> g_attached;
HANDLE g_thread = nullptr;
HANDLE g_stop = nullptr;
// Threads asked to end, waited for by EndIfIdle (its own lock: it waits).
struct EndingThreads {
    CRITICAL_SECTION section;
    std::vector<HANDLE> threads;
    EndingThreads() { InitializeCriticalSection(&section); }
    ~EndingThreads() { DeleteCriticalSection(&section); }
} g_ending;

// Engines set it; made once and kept for the life of the process, so that
// an engine still ending never sets a handle that was closed and reused.
HANDLE TheReportEvent()
{
    static const HANDLE event = CreateEventA(nullptr, FALSE, FALSE, nullptr);
    return event;
}

// A change from the panel, for every attached driver.
void TakeUp(LinkSignal signal)
{
    if (signal == LinkSignal::OutputDelayChanged) {
        // "接收到改变输出延迟事件"
        DebugTrace("\xbd\xd3\xca\xd5\xb5\xbd\xb8\xc4\xb1\xe4\xca\xe4\xb3\xf6\xd1\xd3\xb3\xd9\xca\xc2\xbc\xfe");
    }
    const LiveValues values = GetSettingsFile().LoadLiveValues();
    DeviceLock lock;
    for (CControlClient* driver : g_attached) {
        if (signal == LinkSignal::SettingsChanged && values.volume) {
            driver->SetVolume(*values.volume);
            DebugTrace("ASIO Ctrol VOLUME %f", static_cast<double>(*values.volume));
        } else if (signal == LinkSignal::OutputDelayChanged) {
            driver->SetOutputDelays(values.outputDelays);
        }
    }
}

void ReportEngines()
{
    DeviceLock lock;
    for (CControlClient* driver : g_attached) {
        driver->ReportStreamNews();
    }
}

// How often the devices are looked for while a stream goes without one.
constexpr ULONGLONG kArrivalLookMs = 1000;

bool AnyDeviceAwaited()
{
    DeviceLock lock;
    return std::any_of(g_attached.begin(), g_attached.end(),
                       [](CControlClient* driver) { return !driver->AwaitedDevices().devices.empty(); });
}

// Every device of both directions, as the driver names them when it opens
// them. The scan opens and closes filters and asks their pins: never under
// the device lock, which the host's calls wait for.
std::vector<AwaitedDevice> PresentDevices()
{
    CDeviceCatalogue catalogue;
    catalogue.ScanRenderDevices();
    catalogue.ScanCaptureDevices();
    std::vector<AwaitedDevice> present;
    for (const auto& [name, entry] : catalogue.Devices()) {
        if (entry.render.filter) {
            present.push_back({name, StreamDirection::Render});
        }
        if (entry.capture.filter) {
            present.push_back({name, StreamDirection::Capture});
        }
    }
    return present;
}

// What the attached drivers await, looked for once. A driver that went (or
// whose stream ended) meanwhile is not told: the look's stream names whose
// it was.
void LookForArrivals()
{
    std::vector<std::pair<CControlClient*, uint64_t>> looks;
    {
        DeviceLock lock;
        for (CControlClient* driver : g_attached) {
            const DeviceLook look = driver->AwaitedDevices();
            if (!look.devices.empty()) {
                looks.emplace_back(driver, look.stream);
            }
        }
    }
    if (looks.empty()) {
        return;
    }
    DeviceLook present;
    present.devices = PresentDevices();
    DeviceLock lock;
    for (const auto& [driver, stream] : looks) {
        if (std::find(g_attached.begin(), g_attached.end(), driver) != g_attached.end()) {
            present.stream = stream;
            driver->TakeUpPresentDevices(present);
        }
    }
}

template <typename Work>
void Guarded(Work&& work)
{
    try {
        work();
    } catch (const std::exception& e) {
        DebugTrace("System exception:%s\n", e.what());
    } catch (...) {
        DebugTrace("Unknown runtime exception\n");
    }
}

// The wait's time-out until a look that is due at `nextLook` (0: none).
DWORD TimeUntil(ULONGLONG nextLook)
{
    if (nextLook == 0) {
        return INFINITE;
    }
    const ULONGLONG now = GetTickCount64();
    return nextLook > now ? static_cast<DWORD>(nextLook - now) : 0;
}

// When to look next: as planned (a second on when nothing is planned) while
// a stream awaits a device, never otherwise.
ULONGLONG NextLook(ULONGLONG planned)
{
    bool awaited = true;
    Guarded([&awaited] { awaited = AnyDeviceAwaited(); });
    if (!awaited) {
        return 0;
    }
    return planned != 0 ? planned : GetTickCount64() + kArrivalLookMs;
}

DWORD WINAPI ASIOPlayControlThread(LPVOID parameter)
{
    auto* listener = static_cast<Listener*>(parameter);
    DebugTrace("ASIOPlayControlThread Enter");
    std::vector<HANDLE> handles;
    for (const Listener::Wait& wait : listener->waits) {
        handles.push_back(wait.handle);
    }
    // When the devices are next looked for; 0 while no stream awaits one.
    ULONGLONG nextLook = 0;
    for (;;) {
        // No time-out while no stream goes without a device: the stop event
        // ends the thread, and nothing else is done while no event comes.
        const DWORD result =
            WaitForMultipleObjects(static_cast<DWORD>(handles.size()), handles.data(), FALSE, TimeUntil(nextLook));
        if (result == WAIT_TIMEOUT) {
            Guarded(LookForArrivals);
            nextLook = NextLook(0);
            continue;
        }
        if (result >= WAIT_OBJECT_0 + handles.size()) {
            // Never round again on a failed wait: only the end is awaited.
            DebugTrace("ASIOPlayControlThread: the wait failed (error %lu); the panel's changes reach this process "
                       "no more\n",
                       GetLastError());
            WaitForSingleObject(listener->waits[0].handle, INFINITE);
            break;
        }
        const Listener::Wait& wait = listener->waits[result - WAIT_OBJECT_0];
        if (wait.kind == WaitKind::Stop) {
            break;
        }
        // A bad value in config.ini costs this one change, not the link to
        // the panel for the rest of the host's life.
        Guarded([&wait] {
            if (wait.kind == WaitKind::Report) {
                ReportEngines();
                return;
            }
            TakeUp(wait.signal);
            if (wait.kind == WaitKind::Shared) {
                // The panel's signal woke this process alone.
                RelayToOtherDriverProcesses(wait.signal);
            }
        });
        // A stream that started or dropped a device reports it: what is
        // awaited may have changed.
        nextLook = NextLook(nextLook);
    }
    // "退出音频控制线程"
    DebugTrace("\xcd\xcb\xb3\xf6\xd2\xf4\xc6\xb5\xbf\xd8\xd6\xc6\xcf\xdf\xb3\xcc");
    for (const Listener::Wait& wait : listener->waits) {
        if (wait.kind != WaitKind::Report) {
            CloseHandle(wait.handle);
        }
    }
    const HMODULE module = listener->module;
    delete listener;
    FreeLibraryAndExitThread(module, 0);
}

// The events, made by the host's thread before the thread starts, so that
// a panel's signal right after init is never lost. One that cannot be had
// (its name held by an object of another kind, or of another user) is
// traced and left out: the thread never waits on a null handle.
Listener* MakeListener(HANDLE stop)
{
    auto* listener = new (std::nothrow) Listener;
    if (!listener) {
        return nullptr;
    }
    try {
        listener->waits.push_back({stop, WaitKind::Stop, LinkSignal::SettingsChanged});
        listener->waits.push_back({TheReportEvent(), WaitKind::Report, LinkSignal::SettingsChanged});
        for (LinkSignal signal : kLinkSignals) {
            for (WaitKind kind : {WaitKind::Shared, WaitKind::Own}) {
                const std::string name = kind == WaitKind::Shared ? LinkEventName(signal)
                                                                  : ProcessLinkEventName(signal, GetCurrentProcessId());
                HANDLE event = CreateSharedEvent(name.c_str());
                if (!event) {
                    DebugTrace("ASIOPlayControlThread: the event %s cannot be had (error %lu); the panel's changes "
                               "of that kind may not reach this process\n",
                               name.c_str(), GetLastError());
                    continue;
                }
                listener->waits.push_back({event, kind, signal});
            }
        }
    } catch (const std::bad_alloc&) {
        for (size_t i = 2; i < listener->waits.size(); ++i) {
            CloseHandle(listener->waits[i].handle);
        }
        delete listener;
        return nullptr;
    }
    return listener;
}

void Start()
{
    HANDLE stop = CreateEventA(nullptr, TRUE, FALSE, nullptr);
    Listener* listener = stop && TheReportEvent() ? MakeListener(stop) : nullptr;
    if (!listener) {
        DebugTrace("StartControlThread: no kernel objects or memory for the control thread\n");
        if (stop) {
            CloseHandle(stop);
        }
        return;
    }
    // The thread holds the library that holds its code until it has ended.
    if (!GetModuleHandleExA(GET_MODULE_HANDLE_EX_FLAG_FROM_ADDRESS, reinterpret_cast<LPCSTR>(&ASIOPlayControlThread),
                            &listener->module)) {
        listener->module = nullptr;
    }
    HANDLE thread = listener->module ? CreateThread(nullptr, 0, ASIOPlayControlThread, listener, 0, nullptr) : nullptr;
    if (!thread) {
        DebugTrace("StartControlThread: CreateThread failed, error %lu\n", GetLastError());
        if (listener->module) {
            FreeLibrary(listener->module);
        }
        for (const Listener::Wait& wait : listener->waits) {
            if (wait.kind != WaitKind::Report) {
                CloseHandle(wait.handle);
            }
        }
        delete listener;
        return;
    }
    SetThreadPriority(thread, THREAD_PRIORITY_LOWEST);
    g_thread = thread;
    g_stop = stop;
}

}  // namespace

namespace ControlThread {

void Attach(CControlClient* driver)
{
    if (std::find(g_attached.begin(), g_attached.end(), driver) != g_attached.end()) {
        return;
    }
    g_attached.push_back(driver);
    if (!g_thread) {
        Start();
    }
}

void Detach(CControlClient* driver)
{
    g_attached.erase(std::remove(g_attached.begin(), g_attached.end(), driver), g_attached.end());
    if (!g_attached.empty() || !g_thread) {
        return;
    }
    // The thread closes the stop event; it is set here, once.
    SetEvent(g_stop);
    EnterCriticalSection(&g_ending.section);
    g_ending.threads.push_back(g_thread);
    LeaveCriticalSection(&g_ending.section);
    g_thread = nullptr;
    g_stop = nullptr;
}

void EndIfIdle()
{
    EnterCriticalSection(&g_ending.section);
    std::vector<HANDLE> threads;
    threads.swap(g_ending.threads);
    LeaveCriticalSection(&g_ending.section);
    // A thread that does not end within this (it is at the lowest priority
    // on a busy machine) ends later by itself and keeps the library loaded
    // until then.
    const ULONGLONG deadline = GetTickCount64() + 1000;
    for (HANDLE thread : threads) {
        const ULONGLONG now = GetTickCount64();
        WaitForSingleObject(thread, now < deadline ? static_cast<DWORD>(deadline - now) : 0);
        CloseHandle(thread);
    }
}

HANDLE ReportEvent()
{
    return g_thread ? TheReportEvent() : nullptr;
}

}  // namespace ControlThread
