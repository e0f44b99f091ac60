#include "panel_link.h"

#include "debug_trace.h"
#include "message_box.h"
#include "settings_paths.h"

#include <windows.h>
#include <shellapi.h>

#include <cstdio>

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

// Starts the panel when it is installed; a missing program is only traced
// (no shell error box may appear inside the host).
void LaunchPanel(const char* parameters, int showCommand)
{
    const std::string path = PanelProgramPath();
    if (path.empty() || GetFileAttributesA(path.c_str()) == INVALID_FILE_ATTRIBUTES) {
        DebugTrace("control panel program not found: %s\n", path.c_str());
        return;
    }
    ShellExecuteA(nullptr, "open", path.c_str(), parameters, nullptr, showCommand);
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

void StartPanelForHost()
{
    if (IsPanelRunning()) {
        return;
    }
    char parameters[16];
    std::snprintf(parameters, sizeof parameters, "%d", static_cast<int>(GetCurrentProcessId()));
    CreateMessageOnlyWindow();
    LaunchPanel(parameters, SW_HIDE);
    Sleep(10);
}

void ShowPanel()
{
    if (!IsPanelRunning()) {
        LaunchPanel(nullptr, SW_SHOW);
    }
}

void ClosePanelWindow()
{
    if (HWND panel = FindWindowA(kPanelClass, nullptr)) {
        DWORD_PTR result = 0;
        SendMessageTimeoutA(panel, WM_CLOSE, 0, 0, SMTO_ABORTIFHUNG, kCloseTimeoutMs, &result);
    }
}
