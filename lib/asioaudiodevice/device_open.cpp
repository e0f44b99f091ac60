#include "asio_audio_device.h"

#include "capture_stream.h"
#include "debug_trace.h"
#include "device_key.h"
#include "device_texts.h"
#include "render_stream.h"
#include "request_completion.h"
#include "ring_buffer.h"
#include "sample_conversion.h"

#include <algorithm>
#include <climits>
#include <exception>
#include <memory>

namespace {

void TraceSkip(const std::string& name, const char* reason)
{
    DebugTrace(DeviceTexts::kDeviceSkipped, name.c_str(), reason);
}

// A channel count must fit the direction's 16-bit total.
bool ChannelsFit(int32_t channels, uint16_t total)
{
    return channels >= 0 && channels <= 0xFFFF - total;
}

template <size_t N>
void CopyText(char (&field)[N], const char* text)
{
    std::snprintf(field, N, "%s", text);
}

}  // namespace

bool AsioAudioDevice::OpenRenderDevices()
{
    try {
        // Reopening without a close would lose the pins, delay lines and
        // requests of the devices still open.
        if (!renderTable.empty()) {
            CloseRenderDevices();
        }
        ScanRenderDevices();
        outputChannels = 0;
        renderDeviceCount = 0;
        activeRenderCount = 0;
        for (const auto& [name, entry] : deviceTable) {
            // An empty name is a blank item of the list, never a device the
            // user chose: the panel does not show devices without a name.
            const auto configured = settings->outputDevices.find(name);
            if (name.empty() || configured == settings->outputDevices.end() || !entry.render.filter) {
                continue;
            }
            OpenRenderDevice(name, entry, configured->second);
        }
        DebugTrace(DeviceTexts::kRenderDevicesOpened, outputChannels);
        return outputChannels > 0;
    } catch (const std::exception& e) {
        DebugTrace(DeviceTexts::kOpenRenderError, e.what(), static_cast<unsigned>(E_OUTOFMEMORY));
        CloseRenderDevices();
        return false;
    }
}

void AsioAudioDevice::OpenRenderDevice(const std::string& name, const DeviceEntry& entry,
                                       const DeviceSettings& device)
{
    const uint16_t bytesPerSample = BytesPerSample(bitsPerSample);
    if (!bytesPerSample) {
        TraceSkip(name, DeviceTexts::kSkipDepth);
        return;
    }
    if (!ChannelsFit(device.maximumChannels, outputChannels)) {
        TraceSkip(name, DeviceTexts::kSkipChannels);
        return;
    }
    const auto channels = static_cast<uint16_t>(device.maximumChannels);
    // The delay line holds the longest delay the panel offers (500 ms) and
    // the block passing through it (the largest block the panel offers, or
    // the configured one).
    const int64_t lineFrames = static_cast<int64_t>(sampleRate / 2) + std::max<int32_t>(blockFrames, 2048);
    auto ringBuffer = std::make_unique<RingBuffer>(static_cast<int32_t>(
        std::min<int64_t>(lineFrames * channels * 2 + 2, INT32_MAX)));
    auto stream = std::make_unique<RenderStream>(bytesPerSample, settings->requestsInFlight);
    const uint32_t blockBytes = blockFrames > 0 ? static_cast<uint32_t>(blockFrames) * channels * 2 : 0;
    if (!ringBuffer->HasStorage() ||
        !stream->Reserve(RenderRequestCount(blockBytes, blockFrames), stream->Converts() ? blockBytes / 2 * bytesPerSample : 0)) {
        TraceSkip(name, DeviceTexts::kSkipMemory);
        return;
    }
    const DeviceKey key(renderDeviceCount);
    // The record is in place before the pin exists, so nothing can fail
    // between opening the pin and handing it to the table.
    RenderDeviceRecord& record = renderTable[key.text];
    record.pin = OpenRenderPin(entry.render.filter, channels, static_cast<int32_t>(sampleRate),
                               static_cast<uint16_t>(bitsPerSample));
    if (!record.pin) {
        renderTable.erase(key.text);
        return;
    }
    record.index = renderDeviceCount;
    record.sampleRate = static_cast<int32_t>(sampleRate);
    record.bitsPerSample = static_cast<uint16_t>(bitsPerSample);
    record.channels = channels;
    CopyText(record.asioName, key.text);
    CopyText(record.friendlyName, name.c_str());
    record.active = false;
    record.outLatency = device.outLatency;
    record.ringBuffer = ringBuffer.release();
    record.settings = device;
    record.stream = stream.release();
    DebugTrace(DeviceTexts::kRenderDeviceOpened, key.text, key.text, device.channelLinkLeft, device.channelLinkRight);
    ++activeRenderCount;
    ++renderDeviceCount;
    outputChannels = static_cast<uint16_t>(outputChannels + channels);
}

