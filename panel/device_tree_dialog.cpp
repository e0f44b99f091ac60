// The dialog's device tree and device pane: a thin layer that shows what the
// tree model works out, after every change as after a rebuild. GUI thread
// only.
//
// settings_file.h (POCO, winsock2.h) must come before windows.h.
#include "settings_file.h"

#include "panel_dialog.h"

#include "device_catalogue.h"
#include "debug_trace.h"
#include "device_tree_info.h"
#include "device_tree_model.h"
#include "device_tree_texts.h"
#include "message_box.h"
#include "panel_resources.h"
#include "settings_controls_ranges.h"
#include "settings_keys.h"

#include <dbt.h>

#include <algorithm>
#include <cstring>
#include <deque>
#include <optional>

namespace {

// The device-interface classes whose arrivals and removals rebuild the tree.
const GUID kNotificationClasses[] = {
    {0xA5DCBF10, 0x6530, 0x11D2, {0x90, 0x1F, 0x00, 0xC0, 0x4F, 0xB9, 0x51, 0xED}},  // USB devices
    {0x53F56307, 0xB6BF, 0x11D0, {0x94, 0xF2, 0x00, 0xA0, 0xC9, 0x1E, 0xFB, 0x8B}},  // disks
    {0x4D1E55B2, 0xF16F, 0x11CF, {0x88, 0xCB, 0x00, 0x11, 0x11, 0x00, 0x00, 0x30}},  // HID
    {0xAD498944, 0x762F, 0x11D0, {0x8D, 0xCB, 0x00, 0xC0, 0x4F, 0xC3, 0x35, 0x8C}},  // NDIS LAN
};

// The check box of a tree item: state image 1 clear, 2 checked.
UINT CheckStateImage(bool checked)
{
    return INDEXTOSTATEIMAGEMASK(checked ? 2 : 1);
}

HTREEITEM NextItem(HWND tree, HTREEITEM item, UINT relation)
{
    return reinterpret_cast<HTREEITEM>(SendMessageA(tree, TVM_GETNEXTITEM, relation, reinterpret_cast<LPARAM>(item)));
}

// The first item of the tree, breadth first, for which `found` is true, or
// null.
template <typename Found>
HTREEITEM FindItem(HWND tree, Found found)
{
    std::deque<HTREEITEM> pending;
    for (HTREEITEM root = NextItem(tree, nullptr, TVGN_ROOT); root; root = NextItem(tree, root, TVGN_NEXT)) {
        pending.push_back(root);
    }
    while (!pending.empty()) {
        HTREEITEM item = pending.front();
        pending.pop_front();
        if (found(item)) {
            return item;
        }
        for (HTREEITEM child = NextItem(tree, item, TVGN_CHILD); child; child = NextItem(tree, child, TVGN_NEXT)) {
            pending.push_back(child);
        }
    }
    return nullptr;
}

bool IsChecked(HWND tree, HTREEITEM item)
{
    const auto state = static_cast<UINT>(
        SendMessageA(tree, TVM_GETITEMSTATE, reinterpret_cast<WPARAM>(item), TVIS_STATEIMAGEMASK));
    return (state & TVIS_STATEIMAGEMASK) == INDEXTOSTATEIMAGEMASK(2);
}

// The same tree item in two builds of the tree.
bool SameItem(const PanelTreeItem& a, const PanelTreeItem& b)
{
    return a.name == b.name && a.kind == b.kind && a.isChannel == b.isChannel && a.channel == b.channel;
}

}  // namespace

