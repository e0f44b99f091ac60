// settings_file.h (POCO, winsock2.h) must come before windows.h.
#include "settings_file.h"

#include "panel_dialog.h"

#include "device_catalogue.h"
#include "debug_trace.h"
#include "driver_presence.h"
#include "host_watch.h"
#include "message_box.h"
#include "panel_artwork.h"
#include "panel_resources.h"
#include "panel_texts.h"
#include "shell_calls.h"
#include "tray_icon.h"
#include "web_link.h"

#include "gdiplus_include.h"

#include <algorithm>
#include <cstdio>
#include <string>

namespace {

constexpr const char* kBalloonFormat = "SampleRate:%dhz %dbit";
constexpr const char* kBalloonTitle = "TELVARA";
constexpr UINT kBalloonTimeoutMs = 5000;
constexpr int kStatusBarMinimumHeight = 26;

// The dialog being created: its window procedure meets messages before
// CreateDialogParamW has returned the window. GUI thread only.
CQuorvexDlg* g_pCreating = nullptr;

CQuorvexDlg* DialogOf(HWND window)
{
    return reinterpret_cast<CQuorvexDlg*>(GetWindowLongPtrW(window, GWLP_USERDATA));
}

}  // namespace

CQuorvexDlg::CQuorvexDlg(const PanelLinks& links) : m_links(links)
{
    HINSTANCE instance = GetModuleHandleA(nullptr);
    m_hIcon = static_cast<HICON>(LoadImageA(instance, MAKEINTRESOURCEA(IDR_MAINFRAME), IMAGE_ICON, 0, 0, LR_DEFAULTSIZE));
    m_hSmallIcon = static_cast<HICON>(LoadImageA(instance, MAKEINTRESOURCEA(IDR_MAINFRAME), IMAGE_ICON,
                                                 GetSystemMetrics(SM_CXSMICON), GetSystemMetrics(SM_CYSMICON), 0));
}

CQuorvexDlg::~CQuorvexDlg()
{
    if (m_hWnd) {
        DestroyWindow(m_hWnd);
    }
    delete m_pDevice;
    DestroyIcon(m_hIcon);
    DestroyIcon(m_hSmallIcon);
}

bool CQuorvexDlg::RegisterWindowClass(HINSTANCE instance)
{
    WNDCLASSEXW windowClass{};
    windowClass.cbSize = sizeof windowClass;
    if (GetClassInfoExW(instance, L"" TELVARA_PANEL_CLASS, &windowClass)) {
        return true;
    }
    windowClass.cbSize = sizeof windowClass;
    windowClass.style = CS_DBLCLKS;
    windowClass.lpfnWndProc = PanelWindowProc;
    windowClass.cbWndExtra = DLGWINDOWEXTRA;
    windowClass.hInstance = instance;
    windowClass.hIcon = LoadIconA(instance, MAKEINTRESOURCEA(IDR_MAINFRAME));
    windowClass.hCursor = LoadCursorA(nullptr, reinterpret_cast<LPCSTR>(IDC_ARROW));
    windowClass.hbrBackground = reinterpret_cast<HBRUSH>(COLOR_BTNFACE + 1);
    windowClass.lpszClassName = L"" TELVARA_PANEL_CLASS;
    return RegisterClassExW(&windowClass) != 0;
}

bool CQuorvexDlg::Create(HINSTANCE instance, const char* arguments)
{
    m_hInstance = instance;
    m_arguments = arguments ? arguments : "";
    if (!RegisterWindowClass(instance)) {
        DebugTrace("CQuorvexDlg::Create: window class not registered, error %lu\n", GetLastError());
        return false;
    }
    g_pCreating = this;
    HWND window = CreateDialogParamW(instance, MAKEINTRESOURCEW(IDD_TELVARA_PANEL), nullptr, DialogProc,
                                     reinterpret_cast<LPARAM>(this));
    g_pCreating = nullptr;
    if (!window) {
        DebugTrace("CQuorvexDlg::Create: no window, error %lu\n", GetLastError());
        return false;
    }
    return !m_settingsFailed;
}

