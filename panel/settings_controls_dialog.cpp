// The dialog's settings controls: each handler hands the control's state to
// the settings editor, which changes the working tables, writes config.ini
// and signals the driver. GUI thread only.
//
// settings_file.h (POCO, winsock2.h) must come before windows.h.
#include "settings_file.h"

#include "panel_dialog.h"

#include "panel_resources.h"

namespace {

int SliderPosition(HWND slider)
{
    return static_cast<int>(SendMessageA(slider, TBM_GETPOS, 0, 0));
}

int ListSelection(HWND list)
{
    return static_cast<int>(SendMessageA(list, CB_GETCURSEL, 0, 0));
}

bool IsChecked(HWND tree, HTREEITEM item)
{
    const auto state = static_cast<UINT>(
        SendMessageA(tree, TVM_GETITEMSTATE, reinterpret_cast<WPARAM>(item), TVIS_STATEIMAGEMASK));
    return (state & TVIS_STATEIMAGEMASK) == INDEXTOSTATEIMAGEMASK(2);
}

}  // namespace

void CQuorvexDlg::OnTreeClick(const NMHDR*)
{
    if (!m_pEditor) {
        return;  // no settings were loaded: the panel is ending
    }
    HWND tree = Control(IDC_DEVICE_TREE);
    TVHITTESTINFO hit{};
    GetCursorPos(&hit.pt);
    ScreenToClient(tree, &hit.pt);
    SendMessageA(tree, TVM_HITTEST, 0, reinterpret_cast<LPARAM>(&hit));
    m_currentItem = hit.hItem;
    const PanelTreeItem* record = ItemRecord(hit.hItem);
    if (record && (hit.flags & TVHT_ONITEMSTATEICON)) {
        // The tree toggles the box itself once this notification returns.
        const bool wasChecked = IsChecked(tree, hit.hItem);
        SetChildrenCheck(hit.hItem, !wasChecked);
        const CheckBoxOutcome outcome =
            m_pEditor->ToggleCheckBox(*record, wasChecked, ListSelection(Control(IDC_CHANNEL_LIST)));
        if (outcome.channelList != CheckBoxOutcome::ChannelList::Unchanged) {
            EnableWindow(Control(IDC_CHANNEL_LIST), outcome.channelList == CheckBoxOutcome::ChannelList::Enable);
        }
        if (outcome.delayPosition) {
            SendMessageA(Control(IDC_DELAY_SLIDER), TBM_SETPOS, TRUE, *outcome.delayPosition);
        }
        if (outcome.clearParentCheck) {
            TVITEMA parent{};
            parent.mask = TVIF_STATE | TVIF_HANDLE;
            parent.hItem = reinterpret_cast<HTREEITEM>(
                SendMessageA(tree, TVM_GETNEXTITEM, TVGN_PARENT, reinterpret_cast<LPARAM>(hit.hItem)));
            parent.state = INDEXTOSTATEIMAGEMASK(1);
            parent.stateMask = TVIS_STATEIMAGEMASK;
            SendMessageA(tree, TVM_SETITEMA, 0, reinterpret_cast<LPARAM>(&parent));
        }
        PostMessageA(m_hWnd, kSyncChecksMessage, m_treeGeneration, reinterpret_cast<LPARAM>(hit.hItem));
    }
    ShowItemInfo(hit.hItem);
}

void CQuorvexDlg::SaveDeviceSettings()
{
    if (!m_pEditor) {
        return;  // no settings were loaded: the panel is ending
    }
    m_pEditor->SaveDeviceSettings();
}

void CQuorvexDlg::OnSampleRateChange()
{
    if (!m_pEditor) {
        return;  // no settings were loaded: the panel is ending
    }
    if (m_pEditor->SelectSampleRate(ListSelection(Control(IDC_SAMPLE_RATE_LIST)))) {
        RebuildDeviceTree();
    }
}

void CQuorvexDlg::OnChannelLinkChange()
{
    if (!m_pEditor) {
        return;  // no settings were loaded: the panel is ending
    }
    HWND tree = Control(IDC_DEVICE_TREE);
    auto* item = reinterpret_cast<HTREEITEM>(SendMessageA(tree, TVM_GETNEXTITEM, TVGN_CARET, 0));
    const PanelTreeItem* record = ItemRecord(item);
    if (!record) {
        return;
    }
    const std::optional<std::string> text =
        m_pEditor->SelectChannelLink(*record, ListSelection(Control(IDC_CHANNEL_LIST)));
    if (text) {
        TVITEMA change{};
        change.mask = TVIF_TEXT | TVIF_HANDLE;
        change.hItem = item;
        change.pszText = const_cast<char*>(text->c_str());
        SendMessageA(tree, TVM_SETITEMA, 0, reinterpret_cast<LPARAM>(&change));
    }
    PostMessageA(m_hWnd, kSyncChecksMessage, m_treeGeneration, reinterpret_cast<LPARAM>(item));
}

void CQuorvexDlg::OnBufferSliderThemeChanged(const NMHDR*)
{
    if (!m_pEditor) {
        return;  // no settings were loaded: the panel is ending
    }
    m_pEditor->SetBufferSize(SliderPosition(Control(IDC_BUFFER_SLIDER)));
}

void CQuorvexDlg::OnHScroll(UINT, UINT, HWND slider)
{
    if (!m_pEditor) {
        return;  // no settings were loaded: the panel is ending
    }
    // Every notification of the slider writes, the drag's included.
    if (slider == Control(IDC_BUFFER_SLIDER)) {
        m_pEditor->SetBufferSize(SliderPosition(slider));
    } else if (slider == Control(IDC_DELAY_SLIDER)) {
        if (const auto label = m_pEditor->SetOutputDelay(ItemRecord(m_currentItem), SliderPosition(slider))) {
            SetWindowTextA(Control(IDC_DELAY_VALUE), label->c_str());
        }
    }
}

void CQuorvexDlg::OnVScroll(UINT, UINT, HWND slider)
{
    if (!m_pEditor) {
        return;  // no settings were loaded: the panel is ending
    }
    if (slider == Control(IDC_OUTPUT_VOLUME)) {
        m_pEditor->SetVolume(SliderPosition(slider));
    }
}
