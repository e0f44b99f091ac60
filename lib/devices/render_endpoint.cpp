#include "render_endpoint.h"

#include "sample_conversion.h"

#include "debug_trace.h"

#include <algorithm>
#include <cmath>
#include <new>
#include <stdexcept>

namespace {

// How long the output takes to fade out before a delay changes, and to fade
// in after it: short enough to pass unnoticed, long enough not to click.
constexpr int kDelayFadeMs = 5;

}  // namespace

CRenderEndpoint::CRenderEndpoint(std::string name, int index, CKsAudPin* pin, const EndpointFormat& format,
                                 const DeviceSettings& settings)
    : CEndpoint(StreamDirection::Render, std::move(name), index, pin, format, settings)
{
}

bool CRenderEndpoint::PrepareStream(int32_t frames, int inFlight, int32_t requestUnit, int delayMs, HANDLE activity,
                                    SampleFormat hostFormat, bool resamplable)
{
    const EndpointFormat& format = Format();
    if (frames <= 0 || requestUnit <= 0 || inFlight < 1) {
        return false;
    }
    // A device at its own rate takes about as many of its frames a block as
    // the host's block lasts.
    const auto deviceFrames = static_cast<uint32_t>(std::lround(frames * RateRatio()));
    resamplable = resamplable || ConvertsRate();
    const auto blockBytes16 = deviceFrames * format.channels * 2;
    // Each request carries the samples of its requestUnit bytes of the
    // 16-bit block, in the pin's form.
    std::vector<uint32_t> ends;
    try {
        for (uint32_t begin = 0; begin < blockBytes16; begin += static_cast<uint32_t>(requestUnit)) {
            const uint32_t end = std::min(begin + static_cast<uint32_t>(requestUnit), blockBytes16);
            ends.push_back(end / 2 * format.bytesPerSample);
        }
        if (ends.empty()) {
            ends.push_back(0);  // a device of no channels: one empty request
        }
        m_block.assign(static_cast<size_t>(frames) * format.channels + 1, 0);
        // The delay line runs on the host's frames, ahead of the resampler.
        m_delay = std::make_unique<CDelayLine>(format.channels,
                                               ::DelayFrames(kLongestDelayMs, HostRate(), format.channels), frames);
        // A block and half a block of jump at most go in at once.
        MakeResampler(resamplable, format.channels, frames + frames / 2, RateRatio());
        if (m_resampler) {
            m_resampled.assign(static_cast<size_t>(m_resampler->MaxOutputFrames()) * format.channels, 0);
        }
    } catch (const std::bad_alloc&) {
        return false;
    } catch (const std::runtime_error& e) {
        DebugTrace("CRenderEndpoint: device %d cannot be resampled: %s\n", Index(), e.what());
        return false;
    }
    if (!m_delay->HasStorage()) {
        return false;
    }
    m_frames = frames;
    m_hostFormat = hostFormat;
    m_pinFormat = PinSampleFormat(format);
    m_delay->Prime(::DelayFrames(delayMs, HostRate(), format.channels));
    if (ConvertsRate()) {
        StartResampling();
    }
    // The blocks in flight, the one sent right after the callback, and one
    // spare for a device that lags; each with the room of a resampled block.
    const uint32_t room = m_resampler ? static_cast<uint32_t>(m_resampler->MaxOutputFrames()) * format.channels *
                                            format.bytesPerSample
                                      : ends.back();
    return PrepareTransport(inFlight, inFlight + 2, std::max(room, ends.back()), ends, activity);
}

bool CRenderEndpoint::CanSend(bool pacing) const
{
    const int held = m_transport->Held();
    return pacing ? held < std::min(InFlight() + 1, m_transport->Slots()) : held < m_transport->Slots();
}

HRESULT CRenderEndpoint::Send(const void* left, const void* right)
{
    uint8_t* target = m_transport->NextToSend();
    if (!target) {
        return E_PENDING;
    }
    const int channels = Format().channels;
    const size_t hostBytes = BytesOf(m_hostFormat);
    int32_t* block = m_block.data();
    // The first channel takes the left buffer; the second the right one,
    // converted once; every further channel a copy of the second.
    for (int c = 0; c < std::min(channels, 2); ++c) {
        const void* source = c == 0 ? left : right;
        int32_t* sample = block + c;
        if (!source) {
            for (int32_t f = 0; f < m_frames; ++f, sample += channels) {
                *sample = 0;
            }
            continue;
        }
        ToInternal(m_hostFormat, static_cast<const uint8_t*>(source), hostBytes, static_cast<size_t>(m_frames), sample,
                   static_cast<size_t>(channels));
    }
    if (channels > 2) {
        for (int32_t f = 0; f < m_frames; ++f) {
            int32_t* frame = block + static_cast<size_t>(f) * channels;
            std::fill(frame + 2, frame + channels, frame[1]);
        }
    }
    m_delay->Pass(block, m_frames);
    int32_t frames = m_frames;
    if (Resampling()) {
        frames = Resample(block, m_frames, m_frames / 2, m_resampled.data());
        if (frames < 0) {
            // The converter failed and started over: this block is silence.
            frames = m_frames;
            std::fill(m_resampled.begin(), m_resampled.begin() + static_cast<ptrdiff_t>(frames) * channels, 0);
        }
        block = m_resampled.data();
    }
    const size_t samples = static_cast<size_t>(frames) * channels;
    FromInternal(block, 1, samples, m_pinFormat, target, Format().bytesPerSample);
    const HRESULT hr = m_transport->Send(static_cast<uint32_t>(samples * Format().bytesPerSample));
    if (FAILED(hr)) {
        Counters().failedRequests.fetch_add(1, std::memory_order_relaxed);
    }
    return hr;
}

void CRenderEndpoint::ChangeDelay(int delayMs)
{
    if (!m_delay) {
        return;
    }
    const int32_t fadeFrames = std::max(1, HostRate() * kDelayFadeMs / 1000);
    m_delay->ChangeTo(::DelayFrames(delayMs, HostRate(), Format().channels), fadeFrames);
}