LRESULT CALLBACK CQuorvexDlg::PanelWindowProc(HWND window, UINT message, WPARAM wParam, LPARAM lParam)
{
    CQuorvexDlg* dialog = DialogOf(window);
    if (!dialog && g_pCreating) {
        dialog = g_pCreating;
        dialog->m_hWnd = window;
        SetWindowLongPtrW(window, GWLP_USERDATA, reinterpret_cast<LONG_PTR>(dialog));
    }
    if (dialog) {
        bool handled = false;
        const LRESULT result = dialog->WindowProc(message, wParam, lParam, handled);
        if (handled) {
            return result;
        }
    }
    if (message == WM_NCDESTROY && dialog) {
        SetWindowLongPtrW(window, GWLP_USERDATA, 0);
        dialog->m_hWnd = nullptr;
    }
    return DefDlgProcW(window, message, wParam, lParam);
}

INT_PTR CALLBACK CQuorvexDlg::DialogProc(HWND window, UINT message, WPARAM wParam, LPARAM lParam)
{
    CQuorvexDlg* dialog = DialogOf(window);
    return dialog ? dialog->OnMessage(message, wParam, lParam) : FALSE;
}

INT_PTR CQuorvexDlg::OnMessage(UINT message, WPARAM wParam, LPARAM lParam)
{
    switch (message) {
    case WM_INITDIALOG:
        return OnInitDialog();
    case WM_PAINT:
        return OnPaint();
    case WM_QUERYDRAGICON:
        return reinterpret_cast<INT_PTR>(OnQueryDragIcon());
    case WM_DRAWITEM:
        OnDrawItem(reinterpret_cast<const DRAWITEMSTRUCT*>(lParam));
        return TRUE;
    case WM_NOTIFY:
        return OnNotify(reinterpret_cast<const NMHDR*>(lParam));
    case WM_TRAY_NOTIFY:
        OnTrayNotify(wParam, lParam);
        return TRUE;
    case WM_COMMAND:
        switch (LOWORD(wParam)) {
        case IDC_SAMPLE_RATE_LIST:
            OnSampleRateList(HIWORD(wParam));
            return TRUE;
        case IDC_SAMPLE_FORMAT_LIST:
            OnSampleFormatList(HIWORD(wParam));
            return TRUE;
        case IDC_CHANNEL_LIST:
            OnChannelList(HIWORD(wParam));
            return TRUE;
        case IDC_DRIFT_COMPENSATION:
            if (HIWORD(wParam) == BN_CLICKED) {
                OnDriftCompensation();
            }
            return TRUE;
        case IDM_SET_CLOCK_MASTER:
            OnSetClockMaster();
            return TRUE;
        case IDM_TRAY_OPEN:
            BringForward();
            return TRUE;
        case IDM_TRAY_EXIT:
            ExitFromTray();
            return TRUE;
        case IDC_WEB_BUTTON:
            if (HIWORD(wParam) == BN_CLICKED) {
                OnWebButton();
            }
            return TRUE;
        case IDOK:
            OnOK();
            return TRUE;
        case IDCANCEL:
            OnCancel();
            return TRUE;
        default:
            return FALSE;
        }
    case WM_CONTEXTMENU:
        if (reinterpret_cast<HWND>(wParam) != Control(IDC_DEVICE_TREE)) {
            return FALSE;
        }
        OnTreeContextMenu(lParam);
        return TRUE;
    case WM_HSCROLL:
        OnHScroll(LOWORD(wParam), HIWORD(wParam), reinterpret_cast<HWND>(lParam));
        return TRUE;
    case WM_VSCROLL:
        OnVScroll(LOWORD(wParam), HIWORD(wParam), reinterpret_cast<HWND>(lParam));
        return TRUE;
    case WM_TIMER:
        OnTimer(wParam);
        return TRUE;
    case WM_SIZE:
        OnSize(LOWORD(lParam), HIWORD(lParam));
        return TRUE;
    case WM_SHOWWINDOW:
        if (wParam && m_noDevicePending) {
            // After the window has appeared: the message comes with it.
            PostMessageW(m_hWnd, kNoDeviceMessage, 0, 0);
        }
        return FALSE;
    case WM_GETMINMAXINFO:
        OnGetMinMaxInfo(reinterpret_cast<MINMAXINFO*>(lParam));
        return TRUE;
    case WM_CLOSE:
        OnClose();
        return TRUE;
    case WM_DESTROY:
        OnDestroy();
        return TRUE;
    case WM_DEVICECHANGE:
        SetWindowLongPtrW(m_hWnd, DWLP_MSGRESULT, OnDeviceChange(wParam, lParam));
        return TRUE;
    case kApplyChecksMessage:
        ApplyCheckBoxChanges();
        return TRUE;
    case kNoDeviceMessage:
        if (m_noDevicePending && IsWindowVisible(m_hWnd)) {
            ShowNoDeviceMessage();
        }
        return TRUE;
    default:
        return FALSE;
    }
}

