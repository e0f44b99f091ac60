#pragma once

#include "capture_request.h"

#include <cstdint>

// One cycle of one render device's interleaved 16-bit frames, handed to
// AsioAudioDevice::WriteRenderDevice.
struct RenderBlock {
    int32_t deviceIndex = 0;             // index of the open render device
    int16_t* data = nullptr;             // owned by the engine
    int32_t byteCount = 0;               // bytes of data
    HANDLE completionEvent = nullptr;    // signalled when the device has taken the whole block
    // Set by the write: the stream requests the block was queued with. They
    // belong to the device record (kept for its life, never allocated per
    // cycle); the engine reads them but never releases them.
    StreamRequest* streamHeaders = nullptr;
};
