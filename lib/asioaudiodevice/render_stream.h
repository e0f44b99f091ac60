#pragma once

#include "capture_request.h"

#include <cstddef>
#include <cstdint>
#include <vector>

// Requests a block of byteCount bytes of 16-bit samples is queued in: one
// per blockFrames bytes, the last taking what remains. 0 for an empty block
// or a block size that is not positive.
inline uint32_t RenderRequestCount(uint32_t byteCount, int32_t blockFrames)
{
    if (blockFrames <= 0) {
        return 0;
    }
    const auto unit = static_cast<uint32_t>(blockFrames);
    return byteCount / unit + (byteCount % unit ? 1 : 0);
}

// What an open render device queues its blocks with: the stream requests of
// the blocks its pin may hold at once (the engine's blocks in flight) and, for a pin
// that does not run at 16 bits, the block in the pin's sample form. All of it
// lives as long as the device is open, so a cycle allocates nothing.
class RenderStream {
public:

    struct Slot {
        StreamRequest* requests = nullptr;
        uint32_t requestCapacity = 0;
        uint32_t queued = 0;         // requests handed to the pin by the last write through this slot
        uint8_t* samples = nullptr;  // the block in the pin's form
        size_t sampleCapacity = 0;
    };

    // slotCount: the blocks the pin may hold at once (at least 1).
    RenderStream(uint16_t bytesPerSample, int slotCount);
    ~RenderStream();
    RenderStream(const RenderStream&) = delete;
    RenderStream& operator=(const RenderStream&) = delete;

    // Sizes every slot for requestCount requests and sampleBytes bytes in the
    // pin's form. False when memory is short.
    bool Reserve(uint32_t requestCount, size_t sampleBytes);

    // The next slot the pin holds no request of, sized for the block: grown
    // only for a block larger than any before, which a host that keeps to
    // the reported buffer size never sends. Null with *phr = E_PENDING when
    // the pin still holds every slot, E_OUTOFMEMORY when growing fails.
    Slot* NextFreeSlot(uint32_t requestCount, size_t sampleBytes, HRESULT* phr);

    // True when the pin still holds requests of the slot whose request array
    // this is (the array a write handed out through a block).
    bool HoldsRequests(const StreamRequest* requests) const;

    // Cancels what the pin still holds and waits until the system has given
    // it back. False when something stays held: the memory must then be kept.
    bool CollectAll(HANDLE hPin, DWORD timeoutMs);

    uint16_t BytesPerSample() const { return m_bytesPerSample; }
    int SlotCount() const { return static_cast<int>(m_slots.size()); }
    bool Converts() const { return m_bytesPerSample != 2; }

private:
    static bool IsHeld(const Slot& slot);
    static bool Grow(Slot& slot, uint32_t requestCount, size_t sampleBytes);

    uint16_t m_bytesPerSample;
    std::vector<Slot> m_slots;
    size_t m_nNextSlot;
};