// ---- start-up ---------------------------------------------------------------

BOOL CQuorvexDlg::OnInitDialog()
{
    SendMessageA(m_hWnd, WM_SETICON, ICON_BIG, reinterpret_cast<LPARAM>(m_hIcon));
    SendMessageA(m_hWnd, WM_SETICON, ICON_SMALL, reinterpret_cast<LPARAM>(m_hSmallIcon));

    if (!m_arguments.empty()) {
        m_hostMode = true;
        m_hostProcessId = ParseHostProcessId(m_arguments.c_str());
        SetTimer(m_hWnd, kHostWatchTimer, kHostWatchPeriodMs, nullptr);
    }

    Gdiplus::GdiplusStartupInput gdiplusInput;
    if (Gdiplus::GdiplusStartup(&m_gdiplusToken, &gdiplusInput, nullptr) != Gdiplus::Ok) {
        m_gdiplusToken = 0;
    }

    CreateStatusBar();
    AddTrayIcon();

    // config.ini is loaded first; when the file can neither be created nor
    // read, its message has been shown and the panel ends (Create answers
    // false, the program exits with -1) without leaving its icon.
    GetSettingsFile(SettingsFailureAction::Continue);
    m_pDevice = new CDeviceCatalogue;
    if (!GetSettingsFile().IsUsable()) {
        m_settingsFailed = true;
        RemoveTrayIcon();
        return TRUE;
    }
    GetSettingsFile().KeepAutomaticLinks();
    m_pSettings = GetSettingsFile().LoadSettings();
    if (!m_pDevice->EnumerateFilters()) {
        DebugTrace("CQuorvexDlg::OnInitDialog: device enumeration failed\n");
    }
    InitControls();
    RebuildDeviceTree();

    const DriverSettings* settings = GetSettingsFile().LoadSettings();
    char text[64];
    std::snprintf(text, sizeof text, kBalloonFormat, static_cast<int>(settings->sampleRate),
                  static_cast<int>(settings->bitsPerSample));
    ShowTrayBalloon(text, kBalloonTitle, kBalloonTimeoutMs, NIIF_INFO);

    RECT frame;
    GetWindowRect(m_hWnd, &frame);
    m_minimumSize = {frame.right - frame.left, frame.bottom - frame.top};
    CaptureLayout();
    return TRUE;
}

void CQuorvexDlg::CreateStatusBar()
{
    m_hStatusBar = CreateWindowExW(0, STATUSCLASSNAMEW, L"", WS_CHILD | WS_VISIBLE | CCS_BOTTOM | SBARS_SIZEGRIP, 0,
                                   0, 0, 0, m_hWnd, reinterpret_cast<HMENU>(static_cast<INT_PTR>(IDC_STATUS_BAR)),
                                   m_hInstance, nullptr);
    if (!m_hStatusBar) {
        DebugTrace("CQuorvexDlg::CreateStatusBar: error %lu\n", GetLastError());
        return;
    }
    SendMessageW(m_hStatusBar, SB_SETMINHEIGHT, kStatusBarMinimumHeight, 0);
    int stretch = -1;  // one pane over the whole width
    SendMessageW(m_hStatusBar, SB_SETPARTS, 1, reinterpret_cast<LPARAM>(&stretch));
    UpdateStatusBar();
    SendMessageW(m_hStatusBar, WM_SIZE, 0, 0);
}

