#include "panel_link.h"

#include "debug_trace.h"
#include "message_box.h"
#include "settings_paths.h"

#include <windows.h>
#include <shellapi.h>

#include <cstdio>
#include <mutex>

namespace {

constexpr const char* kPanelClass = "telvarapanel";
constexpr const char* kPanelName = "telvarapanel";
constexpr const char* kMessageWindowName = "Message-Only Window";
constexpr UINT kControlMessage = WM_USER + 102;
// A hung panel must not hang the host that releases its driver.
constexpr UINT kCloseTimeoutMs = 2000;

LRESULT CALLBACK MessageWindowProc(HWND window, UINT message, WPARAM wParam, LPARAM lParam)
{
    switch (message) {
    case WM_DESTROY:
        PostQuitMessage(0);
        return 0;
    case WM_CLOSE:
        DestroyWindow(window);
        return 0;
    case kControlMessage:
        ShowMessageBox("OK", "WM_CONTROL", MB_OK);
        return 0;
    default:
        return DefWindowProcA(window, message, wParam, lParam);
    }
}

// The panel this process started for its host (null: none), and the
// process's driver objects. Host threads create and release driver objects,
// not always the same thread: both are guarded.
std::mutex g_panelLock;
HANDLE g_startedPanel = nullptr;
int g_driverObjects = 0;

// Starts the panel when it is installed; a missing program is only traced
// (no shell error box may appear inside the host). The started process's
// handle, or null.
HANDLE LaunchPanel(const char* parameters, int showCommand)
{
    const std::string path = PanelProgramPath();
    if (path.empty() || GetFileAttributesA(path.c_str()) == INVALID_FILE_ATTRIBUTES) {
        DebugTrace("control panel program not found: %s\n", path.c_str());
        return nullptr;
    }
    SHELLEXECUTEINFOA launch{};
    launch.cbSize = sizeof launch;
    launch.fMask = SEE_MASK_NOCLOSEPROCESS | SEE_MASK_FLAG_NO_UI;
    launch.lpVerb = "open";
    launch.lpFile = path.c_str();
    launch.lpParameters = parameters;
    launch.nShow = showCommand;
    if (!ShellExecuteExA(&launch)) {
        DebugTrace("control panel not started, error %lu\n", GetLastError());
        return nullptr;
    }
    return launch.hProcess;
}

bool IsRunning(HANDLE process)
{
    return process && WaitForSingleObject(process, 0) == WAIT_TIMEOUT;
}

struct PanelWindowSearch {
    DWORD processId;
    HWND found;
};

BOOL CALLBACK MatchPanelWindow(HWND window, LPARAM parameter)
{
    auto* search = reinterpret_cast<PanelWindowSearch*>(parameter);
    DWORD owner = 0;
    GetWindowThreadProcessId(window, &owner);
    char className[32] = {};
    GetClassNameA(window, className, sizeof className);
    if (owner == search->processId && lstrcmpA(className, kPanelClass) == 0) {
        search->found = window;
        return FALSE;
    }
    return TRUE;
}

// The panel window of that process; null while it has none.
HWND PanelWindowOf(HANDLE process)
{
    PanelWindowSearch search{GetProcessId(process), nullptr};
    EnumWindows(MatchPanelWindow, reinterpret_cast<LPARAM>(&search));
    return search.found;
}

// Shown, restored and in front: the panel does it itself on a restore
// command. The host is the foreground program when its user asks for the
// panel, and hands that right on, so the panel may come to the front.
void BringForward(HWND panel)
{
    DWORD processId = 0;
    GetWindowThreadProcessId(panel, &processId);
    AllowSetForegroundWindow(processId);
    PostMessageA(panel, WM_SYSCOMMAND, SC_RESTORE, 0);
}

}  // namespace

bool IsPanelRunning()
{
    return FindWindowA(kPanelClass, nullptr) != nullptr;
}

