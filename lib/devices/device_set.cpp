#include "device_set.h"

#include "debug_trace.h"
#include "device_texts.h"
#include "format_choice.h"
#include "request_completion.h"
#include "sample_conversion.h"

#include <algorithm>
#include <cstdio>
#include <exception>

namespace {

void TraceSkip(const std::string& name, const char* reason)
{
    DebugTrace(DeviceTexts::kDeviceSkipped, name.c_str(), reason);
}

// The internal key of the open device at 0-based `index`, as traces name it.
struct DeviceKey {
    explicit DeviceKey(size_t index) { std::snprintf(text, sizeof text, "TelvaraDevice%u", static_cast<unsigned>(index + 1)); }
    char text[32];
};

template <typename Endpoints>
int32_t ChannelsOf(const Endpoints& endpoints)
{
    int32_t channels = 0;
    for (const auto& endpoint : endpoints) {
        channels += endpoint->Channels();
    }
    return channels;
}

template <typename Endpoints>
int32_t ActiveOf(const Endpoints& endpoints)
{
    return static_cast<int32_t>(
        std::count_if(endpoints.begin(), endpoints.end(), [](const auto& endpoint) { return endpoint->Active(); }));
}

// A channel count must keep the direction's total inside what hosts count with.
bool ChannelsFit(int32_t channels, int32_t total)
{
    return channels >= 0 && channels <= 0xFFFF - total;
}

// Whether a device of that many channels can join a direction of `total`
// channels at the requested depth (traced when not).
bool Openable(const std::string& name, const OpenRequest& request, int32_t channels, int32_t total)
{
    // Only a 16-bit host asks for the configured depth.
    if (request.hostFormat == SampleFormat::Int16 && !BytesPerSample(request.bitsPerSample)) {
        TraceSkip(name, DeviceTexts::kSkipDepth);
        return false;
    }
    if (!ChannelsFit(channels, total)) {
        TraceSkip(name, DeviceTexts::kSkipChannels);
        return false;
    }
    return true;
}

FormatRequest FormatOf(const OpenRequest& request, uint16_t pinChannels)
{
    return FormatRequest{request.hostFormat, request.bitsPerSample, pinChannels, static_cast<int32_t>(request.sampleRate)};
}

// The devices of the catalogue that the request names and that have the
// direction's part, in the byte-wise order of their names. An empty name is
// a blank item of the list, never a device the user chose: the panel does
// not show devices without a name.
template <typename Visit>
void ForEachConfigured(const DeviceTable& devices, const OpenRequest& request, ScannedDevice DeviceEntry::*part,
                       Visit visit)
{
    for (const auto& [name, entry] : devices) {
        const auto configured = request.devices->find(name);
        if (!name.empty() && configured != request.devices->end() && (entry.*part).filter) {
            visit(name, entry.*part, configured->second);
        }
    }
}

}  // namespace

CDeviceSet::CDeviceSet() = default;

CDeviceSet::~CDeviceSet()
{
    CloseCapture();
    CloseRender();
}

void CDeviceSet::EnumerateFilters()
{
    if (!m_capture.empty()) {
        CloseCapture();
    }
    m_catalogue.EnumerateFilters();
}

bool CDeviceSet::OpenRender(const OpenRequest& request)
{
    try {
        if (!m_render.empty()) {
            CloseRender();
        }
        m_catalogue.ScanRenderDevices();
        ForEachConfigured(m_catalogue.Devices(), request, &DeviceEntry::render,
                          [&](const std::string& name, const ScannedDevice& scanned, const DeviceSettings& device) {
                              OpenRenderDevice(name, scanned, device, request);
                          });
        DebugTrace(DeviceTexts::kRenderDevicesOpened, static_cast<int>(OutputChannels()));
        return OutputChannels() > 0;
    } catch (const std::exception& e) {
        DebugTrace(DeviceTexts::kOpenRenderError, e.what(), static_cast<unsigned>(E_OUTOFMEMORY));
        CloseRender();
        return false;
    }
}

void CDeviceSet::OpenRenderDevice(const std::string& name, const ScannedDevice& scanned, const DeviceSettings& device,
                                  const OpenRequest& request)
{
    if (!Openable(name, request, device.maximumChannels, OutputChannels())) {
        return;
    }
    const auto channels = static_cast<uint16_t>(device.maximumChannels);
    m_render.reserve(m_render.size() + 1);  // nothing may fail between the pin and its endpoint
    OpenedPin opened = OpenPinInBestFormat(static_cast<CKsAudRenFilter*>(scanned.filter), StreamDirection::Render,
                                           FormatOf(request, channels), name);
    if (!opened.pin) {
        return;
    }
    opened.format.channels = channels;
    m_render.push_back(
        std::make_unique<CRenderEndpoint>(name, static_cast<int>(m_render.size()), opened.pin, opened.format, device));
    const DeviceKey key(m_render.size() - 1);
    DebugTrace(DeviceTexts::kRenderDeviceOpened, key.text, key.text, device.channelLinkLeft, device.channelLinkRight);
}

