#include "capture_endpoint.h"

#include "sample_conversion.h"

#include "debug_trace.h"

#include <algorithm>
#include <cmath>
#include <cstring>
#include <new>
#include <stdexcept>

namespace {
// Host frames a resampled device keeps queued beyond the block the host
// takes: the reads come whole frames long, so what each gives varies by a
// frame or so.
constexpr int32_t kQueueCushion = 3;
// Silent frames the resampler takes in when it starts: more than its
// filter reaches ahead, so that what it holds of them is its whole delay.
constexpr int32_t kPrimeFrames = 256;
}  // namespace

CCaptureEndpoint::CCaptureEndpoint(std::string name, int index, CKsAudPin* pin, const EndpointFormat& format,
                                   const DeviceSettings& settings)
    : CEndpoint(StreamDirection::Capture, std::move(name), index, pin, format, settings)
{
}

bool CCaptureEndpoint::PrepareStream(int32_t frames, int inFlight, HANDLE activity, SampleFormat hostFormat,
                                     bool resamplable)
{
    if (frames <= 0 || inFlight < 1) {
        return false;
    }
    m_frames = frames;
    const EndpointFormat& format = Format();
    m_hostFormat = hostFormat;
    m_pinFormat = PinSampleFormat(format);
    const uint32_t frameBytes = static_cast<uint32_t>(format.pinChannels) * format.bytesPerSample;
    resamplable = (resamplable || ConvertsRate()) && format.pinChannels > 0;
    // A read is as many of the device's frames as the host's block lasts
    // (at its own rate: about); a resampled device's reads are a little
    // longer or shorter than that.
    m_readNominal = std::max<int32_t>(1, static_cast<int32_t>(std::lround(frames * RateRatio())));
    m_mostReadFrames = resamplable ? m_readNominal + m_readNominal / 2 : m_readNominal;
    try {
        // A read and half a read of jump at most go in at once.
        MakeResampler(resamplable, format.pinChannels, m_mostReadFrames + m_readNominal / 2, 1.0 / RateRatio());
        m_input.clear();
        m_queue.clear();
        if (m_resampler) {
            // A read, or a host block put together when too few came.
            m_input.assign(static_cast<size_t>(std::max(m_resampler->MaxInputFrames(), frames)) * format.pinChannels,
                           0);
            m_queue.assign(static_cast<size_t>(4 * frames + m_resampler->MaxOutputFrames()) * format.pinChannels, 0);
        }
    } catch (const std::bad_alloc&) {
        return false;
    } catch (const std::runtime_error& e) {
        DebugTrace("CCaptureEndpoint: device %d cannot be resampled: %s\n", Index(), e.what());
        return false;
    }
    m_queuedFrames = 0;
    // One read more than the blocks in flight: when the engine wakes for the
    // one that came, `inFlight` more are still queued.
    const uint32_t blockBytes = static_cast<uint32_t>(m_readNominal) * frameBytes;
    if (!PrepareTransport(inFlight, inFlight + 1, static_cast<uint32_t>(m_mostReadFrames) * frameBytes, {blockBytes},
                          activity)) {
        return false;
    }
    try {
        m_readFrames.assign(static_cast<size_t>(std::max(1, m_transport->Slots())), m_readNominal);
    } catch (const std::bad_alloc&) {
        return false;
    }
    m_oldestRead = 0;
    m_askedFrames = static_cast<int64_t>(m_readFrames.size()) * m_readNominal;
    if (ConvertsRate()) {
        StartResampling();
    }
    return true;
}

void CCaptureEndpoint::StartResampling()
{
    if (!m_resampler || Resampling()) {
        return;
    }
    CEndpoint::StartResampling();
    // The resampler holds silence of the length of its delay, the queue a
    // few frames of it: the device's frames come after them.
    std::fill(m_input.begin(), m_input.end(), 0);
    for (int32_t primed = 0; primed < kPrimeFrames;) {
        const int32_t chunk = std::min(kPrimeFrames - primed, m_resampler->MaxInputFrames());
        if (m_resampler->Process(m_input.data(), chunk, m_queue.data()) < 0) {
            break;
        }
        primed += chunk;
    }
    m_queuedFrames = kQueueCushion;
    std::fill(m_queue.begin(), m_queue.begin() + static_cast<ptrdiff_t>(kQueueCushion) * Format().pinChannels, 0);
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
    const int32_t asked = m_readFrames[m_oldestRead];
    // Frames the pin did not fill are silence, never what the buffer held.
    const size_t arrived = frameBytes ? std::min<size_t>(asked, filled / frameBytes) : 0;
    if (Resampling()) {
        DeliverResampled(frames, arrived, destinations);
    } else {
        const size_t hostBytes = BytesOf(m_hostFormat);
        const size_t taken = std::min<size_t>(arrived, m_frames);
        for (uint16_t c = 0; c < format.channels; ++c) {
            uint8_t* destination = destinations[c];
            if (!destination) {
                continue;
            }
            if (c < format.pinChannels) {
                ConvertSamples(m_pinFormat, frames + static_cast<size_t>(c) * format.bytesPerSample, frameBytes,
                               m_hostFormat, destination, hostBytes, taken);
                std::memset(destination + taken * hostBytes, 0, (static_cast<size_t>(m_frames) - taken) * hostBytes);
            } else {
                std::memset(destination, 0, static_cast<size_t>(m_frames) * hostBytes);
            }
        }
    }
    const int32_t next = Resampling() ? NextReadFrames() : m_readNominal;
    m_askedFrames += next - asked;
    m_readFrames[m_oldestRead] = next;
    m_oldestRead = (m_oldestRead + 1) % m_readFrames.size();
    const HRESULT again = m_transport->AskAgain(static_cast<uint32_t>(next * frameBytes));
    if (FAILED(again)) {
        Counters().failedRequests.fetch_add(1, std::memory_order_relaxed);
    }
    return again;
}

