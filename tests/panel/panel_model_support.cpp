#include "panel_model_support.h"

#include <windows.h>

namespace {

KSDATARANGE_AUDIO Range(unsigned channels, unsigned maxRate)
{
    KSDATARANGE_AUDIO range{};
    if (channels == 0 && maxRate == 0) {
        return range;
    }
    range.MaximumChannels = channels;
    range.MinimumSampleFrequency = 8000;
    range.MaximumSampleFrequency = maxRate;
    range.MinimumBitsPerSample = 16;
    range.MaximumBitsPerSample = 24;
    return range;
}

void AddOutline(const std::vector<DeviceTreeNode>& nodes, const std::string& indent, std::vector<std::string>& out)
{
    for (const DeviceTreeNode& node : nodes) {
        out.push_back(indent + node.text + (node.checked ? "|x" : "| "));
        AddOutline(node.children, indent + "  ", out);
    }
}

}  // namespace

DeviceEntry ScannedDevice(unsigned renderChannels, unsigned renderMaxRate, unsigned captureChannels,
                          unsigned captureMaxRate)
{
    DeviceEntry entry;
    entry.render.dataRange = Range(renderChannels, renderMaxRate);
    entry.render.channels = static_cast<uint16_t>(renderChannels);
    entry.capture.dataRange = Range(captureChannels, captureMaxRate);
    entry.capture.channels = static_cast<uint16_t>(captureChannels);
    return entry;
}

DeviceSettings Record(int channels, int left, int right, float outLatency)
{
    DeviceSettings record;
    record.maximumChannels = channels;
    record.channelLinkLeft = left;
    record.channelLinkRight = right;
    record.outLatency = outLatency;
    return record;
}

PanelTreeItem Item(const std::string& name, const DeviceEntry& device, int32_t kind, bool isChannel, int32_t channel)
{
    PanelTreeItem item;
    item.name = name;
    item.device = device;
    item.kind = kind;
    item.isChannel = isChannel;
    item.channel = channel;
    return item;
}

std::vector<std::string> Outline(const std::vector<DeviceTreeNode>& nodes)
{
    std::vector<std::string> out;
    AddOutline(nodes, "", out);
    return out;
}

std::string Gbk(const std::string& utf8)
{
    const int wideLength = MultiByteToWideChar(CP_UTF8, 0, utf8.data(), static_cast<int>(utf8.size()), nullptr, 0);
    std::wstring wide(static_cast<size_t>(wideLength), L'\0');
    MultiByteToWideChar(CP_UTF8, 0, utf8.data(), static_cast<int>(utf8.size()), wide.data(), wideLength);
    const int length = WideCharToMultiByte(936, 0, wide.data(), wideLength, nullptr, 0, nullptr, nullptr);
    std::string gbk(static_cast<size_t>(length), '\0');
    WideCharToMultiByte(936, 0, wide.data(), wideLength, gbk.data(), length, nullptr, nullptr);
    return gbk;
}

std::vector<std::string> GbkLines(const std::vector<std::string>& utf8)
{
    std::vector<std::string> gbk;
    for (const std::string& line : utf8) {
        gbk.push_back(Gbk(line));
    }
    return gbk;
}
