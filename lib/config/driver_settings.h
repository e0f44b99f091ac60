#pragma once

#include <cstdint>
#include <map>
#include <set>
#include <string>

// Per-device settings of the "in" and "out" lists: eight 32-bit fields, copied
// by value into every open device record.
struct DeviceSettings {
    int32_t maximumChannels = 0;
    int32_t channelLinkLeft = 0;
    int32_t channelLinkRight = 0;
    int32_t minimumSampleFrequency = 0;
    int32_t maximumSampleFrequency = 44100;
    int32_t minimumBitsPerSample = 16;
    int32_t maximumBitsPerSample = 16;
    float outLatency = 0.0f;
};
static_assert(sizeof(DeviceSettings) == 32, "eight 32-bit fields");

// Devices by name, in byte-wise name order.
using DeviceSettingsTable = std::map<std::string, DeviceSettings>;

inline constexpr int32_t kFewestRequestsInFlight = 2;
inline constexpr int32_t kMostRequestsInFlight = 8;

// The form of the samples in the host's buffers.
enum class HostSampleType { Int16, Int24, Int32, Float32 };

// The loaded global settings and both device lists.
struct DriverSettings {
    int32_t blockFrames = 512;
    int32_t inputLatency = 0;
    int32_t outputLatency = 0;
    int32_t sampleRate = 44100;
    int32_t bitsPerSample = 16;
    // From "BitSpersample" and "SampleFormat".
    HostSampleType hostSampleType = HostSampleType::Int16;
    float volume = 1.0f;
    // Blocks each device is given ahead (render) or asked for ahead (capture),
    // kFewestRequestsInFlight to kMostRequestsInFlight.
    int32_t requestsInFlight = kFewestRequestsInFlight;
    // "TraceFile": anything but 0 writes the trace to a file in the settings
    // folder as well.
    bool traceFile = false;
    // "DriftCompensation": every device but the clock master is resampled to
    // the master's clock; only 0 turns it off.
    bool driftCompensation = true;
    // "ClockMaster": the unique name of the device (render or capture) whose
    // clock the others follow, as the device lists store names; empty for
    // the first render device.
    std::string clockMaster;
    DeviceSettingsTable inputDevices;
    DeviceSettingsTable outputDevices;
    // Listed devices whose own "inDriftCompensation" / "outDriftCompensation"
    // is 0: they play or record on their own clock.
    std::set<std::string> uncompensatedInputs;
    std::set<std::string> uncompensatedOutputs;
};