void CQuorvexDlg::InitControls()
{
    DriverSettings& settings = *GetSettingsFile().LoadSettings();
    m_pEditor = std::make_unique<DeviceSettingsEditor>(GetSettingsFile(), settings, SetNamedEvent);

    HWND rates = Control(IDC_SAMPLE_RATE_LIST);
    SendMessageA(rates, CB_RESETCONTENT, 0, 0);
    for (const std::string& rate : SampleRateTexts()) {
        SendMessageA(rates, CB_ADDSTRING, 0, reinterpret_cast<LPARAM>(rate.c_str()));
    }
    SendMessageA(rates, CB_SETCURSEL, static_cast<WPARAM>(SampleRateSelection(settings.sampleRate)), 0);

    HWND formats = Control(IDC_SAMPLE_FORMAT_LIST);
    SendMessageA(formats, CB_RESETCONTENT, 0, 0);
    for (const std::string& format : SampleFormatTexts()) {
        // GBK texts, whatever the ANSI code page of the machine.
        wchar_t text[64] = {};
        MultiByteToWideChar(936, 0, format.c_str(), -1, text, 63);
        SendMessageW(formats, CB_ADDSTRING, 0, reinterpret_cast<LPARAM>(text));
    }
    const int format =
        SampleFormatSelection(settings.bitsPerSample, GetSettingsFile().ReadDefaultText(SettingsKeys::kSampleFormat, "int"));
    SendMessageA(formats, CB_SETCURSEL, static_cast<WPARAM>(format), 0);

    using namespace SettingsControlRanges;
    HWND buffer = Control(IDC_BUFFER_SLIDER);
    SendMessageA(buffer, TBM_SETRANGE, FALSE, MAKELPARAM(0, kBufferPositions - 1));
    SendMessageA(buffer, TBM_SETLINESIZE, 0, 1);
    SendMessageA(buffer, TBM_SETPAGESIZE, 0, 1);
    SendMessageA(buffer, TBM_SETPOS, TRUE, BufferSliderPosition(settings.blockFrames));
    m_bufferFrames = settings.blockFrames;
    SetWindowTextA(Control(IDC_BUFFER_TEXT), BufferSizeText(m_bufferFrames, settings.sampleRate).c_str());

    HWND volume = Control(IDC_OUTPUT_VOLUME);
    SendMessageA(volume, TBM_SETRANGE, FALSE, MAKELPARAM(0, kVolumeMaximum));
    SendMessageA(volume, TBM_SETLINESIZE, 0, 1);
    SendMessageA(volume, TBM_SETPAGESIZE, 0, 10);
    SendMessageA(volume, TBM_SETPOS, TRUE, VolumeSliderPosition(settings.volume));

    CheckDlgButton(m_hWnd, IDC_DRIFT_COMPENSATION, settings.driftCompensation ? BST_CHECKED : BST_UNCHECKED);

    HWND delay = Control(IDC_DELAY_SLIDER);
    SendMessageA(delay, TBM_SETRANGE, FALSE, MAKELPARAM(0, kDelayMaximum));
    SendMessageA(delay, TBM_SETLINESIZE, 0, 1);
    SendMessageA(delay, TBM_SETPAGESIZE, 0, 2);

    // The input volume has no function: shown, but not pretending to work;
    // its tool tip says why.
    EnableWindow(Control(IDC_INPUT_VOLUME), FALSE);
    CreateToolTips();
    SetTabOrder();

    RegisterDeviceNotifications();
}

