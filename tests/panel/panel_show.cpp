// Shows a running panel as a left click on its notification-area icon does:
// for screenshots (tools/panel-screenshot.sh). Waits at most 30 s for the
// panel's window; exit code 0 when it was shown, 1 when there was none.
#include <windows.h>

int WINAPI WinMain(HINSTANCE, HINSTANCE, LPSTR, int)
{
    for (int i = 0; i < 1500; ++i) {
        if (HWND panel = FindWindowA("telvarapanel", nullptr)) {
            DWORD_PTR result = 0;
            SendMessageTimeoutA(panel, WM_USER + 1, 0, WM_LBUTTONDOWN, SMTO_NORMAL, 30000, &result);
            return IsWindowVisible(panel) ? 0 : 1;
        }
        Sleep(20);
    }
    return 1;
}
