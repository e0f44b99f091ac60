// The dialog's device tree and side controls: a thin layer that shows what
// the tree model works out. GUI thread only.
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

#include <dbt.h>

#include <deque>

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

void SetCheck(HWND tree, HTREEITEM item, bool checked)
{
    TVITEMA change{};
    change.mask = TVIF_STATE | TVIF_HANDLE;
    change.hItem = item;
    change.state = CheckStateImage(checked);
    change.stateMask = TVIS_STATEIMAGEMASK;
    SendMessageA(tree, TVM_SETITEMA, 0, reinterpret_cast<LPARAM>(&change));
}

HTREEITEM NextItem(HWND tree, HTREEITEM item, UINT relation)
{
    return reinterpret_cast<HTREEITEM>(SendMessageA(tree, TVM_GETNEXTITEM, relation, reinterpret_cast<LPARAM>(item)));
}

}  // namespace

void CQuorvexDlg::InitControls()
{
    DriverSettings& settings = *GetSettingsFile().LoadSettings();
    m_pEditor = std::make_unique<DeviceSettingsEditor>(GetSettingsFile(), settings, SetNamedEvent);
    m_currentItem = nullptr;

    HWND rates = Control(IDC_SAMPLE_RATE_LIST);
    SendMessageA(rates, CB_RESETCONTENT, 0, 0);
    for (const std::string& rate : SampleRateTexts()) {
        SendMessageA(rates, CB_ADDSTRING, 0, reinterpret_cast<LPARAM>(rate.c_str()));
    }
    SendMessageA(rates, CB_SETCURSEL, static_cast<WPARAM>(SampleRateSelection(settings.sampleRate)), 0);

    using namespace SettingsControlRanges;
    HWND buffer = Control(IDC_BUFFER_SLIDER);
    SendMessageA(buffer, TBM_SETRANGE, FALSE, MAKELPARAM(kBufferMinimum, kBufferMaximum));
    SendMessageA(buffer, TBM_SETLINESIZE, 0, kBufferStep);
    SendMessageA(buffer, TBM_SETPAGESIZE, 0, kBufferStep);
    SendMessageA(buffer, TBM_SETPOS, TRUE, settings.blockFrames);

    HWND volume = Control(IDC_OUTPUT_VOLUME);
    SendMessageA(volume, TBM_SETRANGE, FALSE, MAKELPARAM(0, kVolumeMaximum));
    SendMessageA(volume, TBM_SETPOS, TRUE, VolumeSliderPosition(settings.volume));

    SendMessageA(Control(IDC_DELAY_SLIDER), TBM_SETRANGE, FALSE, MAKELPARAM(0, kDelayMaximum));

    // The input volume has no function: shown, but not pretending to work.
    EnableWindow(Control(IDC_INPUT_VOLUME), FALSE);

    RegisterDeviceNotifications();
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
    m_pSettings = GetSettingsFile().LoadSettings();
    m_currentItem = nullptr;
    m_pDevice->ScanRenderDevices();
    m_pDevice->ScanCaptureDevices();

    // Check boxes set before the style is given anew are not shown.
    HWND tree = Control(IDC_DEVICE_TREE);
    const LONG style = GetWindowLongA(tree, GWL_STYLE);
    SetWindowLongA(tree, GWL_STYLE, style & ~TVS_CHECKBOXES);
    SetWindowLongA(tree, GWL_STYLE, style | TVS_CHECKBOXES);
    SendMessageA(tree, TVM_DELETEITEM, 0, reinterpret_cast<LPARAM>(TVI_ROOT));
    m_treeItems.clear();
    ++m_treeGeneration;

    if (m_pDevice->Devices().empty()) {
        m_inMessageBox = true;
        ShowMessageBox(DeviceTreeTexts::kNoDevice, DeviceTreeTexts::kNoDeviceTitle, MB_OK);
        m_inMessageBox = false;
        if (m_ended) {
            return;  // closed while the box was up: the device set is gone
        }
    }
    const DeviceTreeLayout layout = BuildDeviceTree(m_pDevice->Devices(), *m_pSettings);
    HWND channels = Control(IDC_CHANNEL_LIST);
    SendMessageA(channels, CB_RESETCONTENT, 0, 0);
    for (const std::string& entry : layout.channelList) {
        SendMessageA(channels, CB_ADDSTRING, 0, reinterpret_cast<LPARAM>(entry.c_str()));
    }
    for (const DeviceTreeNode& device : layout.devices) {
        InsertTreeNode(tree, TVI_ROOT, device);
    }
    ShowItemInfo(NextItem(tree, nullptr, TVGN_FIRSTVISIBLE));
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
        return;
    }
    const ItemInfo info = DescribeItem(*record, *m_pSettings);
    SendMessageA(Control(IDC_DELAY_SLIDER), TBM_SETPOS, TRUE, info.delayPosition);
    SetWindowTextA(Control(IDC_DELAY_VALUE), info.delayText.c_str());
    SetWindowTextA(Control(IDC_RATE_RANGE), info.rateRange.c_str());
    SetWindowTextA(Control(IDC_BITS_RANGE), info.bitsRange.c_str());
    SetWindowTextA(Control(IDC_CHANNEL_GROUP), info.caption.c_str());
    ShowDelayControls(info.showDelayControls);
    HWND channels = Control(IDC_CHANNEL_LIST);
    EnableWindow(channels, info.showChannelList);
    ShowWindow(channels, info.showChannelList ? SW_SHOW : SW_HIDE);
    ShowWindow(Control(IDC_CHANNEL_LABEL), info.showChannelList ? SW_SHOW : SW_HIDE);
    if (info.selectChannel) {
        SendMessageA(channels, CB_SETCURSEL, static_cast<WPARAM>(info.channelSelection), 0);
    }
}