void CQuorvexDlg::CreateToolTips()
{
    m_hToolTip = CreateWindowExW(WS_EX_TOPMOST, TOOLTIPS_CLASSW, nullptr, WS_POPUP | TTS_ALWAYSTIP | TTS_NOPREFIX,
                                 CW_USEDEFAULT, CW_USEDEFAULT, CW_USEDEFAULT, CW_USEDEFAULT, m_hWnd, nullptr,
                                 m_hInstance, nullptr);
    if (!m_hToolTip) {
        DebugTrace("CQuorvexDlg::CreateToolTips: error %lu\n", GetLastError());
        return;
    }
    // The sliders' texts come when the tip is shown (TTN_GETDISPINFO): the
    // volume in dB, the buffer size with its duration.
    for (int id : {IDC_OUTPUT_VOLUME, IDC_BUFFER_SLIDER}) {
        TTTOOLINFOW tool{};
        tool.cbSize = sizeof tool;
        tool.uFlags = TTF_IDISHWND | TTF_SUBCLASS;
        tool.hwnd = m_hWnd;
        tool.uId = reinterpret_cast<UINT_PTR>(Control(id));
        tool.lpszText = LPSTR_TEXTCALLBACKW;
        SendMessageW(m_hToolTip, TTM_ADDTOOLW, 0, reinterpret_cast<LPARAM>(&tool));
    }
    // A disabled control gets no mouse messages: the tip of the input volume
    // belongs to a rectangle of the dialog.
    const wchar_t* reason = nullptr;
    const int length = LoadStringW(m_hInstance, IDS_INPUT_VOLUME_TIP, reinterpret_cast<LPWSTR>(&reason), 0);
    m_inputVolumeTip.assign(reason ? reason : L"", reason ? static_cast<size_t>(length) : 0);
    TTTOOLINFOW tool{};
    tool.cbSize = sizeof tool;
    tool.uFlags = TTF_SUBCLASS;
    tool.hwnd = m_hWnd;
    tool.uId = IDC_INPUT_VOLUME;
    GetWindowRect(Control(IDC_INPUT_VOLUME), &tool.rect);
    MapWindowPoints(nullptr, m_hWnd, reinterpret_cast<POINT*>(&tool.rect), 2);
    tool.lpszText = m_inputVolumeTip.data();
    SendMessageW(m_hToolTip, TTM_ADDTOOLW, 0, reinterpret_cast<LPARAM>(&tool));
}

void CQuorvexDlg::SetTabOrder()
{
    // Tab follows the layout: the tree, the device pane, the ASIO settings,
    // the volume sliders, the web button. The template keeps its order; only
    // these controls move in the order the dialog manager walks.
    HWND previous = Control(IDC_DEVICE_TREE);
    for (int id : {IDC_CHANNEL_LIST, IDC_DELAY_SLIDER, IDC_SAMPLE_RATE_LIST, IDC_SAMPLE_FORMAT_LIST,
                   IDC_DRIFT_COMPENSATION, IDC_BUFFER_SLIDER, IDC_OUTPUT_VOLUME, IDC_INPUT_VOLUME, IDC_WEB_BUTTON}) {
        HWND control = Control(id);
        SetWindowPos(control, previous, 0, 0, 0, 0, SWP_NOMOVE | SWP_NOSIZE | SWP_NOACTIVATE);
        previous = control;
    }
}

void CQuorvexDlg::RegisterDeviceNotifications()
{
    for (const GUID& deviceClass : kNotificationClasses) {
        DEV_BROADCAST_DEVICEINTERFACE_A filter{};
        filter.dbcc_size = sizeof filter;
        filter.dbcc_devicetype = DBT_DEVTYP_DEVICEINTERFACE;
        filter.dbcc_classguid = deviceClass;
        if (!RegisterDeviceNotificationA(m_hWnd, &filter, DEVICE_NOTIFY_WINDOW_HANDLE)) {
            DebugTrace("CQuorvexDlg::RegisterDeviceNotifications: error %lu\n", GetLastError());
            ShowMessageBox(DeviceTreeTexts::kRegistrationFailed, DeviceTreeTexts::kRegistrationFailedTitle,
                           MB_ICONERROR);
            return;
        }
    }
}

LRESULT CQuorvexDlg::OnDeviceChange(WPARAM eventType, LPARAM eventData)
{
    if ((eventType == DBT_DEVICEARRIVAL || eventType == DBT_DEVICEREMOVECOMPLETE) && eventData != 0) {
        RebuildDeviceTree();
    }
    return 0;
}

