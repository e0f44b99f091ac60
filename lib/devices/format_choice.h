#pragma once

#include "endpoint_format.h"
#include "stream_direction.h"

#include <cstdint>
#include <string>

class CKsAudFilter;
class CKsAudPin;

// What a device is asked to stream with.
struct FormatRequest {
    SampleFormat host = SampleFormat::Int16;  // the form of the host's buffers
    // The depth a 16-bit host has always asked its devices for first
    // ("BitSpersample": 8 or 16, or any depth of integer PCM).
    int32_t bitsPerSample = 16;
    uint16_t pinChannels = 2;
    int32_t sampleRate = 44100;
};

struct OpenedPin {
    CKsAudPin* pin = nullptr;  // null: no format was taken
    EndpointFormat format;     // the pin's side of it; `channels` is left to the caller
};

// Creates a pin of the filter (a render filter for Render, a capture
// filter for Capture) in the best format its data ranges offer for the
// host's form. The candidates, best first: for a 16-bit host 16 bits, then
// 24 in 32, 24, 32 and float; for a 24-bit host 24 in 32, 24, 32, float,
// 16; for a 32-bit host 32, float, 24 in 32, 24, 16; for a float host
// float, 32, 24 in 32, 24, 16. Each is asked for as WAVEFORMATEXTENSIBLE
// and then, where Windows allows it, as a plain format. Candidates no data
// range covers are not tried; a pin that claims a format and refuses it
// gets the next one. A 16-bit host asks first exactly as it always has (the
// requested format at bitsPerSample and its plain-PCM fallback), whatever
// the ranges say, so devices that always opened open the same way. Pins of
// a WaveRT filter (real-time alias) are made with the looped-streaming
// interface, all others with standard streaming.
//
// At most a dozen creations, each answered at once by the driver. The
// format taken is traced with the device's name.
OpenedPin OpenPinInBestFormat(CKsAudFilter* filter, StreamDirection direction, const FormatRequest& request,
                              const std::string& name);
