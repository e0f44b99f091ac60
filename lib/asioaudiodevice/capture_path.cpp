#include "asio_audio_device.h"

#include "capture_stream.h"
#include "debug_trace.h"
#include "device_texts.h"
#include "ks_system.h"
#include "request_completion.h"

#include <algorithm>

namespace {

int32_t StreamError(const char* text, HRESULT hr)
{
    DebugTrace(DeviceTexts::kStreamError, text, static_cast<unsigned>(hr));
    return hr;
}

}  // namespace

int32_t AsioAudioDevice::ReadCaptureDevice(uint16_t index, void* buffer, uint32_t bytes, uint32_t timeoutMs)
{
    CaptureDeviceRecord* record = GetCaptureDevice(index);
    if (!record) {
        return E_FAIL;
    }
    return PinReadData(record->pin, record->stream, index, buffer, bytes, timeoutMs);
}

bool AsioAudioDevice::TakeBackCaptureReads()
{
    bool all = true;
    for (auto& [key, record] : captureTable) {
        if (record.pin && record.stream && !TakeBackRead(record.pin, record.stream, static_cast<uint16_t>(record.index))) {
            all = false;
        }
    }
    return all;
}

bool AsioAudioDevice::TakeBackRead(CKsAudPin* pin, CaptureStream* stream, uint16_t index)
{
    if (!stream->IsReadPending()) {
        return true;
    }
    // A read that outlived its wait still writes into its buffer and header:
    // it is cancelled (harmless when it has completed meanwhile) and its
    // completion, which nobody has waited for, is collected.
    CaptureRequest& request = g_captureRequests[index];
    KsSystem::CancelIoEx(pin->GetHandle(), &request.overlapped);
    if (WaitForSingleObject(request.overlapped.hEvent, kGiveBackTimeoutMs) != WAIT_OBJECT_0) {
        return false;
    }
    stream->SetReadPending(false);
    return true;
}

int32_t AsioAudioDevice::PinReadData(CKsAudPin* pin, CaptureStream* stream, uint16_t index, void* buffer,
                                     uint32_t bytes, uint32_t timeoutMs)
{
    // Failures answer negative: the engine then leaves the device out instead
    // of using a block nothing was read into.
    if (!pin || !stream) {
        return StreamError(DeviceTexts::kNoCapturePin, E_POINTER);
    }
    if (!buffer) {
        return StreamError(DeviceTexts::kNoCaptureBuffer, E_POINTER);
    }
    if (index >= kCaptureRequestCount || !g_captureRequests[index].overlapped.hEvent) {
        return StreamError(DeviceTexts::kNoCaptureRequest, E_INVALIDARG);
    }
    if (!TakeBackRead(pin, stream, index)) {
        return StreamError(DeviceTexts::kCaptureReadStuck, E_FAIL);
    }
    CaptureRequest& request = g_captureRequests[index];
    ResetEvent(request.overlapped.hEvent);

    void* target = buffer;
    uint64_t targetBytes = bytes;
    size_t frames = 0;
    if (stream->Converts()) {
        frames = stream->FrameBytes() ? bytes / stream->FrameBytes() : 0;
        targetBytes = static_cast<uint64_t>(frames) * stream->PinFrameBytes();
        target = targetBytes <= UINT32_MAX ? stream->Samples(static_cast<size_t>(targetBytes)) : nullptr;
        if (!target) {
            return StreamError(DeviceTexts::kCaptureMemoryShort, E_OUTOFMEMORY);
        }
    }
    KSSTREAM_HEADER& header = request.header;
    header.Size = sizeof(KSSTREAM_HEADER);
    header.PresentationTime.Numerator = 0;
    header.PresentationTime.Denominator = 0;
    header.FrameExtent = static_cast<ULONG>(targetBytes);
    header.DataUsed = 0;
    header.Data = target;
    header.OptionsFlags = 0;
    const HRESULT hr = pin->ReadData(&header, &request.overlapped);
    if (FAILED(hr)) {
        return hr;
    }
    if (WaitForSingleObject(request.overlapped.hEvent, timeoutMs) != WAIT_OBJECT_0) {
        // Late: nothing was delivered, and the pin may still write into the
        // buffer until the read is taken back.
        stream->SetReadPending(true);
        return kCaptureReadLate;
    }
    if (stream->Converts()) {
        const size_t pinFrameBytes = stream->PinFrameBytes();
        stream->DeliverFrames(pinFrameBytes ? std::min<size_t>(frames, header.DataUsed / pinFrameBytes) : frames,
                              buffer);
    }
    return 0;
}