void CQuorvexDlg::AddTrayIcon()
{
    FillTrayIconRecord(m_trayIcon, m_hWnd, m_hSmallIcon);
    PanelNotifyIcon(NIM_ADD, &m_trayIcon);
    m_trayIconAdded = true;
}

BOOL CQuorvexDlg::ShowTrayBalloon(const char* text, const char* title, UINT timeoutMs, DWORD infoFlags)
{
    FillTrayBalloon(m_trayIcon, text, title, timeoutMs, infoFlags);
    return PanelNotifyIcon(NIM_MODIFY, &m_trayIcon);
}

void CQuorvexDlg::RemoveTrayIcon()
{
    if (m_trayIconAdded) {
        m_trayIconAdded = false;
        PanelNotifyIcon(NIM_DELETE, &m_trayIcon);
    }
}

void CQuorvexDlg::RunModalLoop()
{
    MSG message;
    while (!m_ended) {
        const BOOL got = GetMessageW(&message, nullptr, 0, 0);
        if (got == 0 || got == -1) {
            break;  // quit message (or a loop that can no longer run)
        }
        if (!m_hWnd || !IsDialogMessageW(m_hWnd, &message)) {
            TranslateMessage(&message);
            DispatchMessageW(&message);
        }
    }
}

void CQuorvexDlg::EndDialog(int result)
{
    RemoveTrayIcon();
    m_result = result;
    m_ended = true;
    // Wakes the loop when the end came with a sent message (the driver's
    // close), which GetMessage handles without returning.
    PostMessageW(m_hWnd, WM_NULL, 0, 0);
}

// ---- the window procedure: visibility rules and exits -----------------------

LRESULT CQuorvexDlg::WindowProc(UINT message, WPARAM wParam, LPARAM lParam, bool& handled)
{
    handled = false;
    if (message == WM_SYSCOMMAND && (wParam & 0xFFF0) == SC_RESTORE) {
        // The driver's controlPanel and a second start ask for the window so.
        BringForward();
        handled = true;
        return 0;
    }
    if (message == WM_SYSCOMMAND && wParam == SC_CLOSE) {
        if (m_hostMode) {
            // Started for a host: the panel stays in the notification area.
            ShowWindow(m_hWnd, SW_HIDE);
            handled = true;
            return 0;
        }
        RemoveTrayIcon();
        PostQuitMessage(0);
        return 0;  // on to the default handling, which closes the dialog
    }
    // Move, size and the keyboard menu go to the default handling.
    if (message == WM_TRAY_NOTIFY && (lParam == WM_LBUTTONDOWN || lParam == WM_LBUTTONDBLCLK)) {
        ShowWindow(m_hWnd, IsWindowVisible(m_hWnd) ? SW_HIDE : SW_SHOW);
    }
    return 0;
}

void CQuorvexDlg::OnTrayNotify(WPARAM, LPARAM lParam)
{
    switch (lParam) {
    case WM_LBUTTONDOWN:
        ShowWindow(m_hWnd, SW_SHOW);
        break;
    case WM_RBUTTONUP: {
        HMENU menu = LoadTrayMenu();
        if (!menu) {
            break;
        }
        POINT cursor;
        GetCursorPos(&cursor);
        // The menu closes when the user clicks elsewhere only while its
        // window is in front.
        SetForegroundWindow(m_hWnd);
        TrackPopupMenu(GetSubMenu(menu, 0), TPM_RIGHTBUTTON | TPM_BOTTOMALIGN, cursor.x, cursor.y, 0, m_hWnd,
                       nullptr);
        PostMessageW(m_hWnd, WM_NULL, 0, 0);
        DestroyMenu(menu);
        break;
    }
    case WM_RBUTTONDBLCLK:
        ExitFromTray();
        break;
    default:
        break;
    }
}

