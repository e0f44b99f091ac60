#pragma once

#include "stream_direction.h"

#include <cstdint>
#include <string>
#include <vector>

// What became of a configured device when its direction was opened.
enum class DeviceOutcome {
    Open,
    Busy,           // every instance of its streaming pin is taken: another program uses it
    RateRefused,    // none of its audio ranges takes the sample rate
    FormatRefused,  // the rate lies in its ranges, but the pin refused the format asked
    Gone,           // not found by the scan, or removed while it was being opened
    Unusable,       // found, but it cannot stream here (no audio range, too many channels)
};

// Sample rates one audio range takes, in Hz, both ends included.
struct RateSpan {
    uint32_t lowest = 0;
    uint32_t highest = 0;
};

// One configured device after the latest open of its direction.
struct DeviceOpenReport {
    std::string name;  // as the settings list it
    StreamDirection direction = StreamDirection::Render;
    DeviceOutcome outcome = DeviceOutcome::Gone;
    int32_t sampleRate = 0;       // the rate it was asked for
    std::string format;           // open: what it streams (DescribeEndpointFormat)
    std::string transport;        // open: how it streams (standard requests, or a WaveRT buffer)
    std::vector<RateSpan> rates;  // open: the rates its ranges take; empty when it names none
    int32_t ownRate = 0;          // open at its own rate, resampled, as its ranges do not take sampleRate
};

// The most a device's own rate may lie from the host's, either way (a
// factor): the resampler's reach.
inline constexpr double kMostRateRatio = 8.0;

// Whether an open device takes the rate: the rate it is open at, or one
// inside a span of its ranges. A device whose ranges name no rate is taken
// at its word; one open at its own rate is resampled to any.
bool TakesRate(const DeviceOpenReport& report, double rate);

// "open, 16 bit, 2 ch, 44100 Hz", "open, 16 bit, 2 ch, 48000 Hz, WaveRT,
// FIFO 64 frames", "in use by another program", "does not take 96000 Hz", ...
std::string OutcomeText(const DeviceOpenReport& report);

// One line per device, "out" list first: "out  Speakers: open, 16 bit, 2 ch,
// 44100 Hz"; "(no devices configured)" for none.
std::string OpenReportText(const std::vector<DeviceOpenReport>& reports);
