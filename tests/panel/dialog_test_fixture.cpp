#include "dialog_test_fixture.h"

#include "message_box_log.h"
#include "panel_resources.h"
#include "shell_calls.h"

#include <commctrl.h>

#include <cstring>

namespace {

const PanelLinks kLinks{"http://www.telvara.example/", "", "1"};

BOOL WINAPI IgnoreIconCall(DWORD, PNOTIFYICONDATAA)
{
    return TRUE;
}

// A popup menu runs its own message loop until it closes; a thread timer
// fires inside that loop, reads the menu and chooses or closes it.
struct MenuWatch {
    dialogtest::ContextMenu seen;
    bool choose = false;
};
MenuWatch* g_pMenuWatch = nullptr;

void CALLBACK WatchForMenu(HWND, UINT, UINT_PTR timer, DWORD)
{
    HWND menuWindow = FindWindowW(L"#32768", nullptr);
    if (!g_pMenuWatch || !menuWindow || !IsWindowVisible(menuWindow)) {
        return;
    }
    KillTimer(nullptr, timer);
    auto* menu = reinterpret_cast<HMENU>(SendMessageW(menuWindow, MN_GETHMENU, 0, 0));
    wchar_t text[64] = {};
    GetMenuStringW(menu, 0, text, 63, MF_BYPOSITION);
    g_pMenuWatch->seen = {true, text, GetMenuState(menu, 0, MF_BYPOSITION)};
    if (g_pMenuWatch->choose) {
        PostMessageW(menuWindow, WM_KEYDOWN, VK_DOWN, 1);
        PostMessageW(menuWindow, WM_CHAR, L'\r', 1);
    } else {
        EndMenu();
    }
}

dialogtest::ContextMenu WatchContextMenu(bool choose, const std::function<void()>& open)
{
    MenuWatch watch;
    watch.choose = choose;
    g_pMenuWatch = &watch;
    const UINT_PTR timer = SetTimer(nullptr, 0, 20, WatchForMenu);
    open();
    KillTimer(nullptr, timer);
    g_pMenuWatch = nullptr;
    return watch.seen;
}

}  // namespace

namespace dialogtest {

kssim::DeviceModel Render(const std::string& name, ULONG channels, ULONG maximumRate)
{
    kssim::DeviceModel device = kssim::RenderDevice(name, "\\\\?\\sim#render#" + name);
    device.pins.at(0).ranges.at(0).maximumChannels = channels;
    device.pins.at(0).ranges.at(0).maximumSampleFrequency = maximumRate;
    return device;
}

kssim::DeviceModel Capture(const std::string& name, ULONG channels)
{
    kssim::DeviceModel device = kssim::CaptureDevice(name, "\\\\?\\sim#capture#" + name);
    device.pins.at(0).ranges.at(0).maximumChannels = channels;
    return device;
}

kssim::DeviceModel SecondOf(kssim::DeviceModel device)
{
    device.devicePath += "#2";
    return device;
}

}  // namespace dialogtest

void DeviceTreeDialogTest::SetUpTestSuite()
{
    INITCOMMONCONTROLSEX controls{sizeof controls, 0xFF};
    InitCommonControlsEx(&controls);
    SetNotifyIconFunction(IgnoreIconCall);
}

void DeviceTreeDialogTest::SetUp()
{
    CreateDirectoryA(m_appData.SettingsFolder().c_str(), nullptr);
    WriteFileBytes(m_appData.SettingsFile(), "");
    ClearLoggedMessageBoxes();
}

void DeviceTreeDialogTest::TearDown()
{
    m_dialog.reset();
    Pump();
    kssim::Simulation::Instance().Reset();
}

void DeviceTreeDialogTest::Create()
{
    m_dialog = std::make_unique<CQuorvexDlg>(kLinks);
    ASSERT_TRUE(m_dialog->Create(GetModuleHandleA(nullptr), ""));
    ShowWindow(Window(), SW_SHOW);
    Pump();
}

void DeviceTreeDialogTest::Pump()
{
    MSG message;
    while (PeekMessageW(&message, nullptr, 0, 0, PM_REMOVE)) {
        TranslateMessage(&message);
        DispatchMessageW(&message);
    }
}

HWND DeviceTreeDialogTest::Tree() const
{
    return Control(IDC_DEVICE_TREE);
}

std::string DeviceTreeDialogTest::File() const
{
    return ReadFileBytes(m_appData.SettingsFile());
}

void DeviceTreeDialogTest::WriteSettings(const std::string& text) const
{
    WriteFileBytes(m_appData.SettingsFile(), text);
}

HTREEITEM DeviceTreeDialogTest::Next(HTREEITEM item, UINT relation) const
{
    return reinterpret_cast<HTREEITEM>(SendMessageA(Tree(), TVM_GETNEXTITEM, relation, reinterpret_cast<LPARAM>(item)));
}