bool AsioAudioDevice::OpenCaptureDevices()
{
    try {
        inputChannels = 0;
        captureDeviceCount = 0;
        // The scan closes what is still open: capture pins belong to the
        // filters it replaces.
        ScanCaptureDevices();
        for (const auto& [name, entry] : deviceTable) {
            const auto configured = settings->inputDevices.find(name);
            if (name.empty() || configured == settings->inputDevices.end() || !entry.capture.filter) {
                continue;
            }
            OpenCaptureDevice(name, entry, configured->second);
        }
        return inputChannels > 0;
    } catch (const std::exception& e) {
        DebugTrace(DeviceTexts::kOpenCaptureError, e.what(), static_cast<unsigned>(E_OUTOFMEMORY));
        CloseCaptureDevices();
        return false;
    }
}

void AsioAudioDevice::OpenCaptureDevice(const std::string& name, const DeviceEntry& entry,
                                        const DeviceSettings& device)
{
    const uint16_t bytesPerSample = BytesPerSample(bitsPerSample);
    if (!bytesPerSample) {
        TraceSkip(name, DeviceTexts::kSkipDepth);
        return;
    }
    if (!ChannelsFit(device.maximumChannels, inputChannels)) {
        TraceSkip(name, DeviceTexts::kSkipChannels);
        return;
    }
    if (captureDeviceCount >= kCaptureRequestCount) {
        TraceSkip(name, DeviceTexts::kSkipNoRequest);
        return;
    }
    const KSDATARANGE_AUDIO* range = entry.capture.filter->GetKsAudioDataRange();
    if (!range) {
        TraceSkip(name, DeviceTexts::kSkipNoRange);
        return;
    }
    if (range->MaximumChannels > 0xFFFF) {
        TraceSkip(name, DeviceTexts::kSkipChannels);
        return;
    }
    // The pin takes the range's channel count; the engine gets the count of
    // the settings, converted by the stream.
    const auto pinChannels = static_cast<uint16_t>(range->MaximumChannels);
    const auto channels = static_cast<uint16_t>(device.maximumChannels);
    auto stream = std::make_unique<CaptureStream>(pinChannels, bytesPerSample, channels);
    if (stream->Converts() && !stream->Samples(static_cast<size_t>(blockFrames > 0 ? blockFrames : 0) *
                                               stream->PinFrameBytes())) {
        TraceSkip(name, DeviceTexts::kSkipMemory);
        return;
    }
    const DeviceKey key(captureDeviceCount);
    CaptureDeviceRecord& record = captureTable[key.text];
    record.pin = OpenCapturePin(entry.capture.filter, pinChannels, static_cast<int32_t>(sampleRate),
                                static_cast<uint16_t>(bitsPerSample));
    if (!record.pin) {
        captureTable.erase(key.text);
        return;
    }
    record.index = captureDeviceCount;
    record.dataRange = *range;
    record.sampleRate = static_cast<int32_t>(sampleRate);
    record.bitsPerSample = static_cast<uint16_t>(bitsPerSample);
    record.channels = channels;
    CopyText(record.asioName, key.text);
    CopyText(record.friendlyName, name.c_str());
    record.active = false;
    record.settings = device;
    record.stream = stream.release();
    ++captureDeviceCount;
    inputChannels = static_cast<uint16_t>(inputChannels + channels);
}

void AsioAudioDevice::CloseRenderDevices()
{
    for (auto& [key, record] : renderTable) {
        if (record.pin) {
            // Requests the pin still holds point into the stream: it goes
            // only once they are back.
            const bool collected =
                !record.stream || record.stream->CollectAll(record.pin->GetHandle(), kGiveBackTimeoutMs);
            record.pin->ClosePin();
            delete record.pin;
            if (!collected) {
                DebugTrace(DeviceTexts::kRequestsHeld, key.c_str());
                record.stream = nullptr;
            }
        }
        delete record.stream;
        delete record.ringBuffer;
    }
    renderTable.clear();
    outputChannels = 0;
    renderDeviceCount = 0;
    activeRenderCount = 0;
    DebugTrace("%s", DeviceTexts::kRenderDevicesClosed);
}

void AsioAudioDevice::CloseCaptureDevices()
{
    for (auto& [key, record] : captureTable) {
        if (record.pin) {
            const bool collected =
                !record.stream || TakeBackRead(record.pin, record.stream, static_cast<uint16_t>(record.index));
            record.pin->ClosePin();
            if (!collected) {
                DebugTrace(DeviceTexts::kRequestsHeld, key.c_str());
                record.stream = nullptr;
            }
        }
        delete record.stream;
    }
    captureTable.clear();
    captureDeviceCount = 0;
    inputChannels = 0;
    DebugTrace("%s", DeviceTexts::kCaptureDevicesClosed);
}
