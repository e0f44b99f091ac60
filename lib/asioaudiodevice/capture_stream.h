#pragma once

#include <cstddef>
#include <cstdint>

// The read side of an open capture device. The pin delivers frames of its
// data range's channel count at the configured depth, the engine takes
// 16-bit frames of the channel count in the device's settings; when the two
// differ, reads land here and are converted. A read still held by the pin
// (it timed out) is remembered, so that it is taken back before its request
// and buffer are used again or the pin is closed.
class CaptureStream {
public:
    CaptureStream(uint16_t pinChannels, uint16_t bytesPerSample, uint16_t channels);
    ~CaptureStream();
    CaptureStream(const CaptureStream&) = delete;
    CaptureStream& operator=(const CaptureStream&) = delete;

    bool Converts() const { return m_pinChannels != m_channels || m_bytesPerSample != 2; }
    // Bytes of one frame as the pin delivers it and as the engine takes it.
    size_t PinFrameBytes() const { return static_cast<size_t>(m_pinChannels) * m_bytesPerSample; }
    size_t FrameBytes() const { return static_cast<size_t>(m_channels) * 2; }

    // A buffer of at least `bytes` for the pin to read into; grown only for a
    // block larger than any before. Null when memory is short.
    uint8_t* Samples(size_t bytes);
    // Converts `frames` frames read into Samples() into the engine's form.
    void DeliverFrames(size_t frames, void* destination) const;
    // The same from frames in the pin's form held elsewhere (16-bit frames of
    // the engine's form are copied as they are).
    void DeliverFramesFrom(const uint8_t* source, size_t frames, void* destination) const;

    bool IsReadPending() const { return m_bReadPending; }
    void SetReadPending(bool pending) { m_bReadPending = pending; }

private:
    uint16_t m_pinChannels;
    uint16_t m_bytesPerSample;
    uint16_t m_channels;
    uint8_t* m_pSamples;
    size_t m_cbSamples;
    bool m_bReadPending;
};