HMENU CQuorvexDlg::LoadTrayMenu() const
{
    return LoadMenuW(m_hInstance, MAKEINTRESOURCEW(IDR_TRAY_MENU));
}

void CQuorvexDlg::BringForward()
{
    ShowWindow(m_hWnd, IsIconic(m_hWnd) ? SW_RESTORE : SW_SHOW);
    SetForegroundWindow(m_hWnd);
}

bool CQuorvexDlg::ExitFromTray()
{
    // A host that uses the driver would lose the panel's volume and delay
    // changes: the user decides.
    if (IsDriverInUse() &&
        ShowMessageBox(PanelTexts::kExitWhileInUse, PanelTexts::kExitTitle, MB_YESNO | MB_ICONQUESTION) != IDYES) {
        return false;
    }
    RemoveTrayIcon();
    PostQuitMessage(0);
    return true;
}

void CQuorvexDlg::OnTimer(UINT_PTR)
{
    if (!IsProcessAlive(m_hostProcessId) && m_hostMode) {
        RemoveTrayIcon();
        PostQuitMessage(0);
    }
}

void CQuorvexDlg::OnClose()
{
    // The driver's close (a driver object went), or the default handling of
    // the close command outside host mode: as the dialog's cancel.
    OnCancel();
    if (m_inMessageBox) {
        // The box's modal loop ends on a quit message and posts it again for
        // ours; without it the panel would wait for a user to answer a box
        // of a program that was told to end.
        PostQuitMessage(0);
    }
}

void CQuorvexDlg::OnCancel()
{
    delete m_pDevice;
    m_pDevice = nullptr;
    EndDialog(IDCANCEL);
}

void CQuorvexDlg::OnOK()
{
    EndDialog(IDOK);
}

void CQuorvexDlg::OnDestroy()
{
    KillTimer(m_hWnd, kHostWatchTimer);
    RemoveTrayIcon();
    if (m_gdiplusToken != 0) {
        Gdiplus::GdiplusShutdown(m_gdiplusToken);
        m_gdiplusToken = 0;
    }
}

void CQuorvexDlg::OnSize(int width, int height)
{
    if (m_hStatusBar) {
        SendMessageW(m_hStatusBar, WM_SIZE, 0, 0);
    }
    if (m_anchors.empty() || width <= 0 || height <= 0) {
        return;  // not laid out yet, or minimised
    }
    // Everything below and right of the tree follows the frame; the tree and
    // its group grow with it.
    const int dx = std::max(0, width - static_cast<int>(m_templateClient.cx));
    const int dy = std::max(0, height - static_cast<int>(m_templateClient.cy));
    HDWP positions = BeginDeferWindowPos(static_cast<int>(m_anchors.size()));
    for (const Anchor& anchor : m_anchors) {
        const int x = anchor.rect.left + (anchor.moveX ? dx : 0);
        const int y = anchor.rect.top + (anchor.moveY ? dy : 0);
        const int w = anchor.rect.right - anchor.rect.left + (anchor.growX ? dx : 0);
        const int h = anchor.rect.bottom - anchor.rect.top + (anchor.growY ? dy : 0);
        if (positions) {
            positions = DeferWindowPos(positions, anchor.control, nullptr, x, y, w, h, SWP_NOZORDER | SWP_NOACTIVATE);
        }
    }
    if (positions) {
        EndDeferWindowPos(positions);
    }
    InvalidateRect(m_hWnd, nullptr, TRUE);
}