HTREEITEM DeviceTreeDialogTest::ItemAt(std::initializer_list<int> path) const
{
    HTREEITEM item = Next(nullptr, TVGN_ROOT);
    bool first = true;
    for (int position : path) {
        if (!first) {
            item = Next(item, TVGN_CHILD);
        }
        first = false;
        for (int i = 0; i < position && item; ++i) {
            item = Next(item, TVGN_NEXT);
        }
    }
    return item;
}

std::string DeviceTreeDialogTest::Text(HTREEITEM item) const
{
    char text[512] = {};
    TVITEMA query{};
    query.mask = TVIF_TEXT | TVIF_HANDLE;
    query.hItem = item;
    query.pszText = text;
    query.cchTextMax = sizeof text;
    SendMessageA(Tree(), TVM_GETITEMA, 0, reinterpret_cast<LPARAM>(&query));
    return text;
}

bool DeviceTreeDialogTest::Checked(HTREEITEM item) const
{
    const auto state = SendMessageA(Tree(), TVM_GETITEMSTATE, reinterpret_cast<WPARAM>(item), TVIS_STATEIMAGEMASK);
    return (state & TVIS_STATEIMAGEMASK) == INDEXTOSTATEIMAGEMASK(2);
}

std::vector<std::string> DeviceTreeDialogTest::Outline() const
{
    std::vector<std::string> lines;
    struct Walk {
        const DeviceTreeDialogTest* test;
        std::vector<std::string>& lines;
        void operator()(HTREEITEM item, const std::string& indent) const
        {
            for (; item; item = test->Next(item, TVGN_NEXT)) {
                lines.push_back(indent + test->Text(item) + (test->Checked(item) ? "|x" : "| "));
                (*this)(test->Next(item, TVGN_CHILD), indent + "  ");
            }
        }
    };
    Walk{this, lines}(Next(nullptr, TVGN_ROOT), "");
    return lines;
}

void DeviceTreeDialogTest::ExpandAll() const
{
    for (HTREEITEM device = Next(nullptr, TVGN_ROOT); device; device = Next(device, TVGN_NEXT)) {
        SendMessageA(Tree(), TVM_EXPAND, TVE_EXPAND, reinterpret_cast<LPARAM>(device));
        for (HTREEITEM group = Next(device, TVGN_CHILD); group; group = Next(group, TVGN_NEXT)) {
            SendMessageA(Tree(), TVM_EXPAND, TVE_EXPAND, reinterpret_cast<LPARAM>(group));
        }
    }
    Pump();
}

void DeviceTreeDialogTest::ClickTree(POINT point)
{
    POINT screen = point;
    ClientToScreen(Tree(), &screen);
    SetCursorPos(screen.x, screen.y);
    Pump();
    const LPARAM where = MAKELPARAM(point.x, point.y);
    PostMessageA(Tree(), WM_LBUTTONUP, 0, where);
    SendMessageA(Tree(), WM_LBUTTONDOWN, MK_LBUTTON, where);
    Pump();
}

POINT DeviceTreeDialogTest::TextPoint(HTREEITEM item) const
{
    // Scrolled into view first: a click must land on the item.
    SendMessageA(Tree(), TVM_ENSUREVISIBLE, 0, reinterpret_cast<LPARAM>(item));
    Pump();
    RECT rect{};
    std::memcpy(&rect, &item, sizeof item);   // TVM_GETITEMRECT takes the item in the rectangle
    SendMessageA(Tree(), TVM_GETITEMRECT, TRUE, reinterpret_cast<LPARAM>(&rect));
    return {rect.left + 4, (rect.top + rect.bottom) / 2};
}

void DeviceTreeDialogTest::ClickCheckBox(HTREEITEM item)
{
    POINT point = TextPoint(item);
    point.x -= 14;
    TVHITTESTINFO hit{};
    hit.pt = point;
    SendMessageA(Tree(), TVM_HITTEST, 0, reinterpret_cast<LPARAM>(&hit));
    ASSERT_EQ(hit.hItem, item);
    ASSERT_TRUE(hit.flags & TVHT_ONITEMSTATEICON) << hit.flags;
    ClickTree(point);
}

void DeviceTreeDialogTest::ClickExpander(HTREEITEM item)
{
    // Left of the check box, at the item's indentation: look for it.
    const POINT text = TextPoint(item);
    for (LONG x = text.x; x >= 0; --x) {
        TVHITTESTINFO hit{};
        hit.pt = {x, text.y};
        SendMessageA(Tree(), TVM_HITTEST, 0, reinterpret_cast<LPARAM>(&hit));
        if (hit.hItem == item && (hit.flags & TVHT_ONITEMBUTTON)) {
            ClickTree(hit.pt);
            return;
        }
    }
    ADD_FAILURE() << "no +/- button on the item";
}

