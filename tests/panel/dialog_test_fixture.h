#pragma once

// The panel's dialog in this process, under an X display, driven with window
// messages as a user drives it: clicks and keys on the tree, the lists and
// the sliders. After each step a test reads config.ini and the two named
// events the driver waits on. Only the dialog's window and its controls are
// used, never its internals.
#include "settings_file.h"

#include "appdata_redirect.h"
#include "kssim.h"
#include "panel_dialog.h"

#include <gtest/gtest.h>

#include <functional>
#include <initializer_list>
#include <memory>
#include <string>
#include <vector>

namespace dialogtest {

// Simulated devices: a render device with its channels and highest rate,
// a capture device, and a second device of the same friendly name.
kssim::DeviceModel Render(const std::string& name, ULONG channels = 2, ULONG maximumRate = 48000);
kssim::DeviceModel Capture(const std::string& name, ULONG channels = 1);
kssim::DeviceModel SecondOf(kssim::DeviceModel device);

// One of the events a running driver creates; the panel only opens and sets them.
class DriverEvent {
public:
    explicit DriverEvent(const char* name) : m_event(CreateEventA(nullptr, FALSE, FALSE, name)) {}
    ~DriverEvent() { CloseHandle(m_event); }
    DriverEvent(const DriverEvent&) = delete;
    DriverEvent& operator=(const DriverEvent&) = delete;
    // Whether the panel set it since the last look.
    bool WasSet() const { return WaitForSingleObject(m_event, 0) == WAIT_OBJECT_0; }

private:
    HANDLE m_event;
};

// The tree's context menu as it was while open: its first entry's text and
// state (MF_GRAYED, MF_CHECKED).
struct ContextMenu {
    bool shown = false;
    std::wstring text;
    UINT state = 0;
};

}  // namespace dialogtest

class DeviceTreeDialogTest : public testing::Test {
protected:
    static void SetUpTestSuite();
    void SetUp() override;
    void TearDown() override;

    // Creates the dialog over the simulated devices of the moment and shows
    // it, so that the tree lays out its items for the clicks.
    void Create();
    static void Pump();

    HWND Window() const { return m_dialog->GetSafeHwnd(); }
    HWND Control(int id) const { return GetDlgItem(Window(), id); }
    HWND Tree() const;
    std::string File() const;
    // Starts from this config.ini (before Create).
    void WriteSettings(const std::string& text) const;

    HTREEITEM Next(HTREEITEM item, UINT relation) const;
    // The item reached from the root by child positions, e.g. {1, 0, 1}.
    HTREEITEM ItemAt(std::initializer_list<int> path) const;
    HTREEITEM Highlighted() const { return Next(nullptr, TVGN_CARET); }
    std::string Text(HTREEITEM item) const;
    bool Checked(HTREEITEM item) const;
    // Texts and checks of the whole tree ("text|x" checked, "text| " clear,
    // children indented by two blanks), as the model tests write them.
    std::vector<std::string> Outline() const;
    void ExpandAll() const;

    // A left click at a point of the tree, the cursor put there first.
    void ClickTree(POINT point);
    POINT TextPoint(HTREEITEM item) const;
    // The check box sits left of the item's text.
    void ClickCheckBox(HTREEITEM item);
    void ClickText(HTREEITEM item) { ClickTree(TextPoint(item)); }
    // The +/- button that expands or collapses the item.
    void ClickExpander(HTREEITEM item);
    // A right click on an item, and the menu key on the tree (the menu at
    // the highlighted item): the menu that opens is read, then its first
    // entry chosen with the keyboard (choose) or the menu closed.
    dialogtest::ContextMenu RightClick(HTREEITEM item, bool choose);
    dialogtest::ContextMenu MenuKey(bool choose);
    // A key pressed on a control (down and up, through its queue).
    void PressKey(HWND control, WPARAM key);

    // A slider moved to a position, as a drag announces it.
    void Scroll(int id, int position, UINT message);
    // A list entry chosen with the mouse: the list closes on it.
    void Choose(int id, int index);
    std::string ControlText(int id) const;
    std::wstring StatusBarText() const;

    // Keeps a picture of the dialog beside the test program (a BMP file).
    void SaveScreenshot(const std::string& name) const;

    AppDataRedirect m_appData{L"telvara-device-tree"};
    std::unique_ptr<CQuorvexDlg> m_dialog;
    dialogtest::DriverEvent m_settingsEvent{"Global\\TELVARA_CTL_COMING_EVENT"};
    dialogtest::DriverEvent m_delayEvent{"Global\\TELVARA_CTL_OUTLATENCY_EVENT"};
};
