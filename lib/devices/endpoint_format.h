#pragma once

#include "sample_conversion.h"

#include <cstdint>
#include <string>

// What an open device streams with: its channels as the host sees them, and
// the wave format its pin was created with.
struct EndpointFormat {
    uint16_t channels = 0;        // the device's channels as the host sees them (its settings)
    uint16_t pinChannels = 0;     // channels of the pin's frames
    uint16_t bytesPerSample = 2;  // the container of one of the pin's samples
    int32_t sampleRate = 0;
    uint16_t validBits = 0;       // of the container's bits; 0: all of them
    bool isFloat = false;         // IEEE float samples
    bool extensible = false;      // asked for with WAVEFORMATEXTENSIBLE (else a plain format)
    // The host's rate when the device could not run at it and runs at its
    // own (sampleRate), resampled; 0 when it runs at the host's.
    int32_t hostRate = 0;
};

// The form of the pin's samples.
SampleFormat PinSampleFormat(const EndpointFormat& format);

// The pin's format as people read it, for traces and diagnostics:
// "24-in-32 bit integer, 2 ch, 48000 Hz", "32 bit float, 2 ch, 96000 Hz".
std::string DescribeEndpointFormat(const EndpointFormat& format);
