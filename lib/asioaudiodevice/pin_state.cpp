#include "asio_audio_device.h"

#include <algorithm>
#include <cmath>

int32_t AsioAudioDevice::SetRenderState(KSSTATE state)
{
    for (auto& [key, record] : renderTable) {
        if (!record.pin) {
            continue;
        }
        HRESULT hr = record.pin->SetState(state);
        if (FAILED(hr)) {
            hr = record.pin->SetState(state);
        }
        record.active = SUCCEEDED(hr);
    }
    return 0;
}

int32_t AsioAudioDevice::SetCaptureState(KSSTATE state)
{
    HRESULT last = S_OK;
    for (auto& [key, record] : captureTable) {
        if (!record.pin) {
            continue;
        }
        // Every state goes to a capture pin twice; the second answer decides.
        record.pin->SetState(state);
        last = record.pin->SetState(state);
        record.active = SUCCEEDED(last);
    }
    return last;
}

int32_t AsioAudioDevice::CountActiveRenderDevices()
{
    uint16_t count = 0;
    for (const auto& [key, record] : renderTable) {
        count += record.active ? 1 : 0;
    }
    activeRenderCount = count;
    return count;
}

int32_t AsioAudioDevice::CountActiveCaptureDevices()
{
    uint16_t count = 0;
    for (const auto& [key, record] : captureTable) {
        count += record.active ? 1 : 0;
    }
    activeCaptureCount = count;
    return count;
}

int32_t AsioAudioDevice::LongestPinLatencyFrames(bool render)
{
    const double rate = sampleRate > 0 ? sampleRate : 44100.0;
    LONGLONG longest = 0;
    const auto consider = [&longest](CKsAudPin* pin) {
        LONGLONG latency = 0;
        if (pin && SUCCEEDED(pin->GetLatency(&latency))) {
            longest = std::max(longest, latency);
        }
    };
    if (render) {
        for (auto& [key, record] : renderTable) {
            consider(record.pin);
        }
    } else {
        for (auto& [key, record] : captureTable) {
            consider(record.pin);
        }
    }
    // 100 ns units; at most a minute counts, whatever a driver answers.
    const double frames = std::ceil(static_cast<double>(std::min<LONGLONG>(longest, 600000000LL)) * rate / 1e7);
    return static_cast<int32_t>(frames);
}
