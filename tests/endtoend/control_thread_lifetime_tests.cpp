// The driver library and the control thread it starts: a host may release
// its last driver object and free the library while that thread is still
// on its way out (it is slow to be scheduled, say). The library must stay
// until the thread has left its code. The test runs in a child process (see
// e2e_support.h); the control thread is held suspended to make it slow.
#include "appdata_redirect.h"
#include "asio.h"
#include "e2e_support.h"
#include "telvara_driver.h"

#include <gtest/gtest.h>

#include <tlhelp32.h>

#include <atomic>
#include <cstdio>
#include <memory>
#include <set>
#include <thread>

namespace {

using namespace e2e;

constexpr const char* kOnlyAsChild = "runs in a child process started by the test of the same name without DISABLED_";

std::set<DWORD> ThreadsOfThisProcess()
{
    std::set<DWORD> threads;
    HANDLE snapshot = CreateToolhelp32Snapshot(TH32CS_SNAPTHREAD, 0);
    if (snapshot == INVALID_HANDLE_VALUE) {
        return threads;
    }
    THREADENTRY32 entry{};
    entry.dwSize = sizeof entry;
    for (BOOL more = Thread32First(snapshot, &entry); more; more = Thread32Next(snapshot, &entry)) {
        if (entry.th32OwnerProcessID == GetCurrentProcessId()) {
            threads.insert(entry.th32ThreadID);
        }
    }
    CloseHandle(snapshot);
    return threads;
}

// Where the thread started, or null when the system does not say.
const void* StartAddress(HANDLE thread)
{
    using Query = LONG(NTAPI*)(HANDLE, ULONG, PVOID, ULONG, PULONG);
    static const auto query = reinterpret_cast<Query>(
        reinterpret_cast<void*>(GetProcAddress(GetModuleHandleA("ntdll.dll"), "NtQueryInformationThread")));
    constexpr ULONG kThreadQuerySetWin32StartAddress = 9;
    void* start = nullptr;
    if (!query || query(thread, kThreadQuerySetWin32StartAddress, &start, sizeof start, nullptr) != 0) {
        return nullptr;
    }
    return start;
}

LRESULT CALLBACK PanelStandInProc(HWND window, UINT message, WPARAM wParam, LPARAM lParam)
{
    return DefWindowProcA(window, message, wParam, lParam);
}

}  // namespace

TEST(ControlThreadLifetime, ALibraryFreedWhileItsControlThreadIsSlowToEndStaysUntilTheThreadIsDone)
{
    AppDataRedirect appData{L"telvara-e2e-control-thread"};
    SimDriverFolder driver(kTwoSpeakersAndAMicrophone);
    WriteSettings(appData.Folder(), "[default]\nout=Speaker A\n[Speaker A]\noutMaximumChannels=2\noutChannelLink=0;1\n");
    const long code = RunDriverChild(
        "ControlThreadLifetimeChild.DISABLED_ALibraryFreedWhileItsControlThreadIsSlowToEndStaysUntilTheThreadIsDone",
        driver.DriverPath());
    char text[64];
    std::snprintf(text, sizeof text, "%ld (0x%08lx)", code, static_cast<unsigned long>(code));
    EXPECT_EQ(code, 0L) << "the child ended with " << text << "; its own output above says what failed";
}

