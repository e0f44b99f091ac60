#pragma once

// settings_file.h (POCO, winsock2.h) must come before windows.h.
#include "driver_settings.h"
#include "panel_links.h"
#include "settings_controls_editor.h"

#include <windows.h>
#include <commctrl.h>
#include <shellapi.h>

#include <memory>
#include <string>
#include <vector>

class CDeviceCatalogue;
struct DeviceTreeNode;

// The panel's one window: a modeless dialog from template 102 whose window
// class is "telvarapanel" (the driver finds a running panel by it and closes
// it with WM_CLOSE). The class's window procedure is WindowProc below: every
// message passes it before the dialog's own handlers in OnMessage, which map
// one to one onto the panel's handlers.
//
// Thread rules: the dialog lives on the process's one GUI thread and is
// touched by nothing else.
class CQuorvexDlg {
public:
    explicit CQuorvexDlg(const PanelLinks& links);
    ~CQuorvexDlg();
    CQuorvexDlg(const CQuorvexDlg&) = delete;
    CQuorvexDlg& operator=(const CQuorvexDlg&) = delete;

    // Creates the window, hidden, from template 102 with the command-line
    // arguments given (the text after the program name); the dialog
    // initialisation has run when it returns. False when no window could be
    // made (no display) or the settings could not be read (SettingsFailed).
    bool Create(HINSTANCE instance, const char* arguments);
    // Runs the dialog's message loop until the dialog ends or a quit message
    // arrives; never shows the window by itself.
    void RunModalLoop();
    HWND GetSafeHwnd() const { return m_hWnd; }
    // config.ini could neither be created nor read: the message was shown.
    bool SettingsFailed() const { return m_settingsFailed; }
    // IDOK or IDCANCEL when the dialog was ended (Enter, Escape, close), 0
    // when its loop ended with a quit message.
    int GetDialogResult() const { return m_result; }

    bool IsHostMode() const { return m_hostMode; }
    DWORD GetHostProcessId() const { return m_hostProcessId; }
    const NOTIFYICONDATAA& GetTrayIcon() const { return m_trayIcon; }
    CDeviceCatalogue* GetDevice() const { return m_pDevice; }

    // ---- start-up, icon, host watch, visibility and exits ----------------
    BOOL OnInitDialog();
    void AddTrayIcon();
    BOOL ShowTrayBalloon(const char* text, const char* title, UINT timeoutMs, DWORD infoFlags);
    // Removes the icon once; later calls do nothing.
    void RemoveTrayIcon();
    // Messages before the dialog's handlers; handled says whether the
    // message stops here.
    LRESULT WindowProc(UINT message, WPARAM wParam, LPARAM lParam, bool& handled);
    void OnTrayNotify(WPARAM wParam, LPARAM lParam);
    void OnTimer(UINT_PTR timerId);
    void OnClose();
    void OnCancel();
    void OnOK();
    void OnDestroy();
    void OnSize();
    void OnGetMinMaxInfo(MINMAXINFO* info);

    // ---- dialog, device tree and settings controls ------------------------
    void InitControls();
    void RegisterDeviceNotifications();
    void RebuildDeviceTree();
    void ShowItemInfo(HTREEITEM item);
    void ShowDelayControls(bool show);
    bool OnPaint();
    HICON OnQueryDragIcon();
    void OnDrawItem(const DRAWITEMSTRUCT* item);
    LRESULT OnDeviceChange(WPARAM eventType, LPARAM eventData);
    void OnTreeClick(const NMHDR* notification);
    void OnSampleRateChange();
    void OnChannelLinkChange();
    void OnBufferSliderThemeChanged(const NMHDR* notification);
    void OnHScroll(UINT code, UINT position, HWND slider);
    void OnVScroll(UINT code, UINT position, HWND slider);
    void SetChildrenCheck(HTREEITEM item, bool checked);
    void SaveDeviceSettings();
    // The item the last click on the tree hit (null: none since the last
    // rebuild, or a click beside every item).
    HTREEITEM GetCurrentItem() const { return m_currentItem; }

    // ---- web link ---------------------------------------------------------
    void OnWebButton();

private:
    static LRESULT CALLBACK PanelWindowProc(HWND window, UINT message, WPARAM wParam, LPARAM lParam);
    static INT_PTR CALLBACK DialogProc(HWND window, UINT message, WPARAM wParam, LPARAM lParam);
    static bool RegisterWindowClass(HINSTANCE instance);
    INT_PTR OnMessage(UINT message, WPARAM wParam, LPARAM lParam);
    // Ends the dialog's loop with result; the icon goes first.
    void EndDialog(int result);
    void CreateStatusBar();

    // Tree items and the records behind them (device_tree_dialog.cpp).
    HTREEITEM InsertTreeNode(HWND tree, HTREEITEM parent, const DeviceTreeNode& node);
    const PanelTreeItem* ItemRecord(HTREEITEM item) const;
    // Sets every box of the item's device to what the working tables hold.
    // Posted after a click (the tree toggles the clicked box once the click
    // notification has returned); wParam is the tree's generation then.
    void SyncDeviceChecks(HTREEITEM item);
    static constexpr UINT kSyncChecksMessage = WM_APP + 1;
    HWND Control(int id) const { return GetDlgItem(m_hWnd, id); }

    static constexpr UINT_PTR kHostWatchTimer = 3;
    static constexpr UINT kHostWatchPeriodMs = 300;

    PanelLinks m_links;
    HINSTANCE m_hInstance = nullptr;
    HWND m_hWnd = nullptr;
    HWND m_hStatusBar = nullptr;
    HICON m_hIcon = nullptr;
    HICON m_hSmallIcon = nullptr;
    std::string m_arguments;  // the command line after the program name
    bool m_hostMode = false;
    DWORD m_hostProcessId = 0;
    NOTIFYICONDATAA m_trayIcon{};
    bool m_trayIconAdded = false;
    ULONG_PTR m_gdiplusToken = 0;
    CDeviceCatalogue* m_pDevice = nullptr;
    DriverSettings* m_pSettings = nullptr;
    bool m_settingsFailed = false;
    bool m_ended = false;
    // A modal box of the tree's rebuild is up: its own loop dispatches our
    // messages, so an end must also end that loop.
    bool m_inMessageBox = false;
    int m_result = 0;
    SIZE m_minimumSize{};

    // The device tree: the item clicked last, and the record of every item,
    // kept until the next rebuild deletes the items.
    HTREEITEM m_currentItem = nullptr;
    WPARAM m_treeGeneration = 0;   // counts rebuilds: posted item handles of older trees are stale
    std::vector<std::unique_ptr<PanelTreeItem>> m_treeItems;
    // What the settings controls change in config.ini; made by InitControls.
    std::unique_ptr<DeviceSettingsEditor> m_pEditor;
};
