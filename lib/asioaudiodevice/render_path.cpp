#include "asio_audio_device.h"

#include "debug_trace.h"
#include "device_texts.h"
#include "render_stream.h"
#include "request_completion.h"
#include "sample_conversion.h"

#include <algorithm>

namespace {

// Larger blocks are no host's: their samples at 32 bits would not fit the
// request sizes.
constexpr int32_t kLargestBlockBytes = 1 << 30;

int32_t StreamError(const char* text, HRESULT hr)
{
    DebugTrace(DeviceTexts::kStreamError, text, static_cast<unsigned>(hr));
    return hr;
}

}  // namespace

int32_t AsioAudioDevice::WriteRenderDevice(RenderBlock& block)
{
    RenderDeviceRecord* record = GetRenderDevice(static_cast<uint16_t>(block.deviceIndex));
    if (!record || !record->active) {
        return 1;
    }
    return PinWriteData(record->pin, record->stream, block.data, block.byteCount, block.completionEvent,
                        &block.streamHeaders);
}

int32_t AsioAudioDevice::PinWriteData(CKsAudPin* pin, RenderStream* stream, const int16_t* data, int32_t byteCount,
                                      HANDLE completionEvent, StreamRequest** streamHeadersOut)
{
    if (streamHeadersOut) {
        *streamHeadersOut = nullptr;
    }
    // A non-zero answer tells the engine that nothing is pending, so it does
    // not wait for an event that would never come.
    if (!pin || !stream) {
        return StreamError(DeviceTexts::kNoRenderPin, E_POINTER);
    }
    if (!data) {
        return StreamError(DeviceTexts::kNoRenderData, E_POINTER);
    }
    if (byteCount < 0 || byteCount > kLargestBlockBytes || blockFrames <= 0) {
        return StreamError(DeviceTexts::kRenderBlockInvalid, E_INVALIDARG);
    }
    const auto bytes = static_cast<uint32_t>(byteCount);
    const uint32_t count = RenderRequestCount(bytes, blockFrames);
    if (count == 0) {
        // An empty block (a device of 0 channels) is taken at once.
        if (completionEvent) {
            SetEvent(completionEvent);
        }
        return 0;
    }
    const uint16_t bytesPerSample = stream->BytesPerSample();
    const bool converts = stream->Converts();
    HRESULT hr = S_OK;
    RenderStream::Slot* slot = stream->NextFreeSlot(count, converts ? bytes / 2 * bytesPerSample : 0, &hr);
    if (!slot) {
        return StreamError(hr == E_PENDING ? DeviceTexts::kRenderPinBusy : DeviceTexts::kRenderMemoryShort, hr);
    }
    if (streamHeadersOut) {
        *streamHeadersOut = slot->requests;
    }
    const auto* source = reinterpret_cast<const uint8_t*>(data);
    if (converts) {
        SamplesFrom16(data, bytes / 2, slot->samples, bytesPerSample);
        source = slot->samples;
    }
    std::fill(slot->requests, slot->requests + count, StreamRequest{});
    const auto unit = static_cast<uint32_t>(blockFrames);
    for (uint32_t i = 0; i < count; ++i) {
        // Each request carries the samples of its blockFrames bytes of the
        // 16-bit block, in the pin's form.
        uint32_t begin = i * unit;
        uint32_t end = std::min(begin + unit, bytes);
        if (converts) {
            begin = begin / 2 * bytesPerSample;
            end = end / 2 * bytesPerSample;
        }
        StreamRequest& request = slot->requests[i];
        request.header.Size = sizeof(KSSTREAM_HEADER);
        request.header.TypeSpecificFlags = 1;
        request.header.FrameExtent = end - begin;
        request.header.DataUsed = end - begin;
        request.header.Data = const_cast<uint8_t*>(source + begin);
        request.header.OptionsFlags = 0x100;
        // Requests of one pin complete in order: the last one's event tells
        // that the whole block is taken.
        request.overlapped.hEvent = i + 1 == count ? completionEvent : nullptr;
        MarkRequestHeld(request.overlapped);
        hr = pin->WriteData(&request.header, &request.overlapped);
        if (FAILED(hr)) {
            MarkRequestRefused(request.overlapped);
            StreamError(DeviceTexts::kWriteFailed, hr);
            // The caller releases the block at once on a failure: the
            // requests queued before must be back first.
            if (CancelAndCollect(pin->GetHandle(), slot->requests, i, kGiveBackTimeoutMs)) {
                slot->queued = 0;
            } else {
                StreamError(DeviceTexts::kRequestsNotGivenBack, E_FAIL);
            }
            return hr;
        }
        slot->queued = i + 1;
    }
    return 0;
}
