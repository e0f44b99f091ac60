#pragma once

// WaveRT pins (a device with a WaveRtModel, pin created with the looped
// interface): the cyclic buffer, its position register and notification
// event, moved by the device clock. Everything here is guarded by the model
// lock, like the rest of model_state.h.

#include "model_state.h"

#include <cstdint>
#include <vector>

namespace kssim::detail {

struct RtStream {
    RtStream() = default;
    ~RtStream();
    RtStream(const RtStream&) = delete;
    RtStream& operator=(const RtStream&) = delete;

    // The buffer the client maps; its address stays until it is asked for
    // again or the pin closes.
    std::vector<uint8_t> buffer;
    bool allocated = false;
    ULONG notificationCount = 0;       // 0: allocated without notifications
    HANDLE event = nullptr;            // our duplicate of the registered event
    // The register the client reads: the byte offset of the play or record
    // position in the buffer, moved in steps (registerStepMs).
    volatile LONG positionRegister = 0;
    bool registerMapped = false;

    // Device positions (bytes of the pin's timeline): where offset 0 of the
    // buffer lies in this run, how far the buffer has been played or filled,
    // and the next notification.
    int64_t base = 0;
    int64_t done = 0;
    int64_t nextNotification = 0;
    // Render: the bytes each frame of the buffer held when it was last
    // played (underrun detection), and whether the FIFO's silence went out.
    std::vector<uint8_t> lastPlayed;
    bool fifoPrimed = false;
};

// KSPROPSETID_RtAudio and KSPROPERTY_AUDIO_POSITION on a WaveRT pin.
NtStatus AnswerRtProperty(Model& model, PinInstance& pin, const KSPROPERTY& property, const BYTE* request,
                          DWORD requestSize, void* output, DWORD outputSize, ULONG_PTR* information);
// Plays or fills the buffer up to the device position; answers the tick at
// which the clock thread must look again. Running pins only.
int64_t AdvanceRtPin(Model& model, PinInstance& pin, int64_t now);
// At STOP: the position goes back to the start of the buffer.
void RewindRtPin(PinInstance& pin);

}  // namespace kssim::detail