TEST(ControlThreadLifetimeChild, DISABLED_ALibraryFreedWhileItsControlThreadIsSlowToEndStaysUntilTheThreadIsDone)
{
    const std::string path = ChildDriverPath();
    if (path.empty()) {
        GTEST_SKIP() << kOnlyAsChild;
    }
    // The panel's window class: the driver sees a panel running, starts
    // none and keeps no window of its own that would pin the library.
    WNDCLASSA windowClass{};
    windowClass.lpfnWndProc = PanelStandInProc;
    windowClass.hInstance = GetModuleHandleA(nullptr);
    windowClass.lpszClassName = "telvarapanel";
    RegisterClassA(&windowClass);
    HWND panel = CreateWindowExA(0, "telvarapanel", "", 0, 0, 0, 0, 0, HWND_MESSAGE, nullptr, nullptr, nullptr);
    ASSERT_NE(panel, nullptr);

    auto library = std::make_unique<DriverLibrary>(path);
    const std::string name = path.substr(path.find_last_of('\\') + 1);
    const auto* base = reinterpret_cast<const BYTE*>(library->Module());
    const auto* nt =
        reinterpret_cast<const IMAGE_NT_HEADERS*>(base + reinterpret_cast<const IMAGE_DOS_HEADER*>(base)->e_lfanew);
    const BYTE* end = base + nt->OptionalHeader.SizeOfImage;
    IClassFactory* factory = nullptr;
    ASSERT_EQ(library->GetClassObject(CLSID_TelvaraDriver, IID_IClassFactory, reinterpret_cast<void**>(&factory)), S_OK);
    IASIO* driver = nullptr;
    ASSERT_EQ(factory->CreateInstance(nullptr, CLSID_TelvaraDriver, reinterpret_cast<void**>(&driver)), S_OK);
    factory->Release();

    // The control thread: started by init, in the library's code, at the
    // lowest priority (the simulated devices' clock runs time-critical).
    const std::set<DWORD> before = ThreadsOfThisProcess();
    ASSERT_EQ(driver->init(nullptr), ASIOTrue);
    HANDLE control = nullptr;
    int candidates = 0;
    for (DWORD id : ThreadsOfThisProcess()) {
        if (before.count(id)) {
            continue;
        }
        HANDLE thread = OpenThread(THREAD_QUERY_INFORMATION | THREAD_SUSPEND_RESUME | THREAD_TERMINATE | SYNCHRONIZE,
                                   FALSE, id);
        if (!thread) {
            continue;
        }
        const auto* start = static_cast<const BYTE*>(StartAddress(thread));
        const bool inLibrary = !start || (start >= base && start < end);
        if (inLibrary && GetThreadPriority(thread) == THREAD_PRIORITY_LOWEST) {
            ++candidates;
            control = thread;
        } else {
            CloseHandle(thread);
        }
    }
    ASSERT_EQ(candidates, 1) << "threads that init started in the library at the lowest priority";
    ASSERT_NE(SuspendThread(control), static_cast<DWORD>(-1));

    // The host's last reference goes while the thread cannot run (on this
    // thread, which owns the panel window the driver closes). A driver that
    // waits for the control thread without bound is let on after 3 s.
    HANDLE released = CreateEventA(nullptr, TRUE, FALSE, nullptr);
    std::atomic<bool> resumedEarly{false};
    std::thread watchdog([&] {
        if (WaitForSingleObject(released, 3000) != WAIT_OBJECT_0) {
            resumedEarly = true;
            ResumeThread(control);
        }
    });
    driver->Release();
    SetEvent(released);
    watchdog.join();
    CloseHandle(released);
    const bool releasedWhileSuspended = !resumedEarly.load();
    library->Free();
    if (releasedWhileSuspended) {
        if (!GetModuleHandleA(name.c_str())) {
            // Its code is gone: the thread must never run again.
            TerminateThread(control, 1);
            WaitForSingleObject(control, 5000);
            CloseHandle(control);
            DestroyWindow(panel);
            FAIL() << "the library was unloaded while its control thread had still to end";
        }
        ResumeThread(control);
    }
    EXPECT_EQ(WaitForSingleObject(control, 10000), WAIT_OBJECT_0) << "the control thread did not end";
    CloseHandle(control);
    bool unloaded = false;
    for (int i = 0; i < 500 && !unloaded; ++i) {
        unloaded = GetModuleHandleA(name.c_str()) == nullptr;
        Sleep(10);
    }
    EXPECT_TRUE(unloaded) << "the library stayed after its control thread ended";
    DestroyWindow(panel);
}
