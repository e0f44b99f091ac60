#pragma once

#include "capture_endpoint.h"
#include "device_catalogue.h"
#include "device_open_report.h"
#include "driver_settings.h"
#include "render_endpoint.h"

#include <memory>
#include <vector>

// What a direction is opened with.
struct OpenRequest {
    double sampleRate = 44100.0;
    int32_t bitsPerSample = 16;  // the depth a 16-bit host asks its devices for first
    const DeviceSettingsTable* devices = nullptr;  // the configured devices of the direction, by name
    SampleFormat hostFormat = SampleFormat::Int16;  // the form of the host's buffers
};

// The open devices of the driver: the render and the capture endpoints by
// position (in the byte-wise order of their unique names), and the catalogue
// they were found in. The host sees the channels of all render endpoints as
// its outputs and those of all capture endpoints as its inputs, numbered in
// that order.
//
// The host's thread opens, closes and changes states, under the driver's
// device lock; the engine reaches the endpoints only while it streams.
class CDeviceSet {
public:
    CDeviceSet();
    // Closes every endpoint (capture first: a capture pin belongs to its
    // filter, which the catalogue deletes).
    ~CDeviceSet();
    CDeviceSet(const CDeviceSet&) = delete;
    CDeviceSet& operator=(const CDeviceSet&) = delete;

    const CDeviceCatalogue& Catalogue() const { return m_catalogue; }
    // Refreshes the catalogue's filters of both directions. Capture pins
    // belong to the filters it replaces: open capture devices are closed
    // first.
    void EnumerateFilters();

    // Closes what the direction has open, rescans it and opens the
    // configured devices found; true when at least one channel was opened.
    // Every configured device gets its report: open, or why not.
    bool OpenRender(const OpenRequest& request);
    bool OpenCapture(const OpenRequest& request);
    // Closing a direction drops its reports too.
    void CloseRender();
    void CloseCapture();

    // The configured devices of the latest opens, the "out" list and then
    // the "in" list, each in name order (blank names left out).
    std::vector<DeviceOpenReport> Reports() const;
    // Whether every open device of both directions takes the rate, as its
    // audio ranges say.
    bool OpenDevicesTake(double rate) const;

    const std::vector<std::unique_ptr<CRenderEndpoint>>& Render() const { return m_render; }
    const std::vector<std::unique_ptr<CCaptureEndpoint>>& Capture() const { return m_capture; }
    // Channels over the open endpoints of a direction.
    int32_t OutputChannels() const;
    int32_t InputChannels() const;

    // A state request to every open pin of a direction. Render answers 0;
    // capture the answer of the last device asked (0 when none).
    int32_t SetRenderState(int32_t state);
    int32_t SetCaptureState(int32_t state);
    int32_t ActiveRender() const;
    int32_t ActiveCapture() const;
    // Every pin is asked to give its requests back, and all are waited for
    // by one deadline: after a stream, so that nothing stays with a pin.
    void TakeBackAll();
    // The longest buffering the open pins of a direction report, in frames.
    int32_t LongestReportedLatency(StreamDirection direction) const;

private:
    // Each answers what became of the device and fills the report of an
    // open one.
    DeviceOutcome OpenRenderDevice(const std::string& name, const ScannedDevice& scanned, const DeviceSettings& device,
                                   const OpenRequest& request, DeviceOpenReport& report);
    DeviceOutcome OpenCaptureDevice(const std::string& name, const ScannedDevice& scanned,
                                    const DeviceSettings& device, const OpenRequest& request, DeviceOpenReport& report);

    CDeviceCatalogue m_catalogue;
    std::vector<std::unique_ptr<CRenderEndpoint>> m_render;
    std::vector<std::unique_ptr<CCaptureEndpoint>> m_capture;
    std::vector<DeviceOpenReport> m_renderReports;
    std::vector<DeviceOpenReport> m_captureReports;
};