void CQuorvexDlg::RebuildDeviceTree()
{
    if (!m_pDevice) {
        return;  // the dialog is ending: its device set is gone
    }
    HWND tree = Control(IDC_DEVICE_TREE);
    // The highlight stays on the same item when the new tree has it.
    std::optional<PanelTreeItem> highlighted;
    if (const PanelTreeItem* record = ItemRecord(GetCurrentItem())) {
        highlighted = *record;
    }
    m_pSettings = GetSettingsFile().LoadSettings();
    m_pDevice->ScanRenderDevices();
    m_pDevice->ScanCaptureDevices();

    // Check boxes set before the style is given anew are not shown.
    m_rebuilding = true;
    const LONG style = GetWindowLongA(tree, GWL_STYLE);
    SetWindowLongA(tree, GWL_STYLE, style & ~TVS_CHECKBOXES);
    SetWindowLongA(tree, GWL_STYLE, style | TVS_CHECKBOXES);
    SendMessageA(tree, TVM_DELETEITEM, 0, reinterpret_cast<LPARAM>(TVI_ROOT));
    m_treeItems.clear();

    const DeviceTreeLayout layout = BuildDeviceTree(m_pDevice->Devices(), *m_pSettings);
    m_outputChannels = layout.outputChannels;
    m_anyTicked = layout.anyTicked;
    FillChannelList(layout.channelList);
    HTREEITEM select = nullptr;
    for (const DeviceTreeNode& device : layout.devices) {
        HTREEITEM item = InsertTreeNode(tree, TVI_ROOT, device);
        select = select ? select : item;
    }
    if (highlighted) {
        // The same device, kind and channel in the new tree.
        if (HTREEITEM same = FindItem(tree, [&](HTREEITEM item) {
                const PanelTreeItem* record = ItemRecord(item);
                return record && SameItem(*record, *highlighted);
            })) {
            select = same;
        }
    }
    SendMessageA(tree, TVM_SELECTITEM, TVGN_CARET, reinterpret_cast<LPARAM>(select));
    m_rebuilding = false;
    ShowItemInfo(GetCurrentItem());
    UpdateStatusBar();

    if (m_pDevice->Devices().empty()) {
        // The message comes with the window: a hidden panel (started for a
        // host) shows it when the user opens the window.
        m_noDevicePending = true;
        if (IsWindowVisible(m_hWnd)) {
            ShowNoDeviceMessage();
        }
    } else {
        m_noDevicePending = false;
    }
}

void CQuorvexDlg::ShowNoDeviceMessage()
{
    m_noDevicePending = false;
    m_inMessageBox = true;
    ShowMessageBox(DeviceTreeTexts::kNoDevice, DeviceTreeTexts::kNoDeviceTitle, MB_OK);
    m_inMessageBox = false;
}

void CQuorvexDlg::RefreshTree()
{
    if (!m_pDevice || !m_pSettings) {
        return;
    }
    const DeviceTreeLayout layout = BuildDeviceTree(m_pDevice->Devices(), *m_pSettings);
    m_outputChannels = layout.outputChannels;
    m_anyTicked = layout.anyTicked;
    FillChannelList(layout.channelList);
    UpdateTreeNodes(Control(IDC_DEVICE_TREE), TVI_ROOT, layout.devices);
    ShowItemInfo(GetCurrentItem());
    UpdateStatusBar();
}

