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
    record.channelLinkLeft = ChannelLinks::kNotMapped;
    record.channelLinkRight = ChannelLinks::kNotMapped;
    return record;
}

void DeviceSettingsEditor::ToggleCheckBox(const PanelTreeItem& item, bool wasChecked)
{
    const std::string name = TrimSpaces(item.name);
    const bool playback = item.kind == PanelItemKind::kPlayback;
    const bool device = item.kind == PanelItemKind::kDevice;
    // A direction the device does not list at this rate is none of this
    // click's business: a speaker never lands in "in", a microphone never
    // in "out".
    const bool plays = ListsPlayback(item.device, m_settings.sampleRate);
    const bool records = ListsRecording(item.device, m_settings.sampleRate);
    if (item.isChannel) {
        if (playback) {
            // A ticked channel plays by automatic assignment until the user
            // picks an output for it in the list.
            SetLink(PlaybackEntry(item), item.channel,
                    wasChecked ? ChannelLinks::kNotMapped : ChannelLinks::kAutomatic);
        } else if (auto it = m_settings.inputDevices.find(name); it != m_settings.inputDevices.end()) {
            // Recording channels are listed only for a device in the "in"
            // list (the driver records every channel of such a device).
            SetLink(it->second, item.channel, wasChecked ? ChannelLinks::kNotMapped : ChannelLinks::kAutomatic);
        }
    } else if (!wasChecked) {
        // Links and delay of an existing entry stay as they are.
        if ((device || playback) && plays) {
            StoreWithRanges(m_settings.outputDevices, name, item.device.render.dataRange);
        }
        if ((device || !playback) && records) {
            StoreWithRanges(m_settings.inputDevices, name, item.device.capture.dataRange);
        }
    } else {
        if (device || playback) {
            m_settings.outputDevices.erase(name);
        }
        if (device || !playback) {
            m_settings.inputDevices.erase(name);
        }
    }
    SaveDeviceSettings();
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

bool DeviceSettingsEditor::SelectChannelLink(const PanelTreeItem& item, int listSelection)
{
    if (!item.isChannel || item.kind != PanelItemKind::kPlayback) {
        return false;
    }
    const int32_t link = LinkFromChannelList(listSelection);
    const DeviceSettings* existing = FindDeviceSettings(m_settings.outputDevices, item.name);
    if (existing && LinkOfChannel(*existing, item.channel) == link) {
        return false;
    }
    SetLink(PlaybackEntry(item), item.channel, link);
    SaveDeviceSettings();
    return true;
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

bool DeviceSettingsEditor::SelectSampleFormat(int listSelection)
{
    std::string bits;
    std::string format;
    if (!StoredSampleFormat(listSelection, bits, format)) {
        return false;
    }
    m_file.WriteDefaultValue(SettingsKeys::kBitsPerSample, bits);
    m_file.WriteDefaultValue(SettingsKeys::kSampleFormat, format);
    m_settings.bitsPerSample = std::stoi(bits);
    m_setEvent(TelvaraEvents::kSettingsChanged);
    return true;
}

void DeviceSettingsEditor::SetBufferSize(int32_t frames)
{
    m_file.WriteDefaultValue(SettingsKeys::kBlockFrames, std::to_string(frames));
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

void DeviceSettingsEditor::SetDriftCompensation(bool on)
{
    m_file.WriteDriftCompensation(on);
    m_settings.driftCompensation = on;
    m_setEvent(TelvaraEvents::kSettingsChanged);
}

bool DeviceSettingsEditor::ToggleClockMaster(const PanelTreeItem& item)
{
    if (!OpensDevice(item.name, item.device, m_settings)) {
        return false;
    }
    const std::string name = TrimSpaces(item.name);
    m_settings.clockMaster = m_settings.clockMaster == name ? std::string() : name;
    m_file.WriteClockMaster(m_settings.clockMaster);
    m_setEvent(TelvaraEvents::kSettingsChanged);
    return true;
}

std::optional<std::string> DeviceSettingsEditor::SetOutputDelay(const PanelTreeItem* item, int position)
{
    if (!item || item->isChannel || item->kind == PanelItemKind::kRecording) {
        return std::nullopt;
    }
    const std::string name = TrimSpaces(item->name);
    // A delay belongs to a device the driver opens: one in the "out" list
    // that plays at this rate.
    const auto entry = m_settings.outputDevices.find(name);
    if (entry == m_settings.outputDevices.end() || !ListsPlayback(item->device, m_settings.sampleRate)) {
        return std::nullopt;
    }
    DeviceSettings& output = entry->second;
    output.outLatency = OutLatencyFromPosition(position);
    m_file.WriteDeviceFloat(name, SettingsKeys::kOut, SettingsKeys::kOutLatency, output.outLatency);
    const bool signalled = m_setEvent(TelvaraEvents::kOutputDelayChanged);
    DebugTrace(SettingsControlTexts::kDelaySet, name.c_str(), static_cast<double>(output.outLatency),
               signalled ? SettingsControlTexts::kSucceeded : SettingsControlTexts::kFailed);
    return DelayLabelText(output.outLatency);
}
