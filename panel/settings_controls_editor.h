#pragma once

#include "device_tree_item.h"
#include "driver_settings.h"
#include "settings_controls_events.h"

#include <optional>
#include <string>

class SettingsFile;

// What a check-box click asks of the dialog besides the tables and the file.
struct CheckBoxOutcome {
    enum class ChannelList { Unchanged, Enable, Disable };
    ChannelList channelList = ChannelList::Unchanged;
    // A device or playback group taken out of the "out" list: the delay
    // slider moves to the delay it had.
    std::optional<int> delayPosition;
    // A group cleared while the device is in neither list any more.
    bool clearParentCheck = false;
};

// The panel's changes to the settings: every user action changes the working
// tables (the loaded DriverSettings), writes config.ini and then tells a
// running driver through a named event. Everything runs on the GUI thread.
class DeviceSettingsEditor {
public:
    DeviceSettingsEditor(SettingsFile& file, DriverSettings& settings, NamedEventSetter setEvent);

    // A click on an item's check box: wasChecked is the box's state before
    // the click; the channel list's selection is the control's current one.
    // Saves the device settings.
    CheckBoxOutcome ToggleCheckBox(const PanelTreeItem& item, bool wasChecked, int channelListSelection);

    // Both tables and both lists, then the settings event.
    void SaveDeviceSettings();

    // A new channel-list selection for the selected item: sets the item's
    // link and saves. Answers the item's new text for a playback channel;
    // any other item keeps its own (nothing).
    std::optional<std::string> SelectChannelLink(const PanelTreeItem& item, int listSelection);

    // A new sample-rate list selection: writes "SampleRate" and sets the
    // settings event. False (nothing written) for a selection outside the list.
    bool SelectSampleRate(int listSelection);

    // Buffer slider: writes "BlockFrames", no event.
    void SetBufferSize(int position);

    // Output-volume slider: writes "Volume", sets the settings event.
    void SetVolume(int position);

    // Output-delay slider with the item clicked last (null: none). For a
    // device or group item writes the device's "OutLatency", sets the delay
    // event and answers the label text; nothing for a channel item or none.
    std::optional<std::string> SetOutputDelay(const PanelTreeItem* currentItem, int position);

private:
    // The device's entry in a table, created (automatic links) when missing,
    // with the data range's channels, rates and bits.
    static DeviceSettings& StoreWithRanges(DeviceSettingsTable& table, const std::string& name,
                                           const KSDATARANGE_AUDIO& range);
    // The output entry of a playback channel's device. A device without one
    // gets an entry: for a stereo device only the channel being set plays,
    // the other side stays unmapped.
    DeviceSettings& PlaybackEntry(const PanelTreeItem& item);
    void WriteDeviceTable(const DeviceSettingsTable& table, const char* direction);

    SettingsFile& m_file;
    DriverSettings& m_settings;
    NamedEventSetter m_setEvent;
};

// The record of a device the panel adds to a table: every field 0, links
// automatic.
DeviceSettings NewDeviceRecord();