dialogtest::ContextMenu DeviceTreeDialogTest::RightClick(HTREEITEM item, bool choose)
{
    const POINT point = TextPoint(item);
    POINT screen = point;
    ClientToScreen(Tree(), &screen);
    SetCursorPos(screen.x, screen.y);
    Pump();
    const dialogtest::ContextMenu seen = WatchContextMenu(choose, [&] {
        // The tree waits for the button to come up (or a drag) first.
        const LPARAM where = MAKELPARAM(point.x, point.y);
        PostMessageA(Tree(), WM_RBUTTONUP, 0, where);
        SendMessageA(Tree(), WM_RBUTTONDOWN, MK_RBUTTON, where);
    });
    Pump();  // the chosen command comes posted
    return seen;
}

dialogtest::ContextMenu DeviceTreeDialogTest::MenuKey(bool choose)
{
    const dialogtest::ContextMenu seen = WatchContextMenu(
        choose, [&] { SendMessageA(Tree(), WM_CONTEXTMENU, reinterpret_cast<WPARAM>(Tree()), -1); });
    Pump();
    return seen;
}

void DeviceTreeDialogTest::PressKey(HWND control, WPARAM key)
{
    SetFocus(control);
    PostMessageA(control, WM_KEYDOWN, key, 1);
    PostMessageA(control, WM_KEYUP, key, 0xC0000001);
    Pump();
}

void DeviceTreeDialogTest::Scroll(int id, int position, UINT message)
{
    SendMessageA(Control(id), TBM_SETPOS, TRUE, position);
    SendMessageA(Window(), message, MAKEWPARAM(TB_THUMBTRACK, position), reinterpret_cast<LPARAM>(Control(id)));
    Pump();
}

void DeviceTreeDialogTest::Choose(int id, int index)
{
    SendMessageA(Control(id), CB_SETCURSEL, static_cast<WPARAM>(index), 0);
    SendMessageA(Window(), WM_COMMAND, MAKEWPARAM(id, CBN_SELCHANGE), reinterpret_cast<LPARAM>(Control(id)));
    SendMessageA(Window(), WM_COMMAND, MAKEWPARAM(id, CBN_SELENDOK), reinterpret_cast<LPARAM>(Control(id)));
    Pump();
}

std::string DeviceTreeDialogTest::ControlText(int id) const
{
    char text[256] = {};
    GetWindowTextA(Control(id), text, sizeof text);
    return text;
}

std::wstring DeviceTreeDialogTest::StatusBarText() const
{
    wchar_t text[512] = {};
    SendMessageW(GetDlgItem(Window(), IDC_STATUS_BAR), SB_GETTEXTW, 0, reinterpret_cast<LPARAM>(text));
    return text;
}

void DeviceTreeDialogTest::SaveScreenshot(const std::string& name) const
{
    RedrawWindow(Window(), nullptr, nullptr, RDW_INVALIDATE | RDW_UPDATENOW | RDW_ALLCHILDREN);
    Pump();
    RECT frame;
    GetWindowRect(Window(), &frame);
    const int width = frame.right - frame.left;
    const int height = frame.bottom - frame.top;
    HDC screen = GetDC(nullptr);
    HDC memory = CreateCompatibleDC(screen);
    BITMAPINFO info{};
    info.bmiHeader.biSize = sizeof info.bmiHeader;
    info.bmiHeader.biWidth = width;
    info.bmiHeader.biHeight = height;
    info.bmiHeader.biPlanes = 1;
    info.bmiHeader.biBitCount = 24;
    void* bits = nullptr;
    HBITMAP bitmap = CreateDIBSection(screen, &info, DIB_RGB_COLORS, &bits, nullptr, 0);
    HGDIOBJ previous = SelectObject(memory, bitmap);
    BitBlt(memory, 0, 0, width, height, screen, frame.left, frame.top, SRCCOPY);
    SelectObject(memory, previous);
    const DWORD rowBytes = static_cast<DWORD>((width * 3 + 3) & ~3);
    const DWORD imageBytes = rowBytes * static_cast<DWORD>(height);
    BITMAPFILEHEADER header{};
    header.bfType = 0x4D42;
    header.bfOffBits = sizeof header + sizeof info.bmiHeader;
    header.bfSize = header.bfOffBits + imageBytes;
    std::string bytes(reinterpret_cast<const char*>(&header), sizeof header);
    bytes.append(reinterpret_cast<const char*>(&info.bmiHeader), sizeof info.bmiHeader);
    bytes.append(static_cast<const char*>(bits), imageBytes);
    char path[MAX_PATH] = {};
    GetModuleFileNameA(nullptr, path, MAX_PATH);
    std::string folder(path);
    folder.resize(folder.find_last_of('\\') + 1);
    WriteFileBytes(folder + name, bytes);
    DeleteObject(bitmap);
    DeleteDC(memory);
    ReleaseDC(nullptr, screen);
}