void CQuorvexDlg::CaptureLayout()
{
    RECT client;
    GetClientRect(m_hWnd, &client);
    m_templateClient = {client.right, client.bottom};
    auto rectOf = [this](HWND control) {
        RECT rect;
        GetWindowRect(control, &rect);
        MapWindowPoints(nullptr, m_hWnd, reinterpret_cast<POINT*>(&rect), 2);
        return rect;
    };
    const RECT tree = rectOf(Control(IDC_DEVICE_TREE));
    const RECT rates = rectOf(Control(IDC_SAMPLE_RATE_LIST));
    const RECT inputVolume = rectOf(Control(IDC_INPUT_VOLUME));
    auto contains = [](const RECT& outer, const RECT& inner) {
        return outer.left <= inner.left && outer.top <= inner.top && outer.right >= inner.right &&
               outer.bottom >= inner.bottom;
    };
    auto isGroupBox = [](HWND control) {
        char className[16] = {};
        GetClassNameA(control, className, sizeof className);
        return lstrcmpiA(className, "Button") == 0 &&
               (GetWindowLongW(control, GWL_STYLE) & BS_TYPEMASK) == BS_GROUPBOX &&
               GetDlgCtrlID(control) != IDC_CHANNEL_GROUP;
    };
    // The volume column starts with the group of the input volume.
    LONG volumeColumn = inputVolume.left;
    for (HWND child = GetWindow(m_hWnd, GW_CHILD); child; child = GetWindow(child, GW_HWNDNEXT)) {
        const RECT rect = rectOf(child);
        if (isGroupBox(child) && contains(rect, inputVolume) && !contains(rect, rates)) {
            volumeColumn = std::min(volumeColumn, rect.left);
        }
    }
    m_anchors.clear();
    for (HWND child = GetWindow(m_hWnd, GW_CHILD); child; child = GetWindow(child, GW_HWNDNEXT)) {
        if (child == m_hStatusBar || GetParent(child) != m_hWnd) {
            continue;
        }
        Anchor anchor{child, rectOf(child), false, false, false, false};
        const bool groupBox = isGroupBox(child);
        if (child == Control(IDC_DEVICE_TREE)) {
            anchor.growX = anchor.growY = true;
        } else if (groupBox && contains(anchor.rect, tree)) {
            anchor.growX = anchor.growY = true;  // "声卡设置"
        } else if (anchor.rect.top < tree.bottom) {
            // The device pane and the web button go right; the logo stays.
            anchor.moveX = anchor.rect.left >= tree.right || child == Control(IDC_WEB_BUTTON);
        } else {
            anchor.moveY = true;
            if (groupBox && contains(anchor.rect, rates)) {
                anchor.growX = true;  // "ASIO 设置"
            } else {
                // The volume sliders and their scales keep to the right edge.
                anchor.moveX = anchor.rect.left >= volumeColumn;
            }
        }
        m_anchors.push_back(anchor);
    }
}

void CQuorvexDlg::OnGetMinMaxInfo(MINMAXINFO* info)
{
    // Never smaller than the template: no control may end up under the
    // status bar.
    if (m_minimumSize.cx > 0) {
        info->ptMinTrackSize.x = m_minimumSize.cx;
        info->ptMinTrackSize.y = m_minimumSize.cy;
    }
}

// ---- dialog painting -------------------------------------------------------

bool CQuorvexDlg::OnPaint()
{
    if (!IsIconic(m_hWnd)) {
        return false;  // the controls paint themselves; the logo is owner-drawn
    }
    DrawMinimisedIcon(m_hWnd, m_hIcon);
    return true;
}

HICON CQuorvexDlg::OnQueryDragIcon()
{
    return m_hIcon;
}

void CQuorvexDlg::OnDrawItem(const DRAWITEMSTRUCT* item)
{
    if (item->CtlID == IDC_LOGO) {
        DrawLogo(item, m_hInstance);
    } else if (item->CtlID == IDC_WEB_BUTTON) {
        DrawWebButton(item, m_hInstance);
    }
}

// ---- device tree and settings controls: device_tree_dialog.cpp and
// settings_controls_dialog.cpp ----------------------------------------------

// ---- web link --------------------------------------------------------------

void CQuorvexDlg::OnWebButton()
{
    OpenWebSite(m_links.webSite);
}
