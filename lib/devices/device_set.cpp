#include "device_set.h"

#include "debug_trace.h"
#include "device_texts.h"
#include "format_choice.h"
#include "pin_instances.h"
#include "request_completion.h"
#include "sample_conversion.h"

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <exception>
#include <initializer_list>

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
// channels at the requested depth: Open, or why not. A depth that cannot be
// streamed is the format's fault; too many channels the device's.
DeviceOutcome Openable(const std::string& name, const OpenRequest& request, int32_t channels, int32_t total)
{
    // Only a 16-bit host asks for the configured depth.
    if (request.hostFormat == SampleFormat::Int16 && !BytesPerSample(request.bitsPerSample)) {
        TraceSkip(name, DeviceTexts::kSkipDepth);
        return DeviceOutcome::FormatRefused;
    }
    if (!ChannelsFit(channels, total)) {
        TraceSkip(name, DeviceTexts::kSkipChannels);
        return DeviceOutcome::Unusable;
    }
    return DeviceOutcome::Open;
}

FormatRequest FormatOf(const OpenRequest& request, uint16_t pinChannels)
{
    return FormatRequest{request.hostFormat, request.bitsPerSample, pinChannels, static_cast<int32_t>(request.sampleRate)};
}

// Every device the request names, in the byte-wise order of the names,
// with the direction's part the catalogue found for it (null: not found). An
// empty name is a blank item of the list, never a device the user chose: the
// panel does not show devices without a name.
template <typename Visit>
void ForEachConfigured(const DeviceTable& devices, const OpenRequest& request, ScannedDevice DeviceEntry::*part,
                       Visit visit)
{
    for (const auto& [name, settings] : *request.devices) {
        if (name.empty()) {
            continue;
        }
        const auto found = devices.find(name);
        const ScannedDevice* scanned =
            found != devices.end() && (found->second.*part).filter ? &(found->second.*part) : nullptr;
        visit(name, scanned, settings);
    }
}

// The rates the direction's streaming pins of a filter take, one span per
// audio range. Read before a pin is created: nothing may fail between the
// pin and its endpoint.
std::vector<RateSpan> RatesOf(CKsFilter& filter, StreamDirection direction)
{
    std::vector<RateSpan> rates;
    KsList<CKsPin>& pins = direction == StreamDirection::Render ? filter.m_RenderSinkPins : filter.m_CaptureSinkPins;
    for (auto* pinItem = pins.m_pHead; pinItem; pinItem = pinItem->pNext) {
        auto* pin = static_cast<CKsAudPin*>(pinItem->pData);
        for (auto* rangeItem = pin->m_DataRanges.m_pHead; rangeItem; rangeItem = rangeItem->pNext) {
            const KSDATARANGE_AUDIO& range = *rangeItem->pData;
            rates.push_back({range.MinimumSampleFrequency, range.MaximumSampleFrequency});
        }
    }
    return rates;
}

bool SpansTake(const std::vector<RateSpan>& rates, int32_t rate)
{
    return std::any_of(rates.begin(), rates.end(), [rate](const RateSpan& span) {
        return static_cast<uint32_t>(rate) >= span.lowest && static_cast<uint32_t>(rate) <= span.highest;
    });
}

// The rate a device whose ranges do not take the host's rate runs at
// instead: of the rates devices commonly run at and the ends of its ranges,
// those its ranges take, the closest to the host's by their ratio (within
// what the resampler converts); 0 when there is none.
int32_t OwnRate(const std::vector<RateSpan>& rates, int32_t hostRate)
{
    std::vector<uint32_t> candidates = {8000,  11025, 16000, 22050, 24000,  32000,
                                        44100, 48000, 88200, 96000, 176400, 192000};
    for (const RateSpan& span : rates) {
        candidates.push_back(span.lowest);
        candidates.push_back(span.highest);
    }
    int32_t best = 0;
    double bestDistance = std::log(kMostRateRatio);
    for (const uint32_t candidate : candidates) {
        if (candidate == 0 || candidate > 0x7fffffffu || !SpansTake(rates, static_cast<int32_t>(candidate))) {
            continue;
        }
        const double distance = std::fabs(std::log(static_cast<double>(candidate) / hostRate));
        if (distance < bestDistance) {
            bestDistance = distance;
            best = static_cast<int32_t>(candidate);
        }
    }
    return best;
}

