#include "tray_icon.h"

#include <cstring>

namespace {

void CopyText(char* field, size_t size, const char* text)
{
    std::memset(field, 0, size);
    if (text) {
        std::strncpy(field, text, size - 1);
    }
}

}  // namespace

void FillTrayIconRecord(NOTIFYICONDATAA& record, HWND window, HICON icon)
{
    std::memset(&record, 0, sizeof record);
    record.cbSize = sizeof record;
    record.hWnd = window;
    record.uID = 0;
    record.uFlags = NIF_MESSAGE | NIF_ICON | NIF_TIP;
    record.uCallbackMessage = WM_TRAY_NOTIFY;
    record.hIcon = icon;
    CopyText(record.szTip, sizeof record.szTip, "TELVARA");
}

void FillTrayBalloon(NOTIFYICONDATAA& record, const char* text, const char* title, UINT timeoutMs,
                     DWORD infoFlags)
{
    record.uFlags = NIF_INFO;
    CopyText(record.szInfo, sizeof record.szInfo, text);
    CopyText(record.szInfoTitle, sizeof record.szInfoTitle, title);
    record.uTimeout = timeoutMs;
    record.dwInfoFlags = infoFlags;
}
