#include "capture_stream.h"

#include "sample_conversion.h"

#include <cstring>
#include <new>

CaptureStream::CaptureStream(uint16_t pinChannels, uint16_t bytesPerSample, uint16_t channels)
    : m_pinChannels(pinChannels),
      m_bytesPerSample(bytesPerSample),
      m_channels(channels),
      m_pSamples(nullptr),
      m_cbSamples(0),
      m_bReadPending(false)
{
}

CaptureStream::~CaptureStream()
{
    delete[] m_pSamples;
}

uint8_t* CaptureStream::Samples(size_t bytes)
{
    if (bytes > m_cbSamples || !m_pSamples) {
        // Never null for an empty read: a null buffer means memory is short.
        auto* samples = new (std::nothrow) uint8_t[bytes ? bytes : 1];
        if (!samples) {
            return nullptr;
        }
        delete[] m_pSamples;
        m_pSamples = samples;
        m_cbSamples = bytes;
    }
    return m_pSamples;
}

void CaptureStream::DeliverFrames(size_t frames, void* destination) const
{
    DeliverFramesFrom(m_pSamples, frames, destination);
}

void CaptureStream::DeliverFramesFrom(const uint8_t* source, size_t frames, void* destination) const
{
    if (!Converts()) {
        std::memcpy(destination, source, frames * FrameBytes());
        return;
    }
    FramesTo16(source, m_pinChannels, m_bytesPerSample, frames, static_cast<int16_t*>(destination), m_channels);
}