// A pin at the host's rate; for a device whose ranges do not take that rate
// and refused it, a pin at its own rate (OwnRate), resampled, when it takes
// that: traced, and the report says so.
OpenedPin OpenAtSomeRate(CKsAudFilter* filter, StreamDirection direction, const FormatRequest& format,
                         const std::vector<RateSpan>& rates, const std::string& name, DeviceOpenReport& report)
{
    OpenedPin opened = OpenPinInBestFormat(filter, direction, format, name);
    if (opened.pin || rates.empty() || SpansTake(rates, format.sampleRate)) {
        return opened;
    }
    const int32_t own = OwnRate(rates, format.sampleRate);
    if (own == 0) {
        return opened;
    }
    FormatRequest atOwnRate = format;
    atOwnRate.sampleRate = own;
    opened = OpenPinInBestFormat(filter, direction, atOwnRate, name);
    if (opened.pin) {
        opened.format.hostRate = format.sampleRate;
        report.ownRate = own;
        DebugTrace("%s: does not take %d Hz; it runs at its own %d Hz, resampled\n", name.c_str(),
                   static_cast<int>(format.sampleRate), static_cast<int>(own));
    }
    return opened;
}

bool AnswerMeans(HRESULT answer, std::initializer_list<DWORD> errors)
{
    for (DWORD error : errors) {
        if (answer == HRESULT_FROM_WIN32(error)) {
            return true;
        }
    }
    return false;
}

// Why no pin could be created on the filter: the driver's answer to the
// latest creation tells a pin in use (as Windows answers for a pin another
// program holds) and a device that went away; the instance counts, asked
// again, tell a pin in use too; otherwise the device refused the rate when
// none of its ranges takes it, else the format.
DeviceOutcome WhyNoPin(CKsFilter& filter, StreamDirection direction, const std::vector<RateSpan>& rates, int32_t rate)
{
    const HRESULT answer = filter.m_hrLastPinCreation;
    if (AnswerMeans(answer, {ERROR_BAD_COMMAND}) || AllInstancesTakenNow(filter, direction)) {
        return DeviceOutcome::Busy;
    }
    if (AnswerMeans(answer, {ERROR_DEVICE_REMOVED, ERROR_DEVICE_NOT_CONNECTED})) {
        return DeviceOutcome::Gone;
    }
    if (!rates.empty() && !SpansTake(rates, rate)) {
        return DeviceOutcome::RateRefused;
    }
    return DeviceOutcome::FormatRefused;
}

void TraceOutcome(const DeviceOpenReport& report)
{
    if (report.outcome != DeviceOutcome::Open) {
        TraceSkip(report.name, OutcomeText(report).c_str());
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
        m_renderReports.clear();
        m_catalogue.ScanRenderDevices();
        ForEachConfigured(m_catalogue.Devices(), request, &DeviceEntry::render,
                          [&](const std::string& name, const ScannedDevice* scanned, const DeviceSettings& device) {
                              DeviceOpenReport report;
                              report.name = name;
                              report.direction = StreamDirection::Render;
                              report.sampleRate = static_cast<int32_t>(request.sampleRate);
                              report.outcome = scanned ? OpenRenderDevice(name, *scanned, device, request, report)
                                                       : DeviceOutcome::Gone;
                              TraceOutcome(report);
                              m_renderReports.push_back(std::move(report));
                          });
        DebugTrace(DeviceTexts::kRenderDevicesOpened, static_cast<int>(OutputChannels()));
        return OutputChannels() > 0;
    } catch (const std::exception& e) {
        DebugTrace(DeviceTexts::kOpenRenderError, e.what(), static_cast<unsigned>(E_OUTOFMEMORY));
        CloseRender();
        return false;
    }
}

DeviceOutcome CDeviceSet::OpenRenderDevice(const std::string& name, const ScannedDevice& scanned,
                                           const DeviceSettings& device, const OpenRequest& request,
                                           DeviceOpenReport& report)
{
    const DeviceOutcome openable = Openable(name, request, device.maximumChannels, OutputChannels());
    if (openable != DeviceOutcome::Open) {
        return openable;
    }
    const auto channels = static_cast<uint16_t>(device.maximumChannels);
    const auto rate = static_cast<int32_t>(request.sampleRate);
    auto* filter = static_cast<CKsAudRenFilter*>(scanned.filter);
    std::vector<RateSpan> rates = RatesOf(*filter, StreamDirection::Render);
    m_render.reserve(m_render.size() + 1);  // nothing may fail between the pin and its endpoint
    filter->m_hrLastPinCreation = S_OK;
    OpenedPin opened = OpenAtSomeRate(filter, StreamDirection::Render, FormatOf(request, channels), rates, name, report);
    if (!opened.pin) {
        return WhyNoPin(*filter, StreamDirection::Render, rates, rate);
    }
    opened.format.channels = channels;
    m_render.push_back(
        std::make_unique<CRenderEndpoint>(name, static_cast<int>(m_render.size()), opened.pin, opened.format, device));
    const DeviceKey key(m_render.size() - 1);
    DebugTrace(DeviceTexts::kRenderDeviceOpened, key.text, key.text, device.channelLinkLeft, device.channelLinkRight);
    report.format = DescribeEndpointFormat(m_render.back()->Format());
    report.transport = m_render.back()->TransportDescription();
    if (report.transport != "standard streaming") {
        DebugTrace("%s: %s\n", name.c_str(), report.transport.c_str());
    }
    report.rates = std::move(rates);
    return DeviceOutcome::Open;
}

