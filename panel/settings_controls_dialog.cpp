// The dialog's settings controls: each handler hands the control's state to
// the settings editor, which changes the working tables, writes config.ini
// and signals the driver; the tree and the device pane then show the
// settings as they are. GUI thread only.
//
// settings_file.h (POCO, winsock2.h) must come before windows.h.
#include "settings_file.h"

#include "panel_dialog.h"

#include "panel_resources.h"
#include "settings_controls_ranges.h"
#include "settings_keys.h"

namespace {

int SliderPosition(HWND slider)
{
    return static_cast<int>(SendMessageA(slider, TBM_GETPOS, 0, 0));
}

int ListSelection(HWND list)
{
    return static_cast<int>(SendMessageA(list, CB_GETCURSEL, 0, 0));
}

// A list's choice counts once it is made: the list closes on an entry, or
// moves while closed (arrow keys on the closed list). While it is open the
// keyboard only browses, and Escape takes the browsing back.
bool IsCommit(HWND list, UINT code)
{
    return code == CBN_SELENDOK || (code == CBN_SELCHANGE && !SendMessageA(list, CB_GETDROPPEDSTATE, 0, 0));
}

void SetTipText(NMTTDISPINFOW* tip, const std::string& text)
{
    MultiByteToWideChar(936, 0, text.c_str(), -1, tip->szText, static_cast<int>(sizeof tip->szText / sizeof(wchar_t)));
    tip->lpszText = tip->szText;
    tip->hinst = nullptr;
}

}  // namespace

INT_PTR CQuorvexDlg::OnNotify(const NMHDR* notification)
{
    if (notification->idFrom == IDC_DEVICE_TREE) {
        switch (notification->code) {
        case NM_CLICK:
        case NM_DBLCLK:
            // The tree changes the box once this notification has returned.
            PostMessageW(m_hWnd, kApplyChecksMessage, 0, 0);
            break;
        case TVN_KEYDOWN:
            if (reinterpret_cast<const NMTVKEYDOWN*>(notification)->wVKey == VK_SPACE) {
                PostMessageW(m_hWnd, kApplyChecksMessage, 0, 0);
            }
            break;
        case TVN_SELCHANGEDA:
        case TVN_SELCHANGEDW:
            // The pane follows the highlight, by mouse or keyboard.
            if (!m_rebuilding) {
                ShowItemInfo(reinterpret_cast<const NMTREEVIEWW*>(notification)->itemNew.hItem);
            }
            break;
        default:
            break;
        }
        return FALSE;
    }
    if (notification->idFrom == IDC_BUFFER_SLIDER && notification->code == NM_THEMECHANGED) {
        OnBufferSliderThemeChanged(notification);
        return FALSE;
    }
    if (notification->code == TTN_GETDISPINFOW && m_hToolTip && notification->hwndFrom == m_hToolTip) {
        auto* tip = reinterpret_cast<NMTTDISPINFOW*>(const_cast<NMHDR*>(notification));
        const auto slider = reinterpret_cast<HWND>(notification->idFrom);
        if (slider == Control(IDC_OUTPUT_VOLUME)) {
            SetTipText(tip, VolumeDecibelText(SliderPosition(slider)));
        } else if (slider == Control(IDC_BUFFER_SLIDER) && m_pSettings) {
            SetTipText(tip, BufferSizeText(m_bufferFrames, m_pSettings->sampleRate));
        }
        return FALSE;
    }
    return FALSE;
}

void CQuorvexDlg::SaveDeviceSettings()
{
    if (!m_pEditor) {
        return;  // no settings were loaded: the panel is ending
    }
    m_pEditor->SaveDeviceSettings();
}

void CQuorvexDlg::OnSampleRateList(UINT code)
{
    if (!m_pEditor || !m_pSettings) {
        return;  // no settings were loaded: the panel is ending
    }
    HWND list = Control(IDC_SAMPLE_RATE_LIST);
    if (code == CBN_SELENDCANCEL) {
        SendMessageA(list, CB_SETCURSEL, static_cast<WPARAM>(SampleRateSelection(m_pSettings->sampleRate)), 0);
        return;
    }
    const int selection = ListSelection(list);
    if (!IsCommit(list, code) || selection == SampleRateSelection(m_pSettings->sampleRate)) {
        return;
    }
    if (m_pEditor->SelectSampleRate(selection)) {
        RebuildDeviceTree();
        SetWindowTextA(Control(IDC_BUFFER_TEXT), BufferSizeText(m_bufferFrames, m_pSettings->sampleRate).c_str());
    }
}

void CQuorvexDlg::OnSampleFormatList(UINT code)
{
    if (!m_pEditor || !m_pSettings) {
        return;  // no settings were loaded: the panel is ending
    }
    HWND list = Control(IDC_SAMPLE_FORMAT_LIST);
    const int stored = SampleFormatSelection(
        m_pSettings->bitsPerSample, GetSettingsFile().ReadDefaultText(SettingsKeys::kSampleFormat, "int"));
    if (code == CBN_SELENDCANCEL) {
        SendMessageA(list, CB_SETCURSEL, static_cast<WPARAM>(stored), 0);
        return;
    }
    const int selection = ListSelection(list);
    if (IsCommit(list, code) && selection != stored) {
        m_pEditor->SelectSampleFormat(selection);
    }
}

void CQuorvexDlg::OnChannelList(UINT code)
{
    if (!m_pEditor) {
        return;  // no settings were loaded: the panel is ending
    }
    const PanelTreeItem* record = ItemRecord(GetCurrentItem());
    if (!record) {
        return;
    }
    HWND list = Control(IDC_CHANNEL_LIST);
    if (code == CBN_SELENDCANCEL) {
        ShowItemInfo(GetCurrentItem());  // back to the link the channel has
        return;
    }
    if (IsCommit(list, code) && m_pEditor->SelectChannelLink(*record, ListSelection(list))) {
        RefreshTree();
    }
}

void CQuorvexDlg::OnDriftCompensation()
{
    if (!m_pEditor) {
        return;  // no settings were loaded: the panel is ending
    }
    m_pEditor->SetDriftCompensation(IsDlgButtonChecked(m_hWnd, IDC_DRIFT_COMPENSATION) == BST_CHECKED);
}

void CQuorvexDlg::OnBufferSliderThemeChanged(const NMHDR*)
{
    if (!m_pEditor) {
        return;  // no settings were loaded: the panel is ending
    }
    m_pEditor->SetBufferSize(m_bufferFrames);
}

void CQuorvexDlg::OnHScroll(UINT, UINT, HWND slider)
{
    if (!m_pEditor || !m_pSettings) {
        return;  // no settings were loaded: the panel is ending
    }
    // Every notification of the slider writes, the drag's included.
    if (slider == Control(IDC_BUFFER_SLIDER)) {
        m_bufferFrames = BufferFramesFromPosition(SliderPosition(slider));
        m_pEditor->SetBufferSize(m_bufferFrames);
        SetWindowTextA(Control(IDC_BUFFER_TEXT), BufferSizeText(m_bufferFrames, m_pSettings->sampleRate).c_str());
    } else if (slider == Control(IDC_DELAY_SLIDER)) {
        if (const auto label = m_pEditor->SetOutputDelay(ItemRecord(GetCurrentItem()), SliderPosition(slider))) {
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
