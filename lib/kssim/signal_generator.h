#pragma once

// What a capture pin delivers: a pure function of the byte position in the
// pin's stream, so the data of a read depends only on where it lies on the
// device's timeline (frames the device dropped show up as a jump).

#include "kssim.h"
#include "device_wav_files.h"

#include <cstdint>

namespace kssim::detail {

struct SignalSource {
    Signal signal = Signal::Ramp;
    unsigned frequency = 1000;
    const CaptureClip* clip = nullptr;  // Signal::WavFile
    WORD channels = 2;
    WORD bitsPerSample = 16;            // container size: 8, 16, 24 or 32
    WORD validBits = 0;                 // of the container's bits; 0: all
    bool isFloat = false;               // IEEE float samples (32-bit container)
    DWORD sampleRate = 48000;
};

// Fills size bytes of the stream starting at byte position position.
// Positions count from the pin instance's creation; frame n is the bytes
// [n * blockAlign, (n + 1) * blockAlign).
void GenerateCapture(const SignalSource& source, int64_t position, uint8_t* destination, size_t size);

// One sample of the ramp in its container, little-endian: frame n, channel c.
//   8 bits:  (n + 0x10 * c) mod 256, unsigned
//   16 bits: v = (n + 0x1000 * c) mod 65536
//   24 bits: v << 8   (bytes 00, low(v), high(v))
//   32 bits: v << 16  (bytes 00, 00, low(v), high(v)), also with 24 valid bits
//   float:   v as a signed 16-bit sample over 32768 (v << 16 over 2^31)
uint32_t RampSample(int64_t frame, unsigned channel, WORD bitsPerSample, bool isFloat = false);

}  // namespace kssim::detail
