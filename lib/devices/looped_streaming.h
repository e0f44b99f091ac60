#pragma once

#include "endpoint_format.h"
#include "endpoint_transport.h"
#include "looped_cursor.h"
#include "position_reader.h"

#include <memory>

#include <string>
#include <vector>

class CKsPin;

// The transport of WaveRT pins (looped streaming): the driver hands out one
// cyclic buffer that the hardware plays or fills by itself, and the client
// follows the hardware's position. A render block is written into the
// buffer after the last one; a capture block is taken once the device has
// written past it (blocks as long as each was asked to be). A block the pin "holds" is one written wholly ahead of
// the block being played, so the engine's rules (a block when it holds no
// more than its blocks in flight, skip when every slot is held) apply as to
// a standard pin, whose device buffer likewise lets it run a little ahead.
// Blocks follow one another in the buffer whatever the timing, so a host
// frame plays at the same place of the stream as on a standard pin; a
// device that runs before the first block is written has that block start
// where it stands.
//
// Opening (Prepare, pin stopped): the buffer with two notifications (event
// mode: the notification event is the stream's event, signalled at each
// half of the buffer), or without (timer mode: no handle, the engine looks
// at a fraction of the block period). The size asked is the blocks the
// pin may hold ahead and one more (the one being played: the slots a
// standard pin would have), aligned up to lcm(128, frame) bytes; a refused
// size is asked again a few aligned sizes up, and the size granted is used.
// The position comes from the position register where the driver maps one,
// from KSPROPERTY_AUDIO_POSITION otherwise. The notification event is
// unregistered when the stream's blocks are collected, before the pin closes.
class CLoopedStreaming : public CEndpointTransport {
public:
    CLoopedStreaming(CKsPin* pin, StreamDirection direction, const EndpointFormat& format);
    ~CLoopedStreaming() override;
    CLoopedStreaming(const CLoopedStreaming&) = delete;
    CLoopedStreaming& operator=(const CLoopedStreaming&) = delete;

    bool Prepare(int slots, uint32_t blockBytes, const std::vector<uint32_t>& requestEnds, HANDLE activity) override;
    int Slots() const override { return m_slots; }
    int Held() const override;
    HANDLE WaitHandle() const override { return m_registered; }

    uint8_t* NextToSend() override;
    HRESULT Send(uint32_t bytes) override;
    bool ReadProgress(int64_t* position, int64_t* moved) override;

    HRESULT AskForAll() override { return S_OK; }
    const uint8_t* OldestArrived(uint32_t* filled, HRESULT* outcome) override;
    HRESULT AskAgain(uint32_t bytes) override;

    void CancelAll() override {}
    bool Collect(ULONGLONG deadline) override;

    int32_t HardwareLatencyFrames() const override { return m_hardwareLatencyFrames; }
    int64_t LostFrames() const override { return m_lost; }
    std::string Describe() const override;

    // Sizes asked for a buffer of at least `wanted` bytes, in order: wanted
    // aligned up to lcm(128, frameBytes), three more steps of that unit,
    // then twice, four and eight times the first. Never 0.
    static std::vector<uint32_t> SizesToAsk(uint32_t wanted, uint32_t frameBytes);

private:
    bool AllocateBuffer(uint32_t wanted, bool withNotification);
    // With notifications where the driver has them, else without.
    bool AllocateBuffers(uint32_t wanted);
    void ReadHardwareLatency();
    // Reads the device position into the cursor; counts what was lost.
    // True when this call read a position (not one answered late).
    bool Refresh() const;
    void Unregister();

    CKsPin* m_pin;
    StreamDirection m_direction;
    EndpointFormat m_format;
    uint32_t m_frameBytes;
    uint32_t m_blockBytes = 0;
    int m_slots = 0;
    uint8_t* m_buffer = nullptr;          // the driver's, valid while the pin is open
    uint32_t m_bufferBytes = 0;
    bool m_eventMode = false;
    HANDLE m_registered = nullptr;         // the registered notification event (not ours to close)
    const volatile ULONG* m_register = nullptr;  // the position register, or null: the position property
    std::unique_ptr<CPositionReader> m_positionReader;  // the position property's reads, without a register
    int32_t m_hardwareLatencyFrames = 0;
    std::vector<uint8_t> m_block;          // the block being written or the one taken
    std::vector<uint32_t> m_asked;         // capture: the lengths of the blocks asked for, oldest at m_oldest
    size_t m_oldest = 0;
    mutable CLoopedCursor m_cursor;
    mutable int64_t m_lastReadTick = 0;
    mutable int64_t m_lost = 0;
    bool m_written = false;                // render: a block went into the buffer since Prepare
};