void CQuorvexDlg::ShowDelayControls(bool show)
{
    for (int id : {IDC_DELAY_LABEL, IDC_DELAY_UNIT, IDC_DELAY_TIP, IDC_DELAY_SLIDER, IDC_DELAY_VALUE}) {
        ShowWindow(Control(id), show ? SW_SHOWNORMAL : SW_HIDE);
    }
}

void CQuorvexDlg::SetChildrenCheck(HTREEITEM item, bool checked)
{
    // Breadth first: each queued item starts a row of siblings.
    HWND tree = Control(IDC_DEVICE_TREE);
    std::deque<HTREEITEM> rows;
    if (HTREEITEM child = NextItem(tree, item, TVGN_CHILD)) {
        rows.push_back(child);
    }
    while (!rows.empty()) {
        for (HTREEITEM sibling = rows.front(); sibling; sibling = NextItem(tree, sibling, TVGN_NEXT)) {
            SetCheck(tree, sibling, checked);
            if (HTREEITEM child = NextItem(tree, sibling, TVGN_CHILD)) {
                rows.push_back(child);
            }
        }
        rows.pop_front();
    }
}

void CQuorvexDlg::SyncDeviceChecks(HTREEITEM item)
{
    HWND tree = Control(IDC_DEVICE_TREE);
    HTREEITEM device = item;
    for (HTREEITEM parent = NextItem(tree, device, TVGN_PARENT); parent; parent = NextItem(tree, device, TVGN_PARENT)) {
        device = parent;
    }
    std::deque<HTREEITEM> pending{device};
    while (!pending.empty()) {
        HTREEITEM current = pending.front();
        pending.pop_front();
        if (const PanelTreeItem* record = ItemRecord(current)) {
            SetCheck(tree, current, IsItemChecked(*record, *m_pSettings));
        }
        for (HTREEITEM child = NextItem(tree, current, TVGN_CHILD); child; child = NextItem(tree, child, TVGN_NEXT)) {
            pending.push_back(child);
        }
    }
}
