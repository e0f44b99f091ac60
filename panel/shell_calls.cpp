#include "shell_calls.h"

namespace {
// Set only while no dialog exists; read on the GUI thread.
NotifyIconFunction g_notifyIcon = nullptr;
ShellExecuteFunction g_shellExecute = nullptr;
}  // namespace

BOOL PanelNotifyIcon(DWORD message, PNOTIFYICONDATAA data)
{
    return g_notifyIcon ? g_notifyIcon(message, data) : Shell_NotifyIconA(message, data);
}

HINSTANCE PanelShellExecute(HWND owner, LPCSTR verb, LPCSTR file, LPCSTR parameters, LPCSTR folder,
                            INT showCommand)
{
    return g_shellExecute ? g_shellExecute(owner, verb, file, parameters, folder, showCommand)
                          : ShellExecuteA(owner, verb, file, parameters, folder, showCommand);
}

NotifyIconFunction SetNotifyIconFunction(NotifyIconFunction function)
{
    NotifyIconFunction previous = g_notifyIcon;
    g_notifyIcon = function;
    return previous;
}

ShellExecuteFunction SetShellExecuteFunction(ShellExecuteFunction function)
{
    ShellExecuteFunction previous = g_shellExecute;
    g_shellExecute = function;
    return previous;
}