bool CDeviceSet::OpenCapture(const OpenRequest& request)
{
    try {
        // Capture pins belong to the filters the scan replaces.
        if (!m_capture.empty()) {
            CloseCapture();
        }
        m_catalogue.ScanCaptureDevices();
        ForEachConfigured(m_catalogue.Devices(), request, &DeviceEntry::capture,
                          [&](const std::string& name, const ScannedDevice& scanned, const DeviceSettings& device) {
                              OpenCaptureDevice(name, scanned, device, request);
                          });
        return InputChannels() > 0;
    } catch (const std::exception& e) {
        DebugTrace(DeviceTexts::kOpenCaptureError, e.what(), static_cast<unsigned>(E_OUTOFMEMORY));
        CloseCapture();
        return false;
    }
}

void CDeviceSet::OpenCaptureDevice(const std::string& name, const ScannedDevice& scanned, const DeviceSettings& device,
                                   const OpenRequest& request)
{
    if (!Openable(name, request, device.maximumChannels, InputChannels())) {
        return;
    }
    auto* filter = static_cast<CKsAudCapFilter*>(scanned.filter);
    // The range read again: the pin takes its channel count, the host the
    // count of the settings.
    const KSDATARANGE_AUDIO* range = filter->GetKsAudioDataRange();
    if (!range) {
        TraceSkip(name, DeviceTexts::kSkipNoRange);
        return;
    }
    if (range->MaximumChannels > 0xFFFF) {
        TraceSkip(name, DeviceTexts::kSkipChannels);
        return;
    }
    const auto pinChannels = static_cast<uint16_t>(range->MaximumChannels);
    m_capture.reserve(m_capture.size() + 1);
    OpenedPin opened = OpenPinInBestFormat(filter, StreamDirection::Capture, FormatOf(request, pinChannels), name);
    if (!opened.pin) {
        return;
    }
    opened.format.channels = static_cast<uint16_t>(device.maximumChannels);
    m_capture.push_back(
        std::make_unique<CCaptureEndpoint>(name, static_cast<int>(m_capture.size()), opened.pin, opened.format, device));
}

namespace {

// Every pin is asked to give its requests back first, then all are waited
// for by one deadline: a pin that ignores its cancellations costs that once.
template <typename Endpoints>
void CancelEvery(const Endpoints& endpoints)
{
    for (const auto& endpoint : endpoints) {
        endpoint->CancelAll();
    }
}

template <typename Endpoints>
void TakeBackEvery(const Endpoints& endpoints, ULONGLONG deadline)
{
    for (const auto& endpoint : endpoints) {
        endpoint->TakeBack(deadline);
    }
}

template <typename Endpoints>
void CloseAll(Endpoints& endpoints)
{
    CancelEvery(endpoints);
    TakeBackEvery(endpoints, GetTickCount64() + kGiveBackTimeoutMs);
    endpoints.clear();
}

}  // namespace

void CDeviceSet::CloseRender()
{
    CloseAll(m_render);
    DebugTrace("%s", DeviceTexts::kRenderDevicesClosed);
}

void CDeviceSet::CloseCapture()
{
    CloseAll(m_capture);
    DebugTrace("%s", DeviceTexts::kCaptureDevicesClosed);
}

void CDeviceSet::TakeBackAll()
{
    CancelEvery(m_render);
    CancelEvery(m_capture);
    const ULONGLONG deadline = GetTickCount64() + kGiveBackTimeoutMs;
    TakeBackEvery(m_render, deadline);
    TakeBackEvery(m_capture, deadline);
}

int32_t CDeviceSet::OutputChannels() const
{
    return ChannelsOf(m_render);
}

int32_t CDeviceSet::InputChannels() const
{
    return ChannelsOf(m_capture);
}

int32_t CDeviceSet::SetRenderState(int32_t state)
{
    for (const auto& endpoint : m_render) {
        endpoint->SetState(state);
    }
    return 0;
}

int32_t CDeviceSet::SetCaptureState(int32_t state)
{
    HRESULT last = S_OK;
    for (const auto& endpoint : m_capture) {
        last = endpoint->SetState(state);
    }
    return last;
}

int32_t CDeviceSet::ActiveRender() const
{
    return ActiveOf(m_render);
}

int32_t CDeviceSet::ActiveCapture() const
{
    return ActiveOf(m_capture);
}

int32_t CDeviceSet::LongestReportedLatency(StreamDirection direction) const
{
    int32_t longest = 0;
    if (direction == StreamDirection::Render) {
        for (const auto& endpoint : m_render) {
            longest = std::max(longest, endpoint->ReportedLatencyFrames());
        }
    } else {
        for (const auto& endpoint : m_capture) {
            longest = std::max(longest, endpoint->ReportedLatencyFrames());
        }
    }
    return longest;
}