bool CDeviceSet::OpenCapture(const OpenRequest& request)
{
    try {
        // Capture pins belong to the filters the scan replaces.
        if (!m_capture.empty()) {
            CloseCapture();
        }
        m_captureReports.clear();
        m_catalogue.ScanCaptureDevices();
        ForEachConfigured(m_catalogue.Devices(), request, &DeviceEntry::capture,
                          [&](const std::string& name, const ScannedDevice* scanned, const DeviceSettings& device) {
                              DeviceOpenReport report;
                              report.name = name;
                              report.direction = StreamDirection::Capture;
                              report.sampleRate = static_cast<int32_t>(request.sampleRate);
                              report.outcome = scanned ? OpenCaptureDevice(name, *scanned, device, request, report)
                                                       : DeviceOutcome::Gone;
                              TraceOutcome(report);
                              m_captureReports.push_back(std::move(report));
                          });
        return InputChannels() > 0;
    } catch (const std::exception& e) {
        DebugTrace(DeviceTexts::kOpenCaptureError, e.what(), static_cast<unsigned>(E_OUTOFMEMORY));
        CloseCapture();
        return false;
    }
}

DeviceOutcome CDeviceSet::OpenCaptureDevice(const std::string& name, const ScannedDevice& scanned,
                                            const DeviceSettings& device, const OpenRequest& request,
                                            DeviceOpenReport& report)
{
    const DeviceOutcome openable = Openable(name, request, device.maximumChannels, InputChannels());
    if (openable != DeviceOutcome::Open) {
        return openable;
    }
    auto* filter = static_cast<CKsAudCapFilter*>(scanned.filter);
    // The range read again: the pin takes its channel count, the host the
    // count of the settings.
    const KSDATARANGE_AUDIO* range = filter->GetKsAudioDataRange();
    if (!range) {
        TraceSkip(name, DeviceTexts::kSkipNoRange);
        return DeviceOutcome::Unusable;
    }
    if (range->MaximumChannels > 0xFFFF) {
        TraceSkip(name, DeviceTexts::kSkipChannels);
        return DeviceOutcome::Unusable;
    }
    const auto pinChannels = static_cast<uint16_t>(range->MaximumChannels);
    const auto rate = static_cast<int32_t>(request.sampleRate);
    std::vector<RateSpan> rates = RatesOf(*filter, StreamDirection::Capture);
    m_capture.reserve(m_capture.size() + 1);
    filter->m_hrLastPinCreation = S_OK;
    OpenedPin opened =
        OpenAtSomeRate(filter, StreamDirection::Capture, FormatOf(request, pinChannels), rates, name, report);
    if (!opened.pin) {
        return WhyNoPin(*filter, StreamDirection::Capture, rates, rate);
    }
    opened.format.channels = static_cast<uint16_t>(device.maximumChannels);
    m_capture.push_back(
        std::make_unique<CCaptureEndpoint>(name, static_cast<int>(m_capture.size()), opened.pin, opened.format, device));
    report.format = DescribeEndpointFormat(m_capture.back()->Format());
    report.transport = m_capture.back()->TransportDescription();
    if (report.transport != "standard streaming") {
        DebugTrace("%s: %s\n", name.c_str(), report.transport.c_str());
    }
    report.rates = std::move(rates);
    return DeviceOutcome::Open;
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
    m_renderReports.clear();
    CloseAll(m_render);
    DebugTrace("%s", DeviceTexts::kRenderDevicesClosed);
}

void CDeviceSet::CloseCapture()
{
    m_captureReports.clear();
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

std::vector<DeviceOpenReport> CDeviceSet::Reports() const
{
    std::vector<DeviceOpenReport> reports = m_renderReports;
    reports.insert(reports.end(), m_captureReports.begin(), m_captureReports.end());
    return reports;
}

bool CDeviceSet::OpenDevicesTake(double rate) const
{
    const auto takes = [rate](const DeviceOpenReport& report) {
        return report.outcome != DeviceOutcome::Open || TakesRate(report, rate);
    };
    return std::all_of(m_renderReports.begin(), m_renderReports.end(), takes) &&
           std::all_of(m_captureReports.begin(), m_captureReports.end(), takes);
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
