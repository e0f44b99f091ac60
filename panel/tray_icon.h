#pragma once

#include <windows.h>
#include <shellapi.h>

// The notification-area icon record: filled once, reused for every later
// call. The full ANSI record: 508 bytes in the 32-bit program.
#ifndef _WIN64
static_assert(sizeof(NOTIFYICONDATAA) == 508, "the full ANSI notification-icon record");
#endif

// The message the icon sends to its window, with the mouse message in lParam.
constexpr UINT WM_TRAY_NOTIFY = WM_USER + 1;

// cbSize, window, uID 0, NIF_MESSAGE | NIF_ICON | NIF_TIP, the callback
// message, the icon and the tip "TELVARA"; everything else zero.
void FillTrayIconRecord(NOTIFYICONDATAA& record, HWND window, HICON icon);

// The balloon members: uFlags becomes NIF_INFO only, the texts are copied
// (cut to their fields; null gives an empty text), time-out and icon flags.
void FillTrayBalloon(NOTIFYICONDATAA& record, const char* text, const char* title, UINT timeoutMs,
                     DWORD infoFlags);
