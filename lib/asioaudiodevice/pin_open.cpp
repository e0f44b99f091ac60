#include "asio_audio_device.h"

#include "debug_trace.h"
#include "device_texts.h"
#include "wave_format.h"

CKsAudPin* AsioAudioDevice::OpenRenderPin(CKsAudRenFilter* filter, uint16_t channels, int32_t rate, uint16_t bits)
{
    if (!filter) {
        DebugTrace(DeviceTexts::kPinOpenError, 0u);
        return nullptr;
    }
    WAVEFORMATEXTENSIBLE format =
        MakeRequestedFormat(channels, static_cast<uint32_t>(rate), bits, StreamDirection::Render);
    CKsAudPin* pin = filter->CreateRenderPin(&format.Format);
    if (!pin) {
        UseFallbackFormat(format, StreamDirection::Render);
        pin = filter->CreateRenderPin(&format.Format);
    }
    return pin;
}

CKsAudPin* AsioAudioDevice::OpenCapturePin(CKsAudCapFilter* filter, uint16_t channels, int32_t rate, uint16_t bits)
{
    if (!filter) {
        DebugTrace(DeviceTexts::kPinOpenError, 0u);
        return nullptr;
    }
    WAVEFORMATEXTENSIBLE format =
        MakeRequestedFormat(channels, static_cast<uint32_t>(rate), bits, StreamDirection::Capture);
    CKsAudPin* pin = filter->CreateCapturePin(&format.Format, FALSE);
    if (!pin) {
        // Some capture drivers take the plain format only in looped mode,
        // others only in standard mode.
        UseFallbackFormat(format, StreamDirection::Capture);
        pin = filter->CreateCapturePin(&format.Format, TRUE);
    }
    if (!pin) {
        pin = filter->CreateCapturePin(&format.Format, FALSE);
    }
    return pin;
}