void CQuorvexDlg::UpdateTreeNodes(HWND tree, HTREEITEM parent, const std::vector<DeviceTreeNode>& nodes)
{
    std::vector<HTREEITEM> items;
    HTREEITEM first = parent == TVI_ROOT ? NextItem(tree, nullptr, TVGN_ROOT) : NextItem(tree, parent, TVGN_CHILD);
    for (HTREEITEM item = first; item; item = NextItem(tree, item, TVGN_NEXT)) {
        items.push_back(item);
    }
    // The same items in the same order, or all of them anew: only the
    // recording channels of a device come and go, with its "in" entry.
    bool same = items.size() == nodes.size();
    for (size_t i = 0; same && i < items.size(); ++i) {
        const PanelTreeItem* record = ItemRecord(items[i]);
        same = record && SameItem(*record, nodes[i].item);
    }
    if (!same) {
        for (HTREEITEM item : items) {
            DeleteTreeItem(tree, item);
        }
        for (const DeviceTreeNode& node : nodes) {
            InsertTreeNode(tree, parent, node);
        }
        return;
    }
    for (size_t i = 0; i < items.size(); ++i) {
        TVITEMA change{};
        change.mask = TVIF_TEXT | TVIF_STATE | TVIF_HANDLE;
        change.hItem = items[i];
        change.pszText = const_cast<char*>(nodes[i].text.c_str());
        change.state = CheckStateImage(nodes[i].checked);
        change.stateMask = TVIS_STATEIMAGEMASK;
        SendMessageA(tree, TVM_SETITEMA, 0, reinterpret_cast<LPARAM>(&change));
        UpdateTreeNodes(tree, items[i], nodes[i].children);
    }
}

void CQuorvexDlg::DeleteTreeItem(HWND tree, HTREEITEM item)
{
    // The records of the item and of everything below it go with them.
    std::vector<const PanelTreeItem*> records;
    std::deque<HTREEITEM> pending{item};
    while (!pending.empty()) {
        HTREEITEM current = pending.front();
        pending.pop_front();
        records.push_back(ItemRecord(current));
        for (HTREEITEM child = NextItem(tree, current, TVGN_CHILD); child; child = NextItem(tree, child, TVGN_NEXT)) {
            pending.push_back(child);
        }
    }
    SendMessageA(tree, TVM_DELETEITEM, 0, reinterpret_cast<LPARAM>(item));
    m_treeItems.erase(std::remove_if(m_treeItems.begin(), m_treeItems.end(),
                                     [&records](const std::unique_ptr<PanelTreeItem>& owned) {
                                         return std::find(records.begin(), records.end(), owned.get()) !=
                                                records.end();
                                     }),
                      m_treeItems.end());
}

void CQuorvexDlg::FillChannelList(const std::vector<std::string>& entries)
{
    HWND channels = Control(IDC_CHANNEL_LIST);
    SendMessageA(channels, CB_RESETCONTENT, 0, 0);
    for (const std::string& entry : entries) {
        SendMessageA(channels, CB_ADDSTRING, 0, reinterpret_cast<LPARAM>(entry.c_str()));
    }
}

HTREEITEM CQuorvexDlg::GetCurrentItem() const
{
    return NextItem(Control(IDC_DEVICE_TREE), nullptr, TVGN_CARET);
}

HTREEITEM CQuorvexDlg::InsertTreeNode(HWND tree, HTREEITEM parent, const DeviceTreeNode& node)
{
    m_treeItems.push_back(std::make_unique<PanelTreeItem>(node.item));
    TVINSERTSTRUCTA insert{};
    insert.hParent = parent;
    insert.hInsertAfter = TVI_LAST;
    insert.item.mask = TVIF_TEXT | TVIF_PARAM | TVIF_STATE;
    insert.item.pszText = const_cast<char*>(node.text.c_str());
    insert.item.lParam = reinterpret_cast<LPARAM>(m_treeItems.back().get());
    insert.item.state = CheckStateImage(node.checked);
    insert.item.stateMask = TVIS_STATEIMAGEMASK;
    auto* item = reinterpret_cast<HTREEITEM>(SendMessageA(tree, TVM_INSERTITEMA, 0, reinterpret_cast<LPARAM>(&insert)));
    for (const DeviceTreeNode& child : node.children) {
        InsertTreeNode(tree, item, child);
    }
    return item;
}

const PanelTreeItem* CQuorvexDlg::ItemRecord(HTREEITEM item) const
{
    if (!item) {
        return nullptr;
    }
    TVITEMA query{};
    query.mask = TVIF_PARAM | TVIF_HANDLE;
    query.hItem = item;
    if (!SendMessageA(Control(IDC_DEVICE_TREE), TVM_GETITEMA, 0, reinterpret_cast<LPARAM>(&query))) {
        return nullptr;
    }
    return reinterpret_cast<const PanelTreeItem*>(query.lParam);
}

