#pragma once

#include "delay_line.h"
#include "endpoint.h"

#include <memory>
#include <vector>

// An open render device: the endpoint, its delay line and its channel links.
// Each block it sends is the host's left-link buffer on its first channel
// and the right-link buffer on every other one, interleaved, passed through
// the delay line and turned into the pin's sample form. The block and the
// delay line hold the internal form (int32 at full scale): the host's
// samples are converted once on their way in, once more into the pin's
// form.
class CRenderEndpoint : public CEndpoint {
public:
    CRenderEndpoint(std::string name, int index, CKsAudPin* pin, const EndpointFormat& format,
                    const DeviceSettings& settings);

    // The output channel numbers that feed the device's first channel and its
    // other channels (negative: silent).
    int32_t LinkLeft() const { return Settings().channelLinkLeft; }
    int32_t LinkRight() const { return Settings().channelLinkRight; }
    // The delay it was opened with, in milliseconds.
    int OpeningDelayMs() const { return DelayMsOfFactor(Settings().outLatency); }

    // Blocks of `frames` frames: the pin holds `inFlight` of them when it
    // asks for the next, and one more once that is sent (one more slot
    // still lets a device whose clock lags a little take its block late); a
    // request per `requestUnit` bytes of the 16-bit block; the
    // delay line primed with delayMs; give-backs signal `activity` (null:
    // the endpoint's own event); the host's buffers hold `hostFormat`.
    // `resamplable`: the device's clock may be followed, so its blocks get
    // the room of a resampled block; a device at its own rate
    // (ConvertsRate) is resampled from here on, its blocks about as many of
    // its frames as the host's block lasts. False when memory is short or
    // the resampler cannot be made.
    bool PrepareStream(int32_t frames, int inFlight, int32_t requestUnit, int delayMs, HANDLE activity = nullptr,
                       SampleFormat hostFormat = SampleFormat::Int16, bool resamplable = false);

    // Engine thread, each cycle.
    // The pin can take a block: as the device that paces the stream, only
    // once it has given one back since it held its blocks in flight and the
    // one after them (a transport with fewer slots: one back from full);
    // otherwise when a slot is free.
    bool CanSend(bool pacing) const;
    // Sends one block: `left` and `right` are the host's halves in its
    // sample form (null for silence). Fails when no slot is free or the pin
    // refuses.
    HRESULT Send(const void* left, const void* right);
    // A block skipped because the pin held every slot.
    void Skip() { Counters().missedBlocks.fetch_add(1, std::memory_order_relaxed); }
    // A new delay, taken at the next block with a short fade.
    void ChangeDelay(int delayMs);
    int64_t CurrentDelayFrames() const { return m_delay ? m_delay->Delay() : 0; }

private:
    int32_t m_frames = 0;
    std::unique_ptr<CDelayLine> m_delay;
    SampleFormat m_hostFormat = SampleFormat::Int16;
    SampleFormat m_pinFormat = SampleFormat::Int16;
    std::vector<int32_t> m_block;  // the interleaved block in the internal form
    std::vector<int32_t> m_resampled;  // the block the resampler gave out
};
