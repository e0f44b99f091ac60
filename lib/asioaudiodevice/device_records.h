#pragma once

#include "directks.h"
#include "driver_settings.h"

#include <cstdint>
#include <map>
#include <string>

class RingBuffer;
class RenderStream;
class CaptureStream;

// A render device: as scanned (filter and data range set, no pin) or open
// (pin, delay line and stream set; no filter, no data range).
struct RenderDeviceRecord {
    int32_t index = 0;                   // 0-based; the key is "TelvaraDevice" + (index + 1)
    CKsAudPin* pin = nullptr;            // the open render pin, owned by the record
    KSDATARANGE_AUDIO dataRange = {};    // copied at scan time
    int32_t sampleRate = 0;
    uint16_t bitsPerSample = 0;
    uint16_t channels = 0;               // scanned: the range's maximum; open: the settings' count
    char asioName[500] = {};             // the internal key of an open device
    char friendlyName[500] = {};         // the unique name
    bool active = false;                 // the last state request succeeded; streams only while set
    float outLatency = 0.0f;             // output delay factor from the settings
    CKsAudRenFilter* filter = nullptr;   // scanned records; owned by the render enumerator
    RingBuffer* ringBuffer = nullptr;    // the delay line, owned by the open record
    DeviceSettings settings = {};
    RenderStream* stream = nullptr;      // stream requests and sample form, owned by the open record
};

// A capture device, scanned or open; a capture pin stays owned by its filter.
struct CaptureDeviceRecord {
    int32_t index = 0;
    CKsAudPin* pin = nullptr;
    KSDATARANGE_AUDIO dataRange = {};
    int32_t sampleRate = 0;
    uint16_t bitsPerSample = 0;
    uint16_t channels = 0;               // scanned: the range's maximum; open: the settings' count
    char asioName[500] = {};
    char friendlyName[500] = {};
    CKsAudCapFilter* filter = nullptr;   // scanned records; owned by the capture enumerator
    bool active = false;
    DeviceSettings settings = {};
    CaptureStream* stream = nullptr;     // read state and sample form, owned by the open record
};

// One scanned device name: the part of a direction the device lacks is all zero.
struct DeviceEntry {
    RenderDeviceRecord render;
    CaptureDeviceRecord capture;
};

// Scanned devices by unique name, in byte-wise order.
using DeviceTable = std::map<std::string, DeviceEntry>;
// Open devices by internal key ("TelvaraDevice1", ...); looked up without
// building a string, so the per-cycle look-up allocates nothing.
using RenderDeviceTable = std::map<std::string, RenderDeviceRecord, std::less<>>;
using CaptureDeviceTable = std::map<std::string, CaptureDeviceRecord, std::less<>>;