void CCaptureEndpoint::DeliverResampled(const uint8_t* frames, size_t arrived, uint8_t* const* destinations)
{
    const EndpointFormat& format = Format();
    const size_t channels = format.pinChannels;
    const double ratio = m_resampler->Ratio();
    ToInternal(m_pinFormat, frames, format.bytesPerSample, arrived * channels, m_input.data(), 1);
    // Room for what the resampler gives: a queue that has somehow grown
    // that far loses its oldest frames.
    const int32_t capacity = static_cast<int32_t>(m_queue.size() / channels);
    const int32_t overflow = m_queuedFrames + m_resampler->MaxOutputFrames() - capacity;
    if (overflow > 0) {
        std::copy(m_queue.begin() + static_cast<ptrdiff_t>(overflow) * channels,
                  m_queue.begin() + static_cast<ptrdiff_t>(m_queuedFrames) * channels, m_queue.begin());
        m_queuedFrames -= overflow;
    }
    // A drop takes no more than leaves the host a whole block: the reads
    // asked next are longer by what it took from the queue.
    const double needed = std::max(0.0, static_cast<double>(m_frames - m_queuedFrames)) / ratio;
    const auto spare = static_cast<int32_t>(std::floor(static_cast<double>(arrived) - needed));
    const int32_t most = PendingJump() > 0 ? std::clamp(spare, 0, m_readNominal / 2) : m_readNominal / 2;
    int32_t given = Resample(m_input.data(), static_cast<int32_t>(arrived), most,
                             m_queue.data() + static_cast<size_t>(m_queuedFrames) * channels);
    if (given < 0) {
        // The converter failed and started over: its frames are silence.
        given = std::min(static_cast<int32_t>(std::lround(static_cast<double>(arrived) * ratio)),
                         m_resampler->MaxOutputFrames());
        std::fill_n(m_queue.begin() + static_cast<ptrdiff_t>(m_queuedFrames) * channels,
                    static_cast<size_t>(given) * channels, 0);
    }
    m_queuedFrames += given;
    const int32_t* block = m_queue.data();
    if (m_queuedFrames < m_frames) {
        // Too few: silence ahead of them, counted as a miss.
        const int32_t missing = m_frames - m_queuedFrames;
        std::fill_n(m_input.begin(), static_cast<size_t>(missing) * channels, 0);
        std::copy_n(m_queue.begin(), static_cast<size_t>(m_queuedFrames) * channels,
                    m_input.begin() + static_cast<ptrdiff_t>(missing) * channels);
        m_queuedFrames = m_frames;
        block = m_input.data();
        Counters().missedBlocks.fetch_add(1, std::memory_order_relaxed);
    }
    SpreadInternal(block, destinations);
    m_queuedFrames -= m_frames;
    if (block == m_queue.data()) {
        std::copy(m_queue.begin() + static_cast<ptrdiff_t>(m_frames) * channels,
                  m_queue.begin() + static_cast<ptrdiff_t>(m_frames + m_queuedFrames) * channels, m_queue.begin());
    }
}

void CCaptureEndpoint::SpreadInternal(const int32_t* frames, uint8_t* const* destinations) const
{
    const EndpointFormat& format = Format();
    const size_t hostBytes = BytesOf(m_hostFormat);
    for (uint16_t c = 0; c < format.channels; ++c) {
        uint8_t* destination = destinations[c];
        if (!destination) {
            continue;
        }
        if (c < format.pinChannels) {
            FromInternal(frames + c, format.pinChannels, static_cast<size_t>(m_frames), m_hostFormat, destination,
                         hostBytes);
        } else {
            std::memset(destination, 0, static_cast<size_t>(m_frames) * hostBytes);
        }
    }
}

// The read asked now is delivered after those already asked: it is as long
// as leaves the queue a few frames beyond the host's block once they and it
// have come, at the current ratio.
int32_t CCaptureEndpoint::NextReadFrames() const
{
    const double ratio = m_resampler->Ratio();
    const int64_t others = m_askedFrames - m_readFrames[m_oldestRead];
    const auto reads = static_cast<double>(m_readFrames.size());
    const double wanted = (reads * m_frames + kQueueCushion - m_queuedFrames - ratio * static_cast<double>(others)) / ratio;
    return static_cast<int32_t>(
        std::clamp<double>(std::lround(wanted), std::max(1, m_readNominal / 2), m_mostReadFrames));
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
