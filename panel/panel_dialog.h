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
// class is "telvarapanel" (the driver finds a running panel by it, brings it
// forward with a restore command and closes the one it started with
// WM_CLOSE). The class's window procedure is WindowProc below: every message
// passes it before the dialog's own handlers in OnMessage.
//
// The device tree shows what the tree model works out from the scanned
// devices and the working settings, after every change as after a rebuild;
// the device pane shows the highlighted tree item, and its controls act on
// that item.
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
    void OnSize(int width, int height);
    void OnGetMinMaxInfo(MINMAXINFO* info);
    // Shown, restored and in front: the icon's "打开", a restore command
    // (the driver's controlPanel, a second start without a host), and a
    // start without a host.
    void BringForward();
    // The icon's "退出" (and its right double click): asks first while a
    // host uses the driver; true when the panel ends.
    bool ExitFromTray();
    // The icon's menu: "打开" and "退出" (from the resources; the caller
    // destroys it).
    HMENU LoadTrayMenu() const;
    // The device tree's menu: "设为主时钟设备" (the caller destroys it).
    HMENU LoadDeviceMenu() const;

    // ---- dialog, device tree and settings controls ------------------------
    void InitControls();
    void RegisterDeviceNotifications();
    void RebuildDeviceTree();
    // Texts, boxes and recording channels of every item, the channel list,
    // the device pane and the status bar as the working settings now give
    // them; the highlight stays where it is.
    void RefreshTree();
    void ShowItemInfo(HTREEITEM item);
    void ShowDelayControls(bool show);
    bool OnPaint();
    HICON OnQueryDragIcon();
    void OnDrawItem(const DRAWITEMSTRUCT* item);
    LRESULT OnDeviceChange(WPARAM eventType, LPARAM eventData);
    // A box that now differs from what the settings give was changed by the
    // user (mouse, keyboard or any other way): the change goes to the
    // settings, then the tree shows them.
    void ApplyCheckBoxChanges();
    void OnSampleRateList(UINT code);
    void OnSampleFormatList(UINT code);
    void OnChannelList(UINT code);
    void OnDriftCompensation();
    // The tree's context menu (right click, or Shift+F10 / the menu key with
    // the point at -1, -1) for the item there or the highlighted one: the
    // item is highlighted, and its device offered as the clock master
    // (grayed when the driver does not open it, checked when the settings
    // name it).
    void OnTreeContextMenu(LPARAM screenPoint);
    // The menu's command: the highlighted item's device as the clock master.
    void OnSetClockMaster();
    void OnBufferSliderThemeChanged(const NMHDR* notification);
    void OnHScroll(UINT code, UINT position, HWND slider);
    void OnVScroll(UINT code, UINT position, HWND slider);
    void SaveDeviceSettings();
    // The highlighted tree item, which the device pane shows (null: none).
    HTREEITEM GetCurrentItem() const;
    // What the status bar says: what to do first while nothing is ticked, a
    // notice about the highlighted item, or the about text.
    std::wstring StatusText() const;

    // ---- web link ---------------------------------------------------------
    void OnWebButton();

private:
    static LRESULT CALLBACK PanelWindowProc(HWND window, UINT message, WPARAM wParam, LPARAM lParam);
    static INT_PTR CALLBACK DialogProc(HWND window, UINT message, WPARAM wParam, LPARAM lParam);
    static bool RegisterWindowClass(HINSTANCE instance);
    INT_PTR OnMessage(UINT message, WPARAM wParam, LPARAM lParam);
    INT_PTR OnNotify(const NMHDR* notification);
    // Ends the dialog's loop with result; the icon goes first.
    void EndDialog(int result);
    void CreateStatusBar();

    // Tree items and the records behind them (device_tree_dialog.cpp).
    HTREEITEM InsertTreeNode(HWND tree, HTREEITEM parent, const DeviceTreeNode& node);
    const PanelTreeItem* ItemRecord(HTREEITEM item) const;
    // Gives the items below parent the texts and boxes of nodes; children
    // that no longer match are made anew.
    void UpdateTreeNodes(HWND tree, HTREEITEM parent, const std::vector<DeviceTreeNode>& nodes);
    void DeleteTreeItem(HWND tree, HTREEITEM item);
    void FillChannelList(const std::vector<std::string>& entries);
    void UpdateStatusBar();
    void ShowNoDeviceMessage();
    void CreateToolTips();
    void SetTabOrder();
    void CaptureLayout();
    HWND Control(int id) const { return GetDlgItem(m_hWnd, id); }

    // Posted: the tree changes a box after its notification has returned.
    static constexpr UINT kApplyChecksMessage = WM_APP + 1;
    // Posted: the no-device message waits for the window to be shown.
    static constexpr UINT kNoDeviceMessage = WM_APP + 2;
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

    // The device tree: the record of every item, kept until the item goes.
    std::vector<std::unique_ptr<PanelTreeItem>> m_treeItems;
    bool m_rebuilding = false;        // selection changes while the tree is remade are not the user's
    int m_outputChannels = 0;         // outputs the ticked devices make
    bool m_anyTicked = false;
    std::string m_itemNotice;         // the status bar's line about the highlighted item (GBK)
    bool m_noDevicePending = false;   // the no-device message waits for the window
    int32_t m_bufferFrames = 0;       // the buffer size shown and stored
    HWND m_hToolTip = nullptr;        // the sliders' tool tips
    std::wstring m_inputVolumeTip;    // why the input volume is disabled

    // Where each control sits at the template's size, and how it follows a
    // change of the window's size.
    struct Anchor {
        HWND control;
        RECT rect;  // client coordinates at the template's size
        bool moveX, moveY, growX, growY;
    };
    std::vector<Anchor> m_anchors;
    SIZE m_templateClient{};
    // What the settings controls change in config.ini; made by InitControls.
    std::unique_ptr<DeviceSettingsEditor> m_pEditor;
};
