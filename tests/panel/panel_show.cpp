// For screenshots (tools/panel-screenshot.sh):
//   panel_show         shows a running panel as a left click on its icon does
//   panel_show close   closes it as the driver does
// Waits at most 30 s for the panel's window; exit code 0 when it was shown
// (closed), 1 when there was no panel.
#include <windows.h>

#include <cstdlib>
#include <cstring>

int WINAPI WinMain(HINSTANCE, HINSTANCE, LPSTR, int)
{
    const bool close = __argc > 1 && std::strcmp(__argv[1], "close") == 0;
    for (int i = 0; i < 1500; ++i) {
        if (HWND panel = FindWindowA("telvarapanel", nullptr)) {
            DWORD_PTR result = 0;
            if (close) {
                SendMessageTimeoutA(panel, WM_CLOSE, 0, 0, SMTO_NORMAL, 30000, &result);
                return 0;
            }
            SendMessageTimeoutA(panel, WM_USER + 1, 0, WM_LBUTTONDOWN, SMTO_NORMAL, 30000, &result);
            return IsWindowVisible(panel) ? 0 : 1;
        }
        Sleep(20);
    }
    return 1;
}