std::string PanelProgramPath()
{
    const std::string folder = ModuleFolderPath();
    if (folder.empty()) {
        return {};
    }
    char path[MAX_PATH];
    std::snprintf(path, sizeof path, "%s\\%s.exe", folder.c_str(), kPanelName);
    return path;
}

bool CreateMessageOnlyWindow()
{
    // One per process: every driver creation would otherwise leave another
    // window behind in the host.
    static HWND window = nullptr;
    if (window && IsWindow(window)) {
        return true;
    }
    // The class and the window belong to the host's module and outlive every
    // driver object, but their procedure is in this library: it must stay
    // loaded for the rest of the process, or a host that unloads the driver
    // and loads it again (elsewhere) would have Windows call freed code.
    HMODULE self = nullptr;
    GetModuleHandleExA(GET_MODULE_HANDLE_EX_FLAG_FROM_ADDRESS | GET_MODULE_HANDLE_EX_FLAG_PIN,
                       reinterpret_cast<LPCSTR>(&MessageWindowProc), &self);
    HINSTANCE instance = GetModuleHandleA(nullptr);
    WNDCLASSA windowClass{};
    windowClass.style = CS_HREDRAW | CS_VREDRAW;
    windowClass.lpfnWndProc = MessageWindowProc;
    windowClass.hInstance = instance;
    windowClass.hIcon = LoadIconA(nullptr, reinterpret_cast<LPCSTR>(IDI_APPLICATION));
    windowClass.hCursor = LoadCursorA(nullptr, reinterpret_cast<LPCSTR>(IDC_CROSS));
    windowClass.hbrBackground = static_cast<HBRUSH>(GetStockObject(BLACK_BRUSH));
    windowClass.lpszClassName = kMessageWindowName;
    RegisterClassA(&windowClass);  // already registered by an earlier driver: fine
    window = CreateWindowExA(WS_EX_LEFT, kMessageWindowName, kMessageWindowName, 0, 0, 0, 0, 0, HWND_MESSAGE,
                             nullptr, instance, nullptr);
    return window != nullptr;
}

void PanelLinkDriverCreated()
{
    std::lock_guard<std::mutex> lock(g_panelLock);
    ++g_driverObjects;
    // A panel runs already (the user's, another host's, or ours), or the one
    // started for an earlier driver object has no window yet.
    if (IsPanelRunning() || IsRunning(g_startedPanel)) {
        return;
    }
    if (g_startedPanel) {
        CloseHandle(g_startedPanel);
    }
    char parameters[16];
    std::snprintf(parameters, sizeof parameters, "%d", static_cast<int>(GetCurrentProcessId()));
    CreateMessageOnlyWindow();
    g_startedPanel = LaunchPanel(parameters, SW_HIDE);
    Sleep(10);
}

void PanelLinkDriverDestroyed()
{
    std::lock_guard<std::mutex> lock(g_panelLock);
    if (g_driverObjects > 0) {
        --g_driverObjects;
    }
    if (g_driverObjects > 0 || !g_startedPanel) {
        return;
    }
    HANDLE panel = g_startedPanel;
    g_startedPanel = nullptr;
    if (IsRunning(panel)) {
        HWND window = PanelWindowOf(panel);
        if (!window) {
            // Released right after creation: the panel may still be making
            // its window. One that never makes it ends with its host.
            WaitForInputIdle(panel, kCloseTimeoutMs);
            window = PanelWindowOf(panel);
        }
        // A window the user has open stays: the panel then ends with its host.
        if (window && !IsWindowVisible(window)) {
            DWORD_PTR result = 0;
            SendMessageTimeoutA(window, WM_CLOSE, 0, 0, SMTO_ABORTIFHUNG, kCloseTimeoutMs, &result);
        }
    }
    CloseHandle(panel);
}

void ShowPanel()
{
    if (HWND panel = FindWindowA(kPanelClass, nullptr)) {
        BringForward(panel);
        return;
    }
    // Without arguments the panel shows its window at once.
    if (HANDLE started = LaunchPanel(nullptr, SW_SHOW)) {
        CloseHandle(started);
    }
}