void CQuorvexDlg::ShowItemInfo(HTREEITEM item)
{
    const PanelTreeItem* record = ItemRecord(item);
    if (!record || !m_pSettings) {
        // Nothing highlighted (an empty tree): the pane shows no device and
        // offers no control that would act on none.
        wchar_t caption[32] = {};
        MultiByteToWideChar(936, 0, DeviceTreeTexts::kChannelGroup, -1, caption, 31);
        SetWindowTextW(Control(IDC_CHANNEL_GROUP), caption);
        SetWindowTextA(Control(IDC_RATE_RANGE), "");
        SetWindowTextA(Control(IDC_BITS_RANGE), "");
        ShowDelayControls(false);
        ShowWindow(Control(IDC_CHANNEL_LIST), SW_HIDE);
        ShowWindow(Control(IDC_CHANNEL_LABEL), SW_HIDE);
        if (!m_itemNotice.empty()) {
            m_itemNotice.clear();
            UpdateStatusBar();
        }
        return;
    }
    const ItemInfo info = DescribeItem(*record, *m_pSettings, m_outputChannels);
    SendMessageA(Control(IDC_DELAY_SLIDER), TBM_SETPOS, TRUE, info.delayPosition);
    SetWindowTextA(Control(IDC_DELAY_VALUE), info.delayText.c_str());
    SetWindowTextA(Control(IDC_RATE_RANGE), info.rateRange.c_str());
    SetWindowTextA(Control(IDC_BITS_RANGE), info.bitsRange.c_str());
    SetWindowTextA(Control(IDC_CHANNEL_GROUP), info.caption.c_str());
    ShowDelayControls(info.showDelayControls);
    EnableWindow(Control(IDC_DELAY_SLIDER), info.enableDelay);
    HWND channels = Control(IDC_CHANNEL_LIST);
    EnableWindow(channels, info.showChannelList);
    ShowWindow(channels, info.showChannelList ? SW_SHOW : SW_HIDE);
    ShowWindow(Control(IDC_CHANNEL_LABEL), info.showChannelList ? SW_SHOW : SW_HIDE);
    if (info.showChannelList) {
        SendMessageA(channels, CB_SETCURSEL, static_cast<WPARAM>(info.channelSelection), 0);
    }
    if (info.notice != m_itemNotice) {
        m_itemNotice = info.notice;
        UpdateStatusBar();
    }
}

void CQuorvexDlg::ShowDelayControls(bool show)
{
    for (int id : {IDC_DELAY_LABEL, IDC_DELAY_UNIT, IDC_DELAY_TIP, IDC_DELAY_SLIDER, IDC_DELAY_VALUE}) {
        ShowWindow(Control(id), show ? SW_SHOWNORMAL : SW_HIDE);
    }
}

void CQuorvexDlg::ApplyCheckBoxChanges()
{
    if (!m_pEditor || !m_pSettings) {
        return;
    }
    HWND tree = Control(IDC_DEVICE_TREE);
    // One user action changes one box; the first that differs is it.
    const HTREEITEM changed = FindItem(tree, [&](HTREEITEM item) {
        const PanelTreeItem* record = ItemRecord(item);
        return record && IsChecked(tree, item) != IsItemChecked(*record, *m_pSettings);
    });
    if (changed) {
        const PanelTreeItem* record = ItemRecord(changed);
        m_pEditor->ToggleCheckBox(*record, IsItemChecked(*record, *m_pSettings));
    }
    // Every box as the settings now give it: the device's other boxes follow,
    // and a box the settings cannot follow springs back.
    RefreshTree();
}

HMENU CQuorvexDlg::LoadDeviceMenu() const
{
    return LoadMenuW(m_hInstance, MAKEINTRESOURCEW(IDR_DEVICE_MENU));
}

