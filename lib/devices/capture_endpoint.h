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
//
// A resampled capture device (one that follows another's clock) is asked
// for reads of the device frames that make one host block at the current
// ratio, so that it still gives one read per cycle of the master: each
// read goes through the resampler into a short queue of host frames, from
// which the host takes its block.
class CCaptureEndpoint : public CEndpoint {
public:
    CCaptureEndpoint(std::string name, int index, CKsAudPin* pin, const EndpointFormat& format,
                     const DeviceSettings& settings);

    // `inFlight` reads of `frames` frames and one more, all kept queued (a
    // hiccup of the engine right after one came finds `inFlight` queued
    // behind it); give-backs signal `activity`
    // (null: the endpoint's own event); the host's buffers hold
    // `hostFormat`. `resamplable`: the device's clock may be followed, so
    // its reads get room for longer ones; a device at its own rate
    // (ConvertsRate) is resampled from here on, its reads about as many of
    // its frames as the host's block lasts. False when memory is short or
    // the resampler cannot be made.
    bool PrepareStream(int32_t frames, int inFlight, HANDLE activity = nullptr,
                       SampleFormat hostFormat = SampleFormat::Int16, bool resamplable = false);

    // From the next read on, through the resampler: it starts with a
    // little silence in it and in the queue, so that the host's blocks stay
    // whole while the reads change length.
    void StartResampling() override;
    // Host frames resampled and not yet given to the host.
    double Waiting() const { return static_cast<double>(m_queuedFrames); }

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
    // The oldest read's frames through the resampler onto the queue, and a
    // block off it into the host's buffers.
    void DeliverResampled(const uint8_t* frames, size_t arrived, uint8_t* const* destinations);
    void SpreadInternal(const int32_t* frames, uint8_t* const* destinations) const;
    // The length in device frames of the next read to ask for.
    int32_t NextReadFrames() const;

    int32_t m_frames = 0;
    SampleFormat m_hostFormat = SampleFormat::Int16;
    SampleFormat m_pinFormat = SampleFormat::Int16;
    int32_t m_readNominal = 0;    // device frames of a host block
    int32_t m_mostReadFrames = 0;
    // The lengths of the reads asked for, oldest at m_oldestRead, and their sum.
    std::vector<int32_t> m_readFrames;
    size_t m_oldestRead = 0;
    int64_t m_askedFrames = 0;
    std::vector<int32_t> m_input;        // a read in the internal form, interleaved
    std::vector<int32_t> m_queue;        // host frames resampled, not yet taken, interleaved
    int32_t m_queuedFrames = 0;
};
