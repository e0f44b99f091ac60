#pragma once

#include "device_tree_item.h"
#include "driver_settings.h"
#include "settings_controls_events.h"

#include <optional>
#include <string>

class SettingsFile;

// The panel's changes to the settings: every user action changes the working
// tables (the loaded DriverSettings), writes config.ini and then tells a
// running driver through a named event. Everything runs on the GUI thread.
class DeviceSettingsEditor {
public:
    DeviceSettingsEditor(SettingsFile& file, DriverSettings& settings, NamedEventSetter setEvent);

    // The user changed an item's check box (with the mouse, the keyboard or
    // any other way); wasChecked is what the box showed before. Each list
    // gets the device only for a direction it lists at the sample rate.
    // Saves the device settings.
    void ToggleCheckBox(const PanelTreeItem& item, bool wasChecked);

    // Both tables and both lists, then the settings event.
    void SaveDeviceSettings();

    // A channel-list selection for the highlighted item: sets the link of a
    // playback channel and saves. False (nothing written) for any other item
    // and for the link the channel has already.
    bool SelectChannelLink(const PanelTreeItem& item, int listSelection);

    // A new sample-rate list selection: writes "SampleRate" and sets the
    // settings event. False (nothing written) for a selection outside the list.
    bool SelectSampleRate(int listSelection);

    // A new sample-format list selection: writes "BitSpersample" (16, 24 or
    // 32) and "SampleFormat" ("int" or "float") and sets the settings event
    // once both are written. False (nothing written) for a selection outside
    // the list.
    bool SelectSampleFormat(int listSelection);

    // Buffer slider: writes "BlockFrames" (frames), no event.
    void SetBufferSize(int32_t frames);

    // Output-volume slider: writes "Volume" (the position's linear gain),
    // sets the settings event.
    void SetVolume(int position);

    // Drift-compensation check box: writes "DriftCompensation", sets the
    // settings event.
    void SetDriftCompensation(bool on);

    // "设为主时钟设备" on the item's device: a device the driver opens
    // becomes the clock master ("ClockMaster"), or, when it is the one the
    // settings name already, stops being named (the first playback device
    // is the master again); sets the settings event. False (nothing
    // written) for a device the driver does not open.
    bool ToggleClockMaster(const PanelTreeItem& item);

    // Output-delay slider with the highlighted item (null: none). For a
    // device or playback group item of a device in the "out" list writes the
    // device's "OutLatency", sets the delay event and answers the label
    // text; nothing for any other item.
    std::optional<std::string> SetOutputDelay(const PanelTreeItem* item, int position);

private:
    // The device's entry in a table, created (automatic links) when missing,
    // with the data range's channels, rates and bits.
    static DeviceSettings& StoreWithRanges(DeviceSettingsTable& table, const std::string& name,
                                           const KSDATARANGE_AUDIO& range);
    // The output entry of a playback channel's device. A device without one
    // gets an entry in which only the channel being set plays.
    DeviceSettings& PlaybackEntry(const PanelTreeItem& item);
    void WriteDeviceTable(const DeviceSettingsTable& table, const char* direction);

    SettingsFile& m_file;
    DriverSettings& m_settings;
    NamedEventSetter m_setEvent;
};

// The record of a device the panel adds to a table: every field 0, links
// automatic.
DeviceSettings NewDeviceRecord();
