// settings_file.h (POCO, winsock2.h) must come before windows.h.
#include "settings_file.h"

#include "settings_controls_editor.h"

#include "debug_trace.h"
#include "device_tree_model.h"
#include "settings_controls_ranges.h"
#include "settings_controls_texts.h"
#include "settings_keys.h"
#include "settings_lists.h"

#include <cstdio>
#include <vector>

namespace {

void SetLink(DeviceSettings& record, int32_t channel, int32_t link)
{
    (channel == 0 ? record.channelLinkLeft : record.channelLinkRight) = link;
}

}  // namespace

DeviceSettings NewDeviceRecord()
{
    DeviceSettings record;
    record.maximumChannels = 0;
    record.channelLinkLeft = ChannelLinks::kAutomatic;
    record.channelLinkRight = ChannelLinks::kAutomatic;
    record.minimumSampleFrequency = 0;
    record.maximumSampleFrequency = 0;
    record.minimumBitsPerSample = 0;
    record.maximumBitsPerSample = 0;
    record.outLatency = 0.0f;
    return record;
}

DeviceSettingsEditor::DeviceSettingsEditor(SettingsFile& file, DriverSettings& settings, NamedEventSetter setEvent)
    : m_file(file), m_settings(settings), m_setEvent(std::move(setEvent))
{
}

DeviceSettings& DeviceSettingsEditor::StoreWithRanges(DeviceSettingsTable& table, const std::string& name,
                                                      const KSDATARANGE_AUDIO& range)
{
    DeviceSettings& record = table.try_emplace(name, NewDeviceRecord()).first->second;
    record.maximumChannels = static_cast<int32_t>(range.MaximumChannels);
    record.minimumSampleFrequency = static_cast<int32_t>(range.MinimumSampleFrequency);
    record.maximumSampleFrequency = static_cast<int32_t>(range.MaximumSampleFrequency);
    record.minimumBitsPerSample = static_cast<int32_t>(range.MinimumBitsPerSample);
    record.maximumBitsPerSample = static_cast<int32_t>(range.MaximumBitsPerSample);
    return record;
}

DeviceSettings& DeviceSettingsEditor::PlaybackEntry(const PanelTreeItem& item)
{
    const std::string name = TrimSpaces(item.name);
    if (auto it = m_settings.outputDevices.find(name); it != m_settings.outputDevices.end()) {
        return it->second;
    }
    DeviceSettings& record = StoreWithRanges(m_settings.outputDevices, name, item.device.render.dataRange);
    if (item.device.render.dataRange.MaximumChannels == 2) {
        SetLink(record, item.channel == 0 ? 1 : 0, ChannelLinks::kNotMapped);
    }
    return record;
}

CheckBoxOutcome DeviceSettingsEditor::ToggleCheckBox(const PanelTreeItem& item, bool wasChecked,
                                                     int channelListSelection)
{
    const std::string name = TrimSpaces(item.name);
    const KSDATARANGE_AUDIO& render = item.device.render.dataRange;
    const KSDATARANGE_AUDIO& capture = item.device.capture.dataRange;
    const bool playback = item.kind == PanelItemKind::kPlayback;
    CheckBoxOutcome outcome;
    if (!wasChecked) {
        if (item.isChannel && playback) {
            outcome.channelList = CheckBoxOutcome::ChannelList::Enable;
            SetLink(PlaybackEntry(item), item.channel, LinkFromChannelList(channelListSelection));
        } else if (item.isChannel) {
            // Recording channels are listed only for a device in the "in"
            // list; a ticked one is mapped again (the driver ignores the
            // links of capture devices).
            if (auto it = m_settings.inputDevices.find(name); it != m_settings.inputDevices.end()) {
                SetLink(it->second, item.channel, ChannelLinks::kAutomatic);
            }
        } else {
            // Device and group items put the device in both lists.
            StoreWithRanges(m_settings.outputDevices, name, render);
            StoreWithRanges(m_settings.inputDevices, name, capture);
        }
    } else if (item.isChannel) {
        if (playback) {
            outcome.channelList = CheckBoxOutcome::ChannelList::Disable;
        }
        // The device keeps its own delay: the delay slider may still show
        // the device clicked before.
        DeviceSettings& output = StoreWithRanges(m_settings.outputDevices, name, render);
        DeviceSettings& input = StoreWithRanges(m_settings.inputDevices, name, capture);
        SetLink(playback ? output : input, item.channel, ChannelLinks::kNotMapped);
    } else {
        const bool removesOutput = item.kind == PanelItemKind::kDevice || playback;
        const bool removesInput = item.kind == PanelItemKind::kDevice || !playback;
        if (removesOutput) {
            const DeviceSettings* removed = FindDeviceSettings(m_settings.outputDevices, name);
            outcome.delayPosition = removed ? DelaySliderPosition(removed->outLatency) : 0;
            m_settings.outputDevices.erase(name);
        }
        if (removesInput) {
            m_settings.inputDevices.erase(name);
        }
        outcome.clearParentCheck = item.kind != PanelItemKind::kDevice && !m_settings.outputDevices.count(name) &&
                                   !m_settings.inputDevices.count(name);
    }
    SaveDeviceSettings();
    return outcome;
}

