#include "endpoint.h"

#include "audpin.h"
#include "debug_trace.h"
#include "device_texts.h"
#include "request_completion.h"
#include "filter.h"
#include "looped_streaming.h"
#include "standard_streaming.h"

#include <algorithm>
#include <cmath>

namespace {
// The ratio of a resampled device stays within 1 +- this.
constexpr double kMostRatioDeviation = 0.002;
}  // namespace

CEndpoint::CEndpoint(StreamDirection direction, std::string name, int index, CKsAudPin* pin,
                     const EndpointFormat& format, const DeviceSettings& settings)
    : m_transport(pin && pin->m_bLooped && pin->m_pFilter && pin->m_pFilter->m_bRealTime
                      ? std::unique_ptr<CEndpointTransport>(std::make_unique<CLoopedStreaming>(pin, direction, format))
                      : std::make_unique<CStandardStreaming>(pin, direction)),
      m_direction(direction),
      m_name(std::move(name)),
      m_index(index),
      m_pin(pin),
      m_format(format),
      m_settings(settings)
{
}

CEndpoint::~CEndpoint()
{
    if (!m_pin) {
        return;
    }
    // Requests the pin still holds point into the transport: it goes only
    // once they are back. A pin that did not give them back by an earlier
    // deadline is not waited for again.
    if (m_kept || !TakeBack(GetTickCount64() + kGiveBackTimeoutMs)) {
        DebugTrace(DeviceTexts::kRequestsHeld, m_name.c_str());
        static_cast<void>(m_transport.release());
    }
    m_pin->ClosePin();
    // A render pin left its filter when it was made; a capture pin stays
    // with its filter, which deletes it.
    if (m_direction == StreamDirection::Render) {
        delete m_pin;
    }
}

HRESULT CEndpoint::SetState(int32_t state)
{
    const auto ksState = static_cast<KSSTATE>(state);
    HRESULT hr = m_pin->SetState(ksState);
    if (m_direction == StreamDirection::Capture || FAILED(hr)) {
        hr = m_pin->SetState(ksState);
    }
    m_active = SUCCEEDED(hr);
    return hr;
}

int32_t CEndpoint::ReportedLatencyFrames() const
{
    // A looped buffer's hardware reports its FIFO and delays instead.
    const int32_t hardware = m_transport ? m_transport->HardwareLatencyFrames() : -1;
    if (hardware >= 0) {
        return static_cast<int32_t>(std::ceil(hardware / RateRatio()));
    }
    LONGLONG latency = 0;
    if (!m_pin || FAILED(m_pin->GetLatency(&latency)) || latency <= 0) {
        return 0;
    }
    // 100 ns units; at most a minute counts, whatever a driver answers.
    const double rate = HostRate() > 0 ? HostRate() : 44100.0;
    return static_cast<int32_t>(std::ceil(static_cast<double>(std::min<LONGLONG>(latency, 600000000LL)) * rate / 1e7));
}

bool CEndpoint::PrepareTransport(int inFlight, int slots, uint32_t blockBytes, const std::vector<uint32_t>& requestEnds,
                                 HANDLE activity)
{
    m_inFlight = inFlight;
    // What an earlier stream left with the pin (a stopped pin gives it back)
    // must be back before the slots are made anew.
    return m_transport && TakeBack(GetTickCount64() + kGiveBackTimeoutMs) &&
           m_transport->Prepare(slots, blockBytes, requestEnds, activity);
}

void CEndpoint::CancelAll()
{
    if (m_transport) {
        m_transport->CancelAll();
    }
}

bool CEndpoint::TakeBack(ULONGLONG deadline)
{
    if (!m_transport || m_transport->Collect(deadline)) {
        m_kept = false;
        return true;
    }
    m_kept = true;
    return false;
}

void CEndpoint::MakeResampler(bool resamplable, int channels, int32_t maxInputFrames, double nominal)
{
    m_resampler.reset();
    m_resampling = false;
    m_pendingJump = 0;
    m_jumped.clear();
    if (!resamplable || channels < 1) {
        return;
    }
    m_resampler = std::make_unique<CVariableResampler>(channels, maxInputFrames, EResamplerQuality::Medium,
                                                       kMostRatioDeviation, nominal);
    m_jumped.assign(static_cast<size_t>(maxInputFrames) * channels, 0);
}

void CEndpoint::StartResampling()
{
    if (m_resampler && !m_resampling) {
        m_resampler->Reset();
        m_resampling = true;
    }
}

void CEndpoint::SetRatio(double ratio)
{
    if (m_resampler) {
        m_resampler->SetRatio(ratio);
    }
}

bool CEndpoint::ReadProgress(int64_t* positionFrames, int64_t* movedFrames)
{
    const uint16_t channels = m_direction == StreamDirection::Capture ? m_format.pinChannels : m_format.channels;
    const int64_t frameBytes = static_cast<int64_t>(channels) * m_format.bytesPerSample;
    int64_t position = 0;
    int64_t moved = 0;
    if (!m_transport || frameBytes <= 0 || !m_transport->ReadProgress(&position, &moved)) {
        return false;
    }
    *positionFrames = position / frameBytes;
    *movedFrames = moved / frameBytes;
    return true;
}

int32_t CEndpoint::Resample(const int32_t* in, int32_t frames, int32_t most, int32_t* out)
{
    const int channels = m_resampler->Channels();
    if (m_pendingJump > 0) {
        const auto drop = static_cast<int32_t>(std::min<int64_t>({m_pendingJump, most, frames}));
        in += static_cast<size_t>(drop) * channels;
        frames -= drop;
        m_pendingJump -= drop;
    } else if (m_pendingJump < 0) {
        const int32_t room = m_resampler->MaxInputFrames() - frames;
        const auto insert = static_cast<int32_t>(std::clamp<int64_t>(-m_pendingJump, 0, std::min(most, room)));
        std::fill(m_jumped.begin(), m_jumped.begin() + static_cast<ptrdiff_t>(insert) * channels, 0);
        std::copy(in, in + static_cast<size_t>(frames) * channels,
                  m_jumped.begin() + static_cast<ptrdiff_t>(insert) * channels);
        in = m_jumped.data();
        frames += insert;
        m_pendingJump += insert;
    }
    return m_resampler->Process(in, frames, out);
}
