#include "panel_app.h"

#include "debug_trace.h"
#include "host_watch.h"
#include "panel_dialog.h"
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
    if (!TakeInstanceMutex()) {
        return false;  // a panel runs already: end quietly
    }
    INITCOMMONCONTROLSEX controls{sizeof controls, 0xFF};
    InitCommonControlsEx(&controls);
    const char* arguments = CommandLineArguments(GetCommandLineA());
    RegisterForRestart(arguments);

    CQuorvexDlg dialog(m_links);
    if (!dialog.Create(GetModuleHandleA(nullptr), arguments)) {
        m_exitCode = dialog.SettingsFailed() ? -1 : 1;
        return false;
    }
    ShowWindow(dialog.GetSafeHwnd(), SW_HIDE);
    SendUsagePing(m_links.usageEndpoint, m_links.siteId);
    dialog.RunModalLoop();
    return false;
}
