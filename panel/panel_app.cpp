#include "panel_app.h"

#include "debug_trace.h"
#include "host_watch.h"
#include "panel_dialog.h"
#include "panel_resources.h"
#include "usage_ping.h"

#include <windows.h>
#include <commctrl.h>

bool TakeInstanceMutex()
{
    // No namespace prefix: one panel per logon session.
    HANDLE mutex = CreateMutexA(nullptr, FALSE, "Telvara Panel");
    if (mutex && GetLastError() == ERROR_ALREADY_EXISTS) {
        CloseHandle(mutex);
        return false;
    }
    // A mutex that cannot be made at all does not keep the panel from
    // running; it only loses the guard.
    return true;
}

namespace {

// How long a second start waits for the running panel's window: a panel
// started a moment ago may still be making it.
constexpr DWORD kWindowWaitMs = 5000;

// A second start without a host is the user asking for the panel (the Start
// menu, a host's "control panel" button): the running panel comes forward.
// One with a host (a driver created for another host) changes nothing.
void BringRunningPanelForward(const char* arguments)
{
    if (*arguments) {
        return;
    }
    for (DWORD waited = 0; waited <= kWindowWaitMs; waited += 50) {
        if (HWND panel = FindWindowA(TELVARA_PANEL_CLASS, nullptr)) {
            DWORD processId = 0;
            GetWindowThreadProcessId(panel, &processId);
            // This start came from the user: the right to take the front
            // goes on to the panel.
            AllowSetForegroundWindow(processId);
            PostMessageA(panel, WM_SYSCOMMAND, SC_RESTORE, 0);
            return;
        }
        Sleep(50);
    }
    DebugTrace("CQuorvexApp: a panel runs, but its window never came\n");
}

// Restart after an update or a crash with the same arguments (restart only,
// no data to recover).
void RegisterForRestart(const char* arguments)
{
    wchar_t wide[64] = {};
    MultiByteToWideChar(CP_ACP, 0, arguments, -1, wide, static_cast<int>(sizeof wide / sizeof wide[0]) - 1);
    RegisterApplicationRestart(*wide ? wide : nullptr, 0);
}

}  // namespace

bool CQuorvexApp::InitInstance()
{
    const char* arguments = CommandLineArguments(GetCommandLineA());
    if (!TakeInstanceMutex()) {
        BringRunningPanelForward(arguments);
        return false;  // a panel runs already: this one ends
    }
    INITCOMMONCONTROLSEX controls{sizeof controls, 0xFF};
    InitCommonControlsEx(&controls);
    RegisterForRestart(arguments);

    CQuorvexDlg dialog(m_links);
    if (!dialog.Create(GetModuleHandleA(nullptr), arguments)) {
        m_exitCode = dialog.SettingsFailed() ? -1 : 1;
        return false;
    }
    ShowWindow(dialog.GetSafeHwnd(), SW_HIDE);
    SendUsagePing(m_links.usageEndpoint, m_links.siteId);
    if (!dialog.IsHostMode()) {
        // Started by the user (or for a host's "control panel" button when
        // no panel ran): the window comes at once. A panel started for a
        // host stays in the notification area until the user opens it.
        dialog.BringForward();
    }
    dialog.RunModalLoop();
    return false;
}
