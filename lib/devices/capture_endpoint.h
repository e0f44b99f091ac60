#pragma once

#include "endpoint.h"

#include <vector>

// An open capture device: the endpoint and the reads it keeps queued on its
// pin, so that a late cycle finds the frames waiting instead of lost. Each
// cycle the oldest read, once the pin has given it back, is spread over the
// host's input buffers and asked for again at the back. The pin's frames
// have the channels of its data range; the host sees the channels of the
// device's settings: those the pin does not have are silent. Each sample
// goes from the pin's form through the internal form (int32 at full scale)
// into the host's form once.
class CCaptureEndpoint : public CEndpoint {
public:
    CCaptureEndpoint(std::string name, int index, CKsAudPin* pin, const EndpointFormat& format,
                     const DeviceSettings& settings);

    // `inFlight` reads of `frames` frames and one more, all kept queued (a
    // hiccup of the engine right after one came finds `inFlight` queued
    // behind it); give-backs signal `activity`
    // (null: the endpoint's own event); the host's buffers hold
    // `hostFormat`. False when memory is short.
    bool PrepareStream(int32_t frames, int inFlight, HANDLE activity = nullptr,
                       SampleFormat hostFormat = SampleFormat::Int16);

    // Engine thread, each cycle.
    // Asks for every read not yet asked for.
    HRESULT AskForAll();
    // The oldest read has come back from the pin.
    bool HasArrived();
    // Spreads the oldest read over `destinations` (one per channel of the
    // device; null leaves the channel out), frames the pin did not fill as
    // silence, and asks for the read again. A failure of the pin is answered.
    HRESULT Deliver(uint8_t* const* destinations);
    // The host gets silence for this cycle, counted as a miss or not.
    void Miss(uint8_t* const* destinations);
    void Silence(uint8_t* const* destinations) const;

private:
    int32_t m_frames = 0;
    SampleFormat m_hostFormat = SampleFormat::Int16;
    SampleFormat m_pinFormat = SampleFormat::Int16;
};