void DeviceSettingsEditor::WriteDeviceTable(const DeviceSettingsTable& table, const char* direction)
{
    using namespace SettingsKeys;
    const bool output = std::string(direction) == kOut;
    std::vector<std::string> names;
    for (const auto& [key, record] : table) {
        const std::string name = TrimSpaces(key);
        names.push_back(name);
        m_file.WriteDeviceInt(name, direction, kMaximumChannels, record.maximumChannels);
        m_file.WriteDeviceInt(name, direction, kMinimumSampleFrequency, record.minimumSampleFrequency);
        m_file.WriteDeviceInt(name, direction, kMaximumSampleFrequency, record.maximumSampleFrequency);
        m_file.WriteDeviceInt(name, direction, kMinimumBitsPerSample, record.minimumBitsPerSample);
        m_file.WriteDeviceInt(name, direction, kMaximumBitsPerSample, record.maximumBitsPerSample);
        char link[32];
        std::snprintf(link, sizeof link, "%d;%d", record.channelLinkLeft, record.channelLinkRight);
        m_file.WriteDeviceString(name, direction, kChannelLink, link);
        if (output) {
            m_file.WriteDeviceFloat(name, direction, kOutLatency, record.outLatency);
        }
    }
    m_file.WriteDefaultValue(direction, TrimSpaces(JoinSettingsList(names)));
}

void DeviceSettingsEditor::SaveDeviceSettings()
{
    WriteDeviceTable(m_settings.outputDevices, SettingsKeys::kOut);
    WriteDeviceTable(m_settings.inputDevices, SettingsKeys::kIn);
    m_setEvent(TelvaraEvents::kSettingsChanged);
}

std::optional<std::string> DeviceSettingsEditor::SelectChannelLink(const PanelTreeItem& item, int listSelection)
{
    const int32_t link = LinkFromChannelList(listSelection);
    SetLink(PlaybackEntry(item), item.channel, link);
    SaveDeviceSettings();
    // The keyboard can leave a device, group or recording channel selected:
    // such an item keeps its name, a channel text would show a link it has not.
    if (!item.isChannel || item.kind != PanelItemKind::kPlayback) {
        return std::nullopt;
    }
    char text[100];
    std::snprintf(text, sizeof text, item.channel == 0 ? SettingsControlTexts::kLeftLinked
                                                       : SettingsControlTexts::kRightLinked,
                  LinkText(link).c_str());
    return text;
}

bool DeviceSettingsEditor::SelectSampleRate(int listSelection)
{
    const std::vector<std::string>& rates = SampleRateTexts();
    if (listSelection < 0 || listSelection >= static_cast<int>(rates.size())) {
        return false;
    }
    m_file.WriteDefaultValue(SettingsKeys::kSampleRate, rates[static_cast<size_t>(listSelection)]);
    m_setEvent(TelvaraEvents::kSettingsChanged);
    return true;
}

void DeviceSettingsEditor::SetBufferSize(int position)
{
    m_file.WriteDefaultValue(SettingsKeys::kBlockFrames, std::to_string(position));
}

void DeviceSettingsEditor::SetVolume(int position)
{
    const float volume = VolumeFromPosition(position);
    char text[64];
    std::snprintf(text, sizeof text, "%f", static_cast<double>(volume));
    m_file.WriteDefaultValue(SettingsKeys::kVolume, text);
    if (m_setEvent(TelvaraEvents::kSettingsChanged)) {
        DebugTrace(SettingsControlTexts::kVolumeSet, static_cast<double>(volume));
    }
}

std::optional<std::string> DeviceSettingsEditor::SetOutputDelay(const PanelTreeItem* currentItem, int position)
{
    if (!currentItem || currentItem->isChannel) {
        return std::nullopt;
    }
    const std::string name = TrimSpaces(currentItem->name);
    DeviceSettings& output = StoreWithRanges(m_settings.outputDevices, name, currentItem->device.render.dataRange);
    output.outLatency = OutLatencyFromPosition(position);
    m_file.WriteDeviceFloat(name, SettingsKeys::kOut, SettingsKeys::kOutLatency, output.outLatency);
    const bool signalled = m_setEvent(TelvaraEvents::kOutputDelayChanged);
    DebugTrace(SettingsControlTexts::kDelaySet, name.c_str(), static_cast<double>(output.outLatency),
               signalled ? SettingsControlTexts::kSucceeded : SettingsControlTexts::kFailed);
    return DelayLabelText(output.outLatency);
}