void CQuorvexDlg::OnTreeContextMenu(LPARAM screenPoint)
{
    if (!m_pDevice || !m_pSettings) {
        return;  // the dialog is ending
    }
    HWND tree = Control(IDC_DEVICE_TREE);
    HTREEITEM item = GetCurrentItem();
    POINT where{static_cast<short>(LOWORD(screenPoint)), static_cast<short>(HIWORD(screenPoint))};
    if (where.x == -1 && where.y == -1) {
        // From the keyboard: below the highlighted item.
        RECT rect{};
        std::memcpy(&rect, &item, sizeof item);  // TVM_GETITEMRECT takes the item in the rectangle
        if (!item || !SendMessageA(tree, TVM_GETITEMRECT, TRUE, reinterpret_cast<LPARAM>(&rect))) {
            return;
        }
        where = {rect.left, rect.bottom};
        ClientToScreen(tree, &where);
    } else {
        // The item under the mouse becomes the highlighted one: the pane
        // shows it, and the command acts on it.
        TVHITTESTINFO hit{};
        hit.pt = where;
        ScreenToClient(tree, &hit.pt);
        item = reinterpret_cast<HTREEITEM>(SendMessageA(tree, TVM_HITTEST, 0, reinterpret_cast<LPARAM>(&hit)));
        if (!item) {
            return;
        }
        SendMessageA(tree, TVM_SELECTITEM, TVGN_CARET, reinterpret_cast<LPARAM>(item));
    }
    const PanelTreeItem* record = ItemRecord(item);
    HMENU menu = record ? LoadDeviceMenu() : nullptr;
    if (!menu) {
        return;
    }
    HMENU popup = GetSubMenu(menu, 0);
    const bool opens = OpensDevice(record->name, record->device, *m_pSettings);
    EnableMenuItem(popup, IDM_SET_CLOCK_MASTER, MF_BYCOMMAND | (opens ? MF_ENABLED : MF_GRAYED));
    const bool named = m_pSettings->clockMaster == TrimSpaces(record->name);
    CheckMenuItem(popup, IDM_SET_CLOCK_MASTER, MF_BYCOMMAND | (named ? MF_CHECKED : MF_UNCHECKED));
    // The command comes back as WM_COMMAND once the menu has closed.
    TrackPopupMenu(popup, TPM_LEFTALIGN | TPM_RIGHTBUTTON, where.x, where.y, 0, m_hWnd, nullptr);
    DestroyMenu(menu);
}

void CQuorvexDlg::OnSetClockMaster()
{
    if (!m_pEditor) {
        return;  // no settings were loaded: the panel is ending
    }
    const PanelTreeItem* record = ItemRecord(GetCurrentItem());
    if (record && m_pEditor->ToggleClockMaster(*record)) {
        RefreshTree();
    }
}

void CQuorvexDlg::UpdateStatusBar()
{
    if (m_hStatusBar) {
        const std::wstring text = StatusText();
        SendMessageW(m_hStatusBar, SB_SETTEXTW, 0, reinterpret_cast<LPARAM>(text.c_str()));
    }
}

std::wstring CQuorvexDlg::StatusText() const
{
    auto wide = [](const std::string& gbk) {
        wchar_t text[512] = {};
        MultiByteToWideChar(936, 0, gbk.c_str(), -1, text, 511);
        return std::wstring(text);
    };
    // What to do first comes first; then what the highlighted item needs.
    if (!m_anyTicked) {
        return wide(DeviceTreeTexts::kTickDevicesHint);
    }
    if (!m_itemNotice.empty()) {
        return wide(m_itemNotice);
    }
    const wchar_t* about = nullptr;
    const int length = LoadStringW(m_hInstance, IDS_ABOUT_TEXT, reinterpret_cast<LPWSTR>(&about), 0);
    return std::wstring(about ? about : L"", about ? static_cast<size_t>(length) : 0);
}
