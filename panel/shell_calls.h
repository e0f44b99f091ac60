#pragma once

#include <windows.h>
#include <shellapi.h>

// The panel's two calls into the shell, each through one replaceable
// function, so that tests see the exact arguments without a notification
// area or a browser. The program never replaces them.

using NotifyIconFunction = BOOL(WINAPI*)(DWORD message, PNOTIFYICONDATAA data);
using ShellExecuteFunction = HINSTANCE(WINAPI*)(HWND owner, LPCSTR verb, LPCSTR file, LPCSTR parameters,
                                                LPCSTR folder, INT showCommand);

// Shell_NotifyIconA, or the replacement.
BOOL PanelNotifyIcon(DWORD message, PNOTIFYICONDATAA data);
// ShellExecuteA, or the replacement.
HINSTANCE PanelShellExecute(HWND owner, LPCSTR verb, LPCSTR file, LPCSTR parameters, LPCSTR folder,
                            INT showCommand);

// Install a replacement; nullptr puts the shell's function back. Each answers
// the function installed before. Set them before the dialog exists.
NotifyIconFunction SetNotifyIconFunction(NotifyIconFunction function);
ShellExecuteFunction SetShellExecuteFunction(ShellExecuteFunction function);
