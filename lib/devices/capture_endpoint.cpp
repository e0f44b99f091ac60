#include "capture_endpoint.h"

#include "sample_conversion.h"

#include <algorithm>
#include <cstring>

CCaptureEndpoint::CCaptureEndpoint(std::string name, int index, CKsAudPin* pin, const EndpointFormat& format,
                                   const DeviceSettings& settings)
    : CEndpoint(StreamDirection::Capture, std::move(name), index, pin, format, settings)
{
}

bool CCaptureEndpoint::PrepareStream(int32_t frames, int inFlight, HANDLE activity, SampleFormat hostFormat)
{
    if (frames <= 0 || inFlight < 1) {
        return false;
    }
    m_frames = frames;
    const EndpointFormat& format = Format();
    m_hostFormat = hostFormat;
    m_pinFormat = PinSampleFormat(format);
    const auto blockBytes = static_cast<uint32_t>(frames) * format.pinChannels * format.bytesPerSample;
    // One read more than the blocks in flight: when the engine wakes for the
    // one that came, `inFlight` more are still queued.
    return PrepareTransport(inFlight, inFlight + 1, blockBytes, {blockBytes}, activity);
}

HRESULT CCaptureEndpoint::AskForAll()
{
    const HRESULT hr = m_transport->AskForAll();
    if (FAILED(hr)) {
        Counters().failedRequests.fetch_add(1, std::memory_order_relaxed);
    }
    return hr;
}

bool CCaptureEndpoint::HasArrived()
{
    uint32_t filled = 0;
    HRESULT outcome = S_OK;
    return m_transport->OldestArrived(&filled, &outcome) != nullptr;
}

HRESULT CCaptureEndpoint::Deliver(uint8_t* const* destinations)
{
    uint32_t filled = 0;
    HRESULT outcome = S_OK;
    const uint8_t* frames = m_transport->OldestArrived(&filled, &outcome);
    if (!frames) {
        return E_PENDING;
    }
    if (FAILED(outcome)) {
        Counters().failedRequests.fetch_add(1, std::memory_order_relaxed);
        return outcome;
    }
    const EndpointFormat& format = Format();
    const size_t frameBytes = static_cast<size_t>(format.pinChannels) * format.bytesPerSample;
    // Frames the pin did not fill are silence, never what the buffer held.
    const size_t arrived = frameBytes ? std::min<size_t>(m_frames, filled / frameBytes) : 0;
    const size_t hostBytes = BytesOf(m_hostFormat);
    for (uint16_t c = 0; c < format.channels; ++c) {
        uint8_t* destination = destinations[c];
        if (!destination) {
            continue;
        }
        if (c < format.pinChannels) {
            ConvertSamples(m_pinFormat, frames + static_cast<size_t>(c) * format.bytesPerSample, frameBytes, m_hostFormat,
                           destination, hostBytes, arrived);
            std::memset(destination + arrived * hostBytes, 0, (static_cast<size_t>(m_frames) - arrived) * hostBytes);
        } else {
            std::memset(destination, 0, static_cast<size_t>(m_frames) * hostBytes);
        }
    }
    const HRESULT again = m_transport->AskAgain();
    if (FAILED(again)) {
        Counters().failedRequests.fetch_add(1, std::memory_order_relaxed);
    }
    return again;
}

void CCaptureEndpoint::Miss(uint8_t* const* destinations)
{
    Silence(destinations);
    Counters().missedBlocks.fetch_add(1, std::memory_order_relaxed);
}

void CCaptureEndpoint::Silence(uint8_t* const* destinations) const
{
    // Silence is all zero bytes in every host form, float included.
    for (uint16_t c = 0; c < Format().channels; ++c) {
        if (destinations[c]) {
            std::memset(destinations[c], 0, static_cast<size_t>(m_frames) * BytesOf(m_hostFormat));
        }
    }
}
