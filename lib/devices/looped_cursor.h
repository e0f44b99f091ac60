#pragma once

#include <cstdint>

// Where a device and its client stand in a cyclic buffer, as positions
// that only grow (bytes since the stream began), kept from the byte offsets
// in the buffer that the device reports. No device, no clock: the caller
// says how far the device should have moved since its last reading.
//
// Unwrapping: an offset says where the device is modulo the buffer, so how
// many whole turns it made since the last reading is taken from the time
// that passed: the turns that bring the advance closest to the expected one,
// a quarter of the buffer of tolerance towards "fewer". A reading that can
// only mean the device went back (fewer than no turns) is a backwards jump;
// one that has not moved although time passed is a stall. Both leave the
// device position where it was, so the client sees a device that does not
// move, as it would see a pin that keeps its requests.
//
// Render: the client writes blocks one after the other from its write
// position; when the device has played past it (an underrun: it played
// whatever the buffer held), the frames it played unwritten are counted
// and writing goes on from the device position. Capture: the client takes
// blocks from its read position; frames the device wrote over before they
// were taken are counted as lost and reading goes on from the oldest frame
// still in the buffer.
class CLoopedCursor {
public:
    enum class Reading { Moved, Still, Backwards };

    // A new stream in a buffer of bufferBytes with frames of frameBytes.
    void Reset(uint32_t bufferBytes, uint32_t frameBytes);
    // The device reports `offset`; `expectedBytes` is how far it should have
    // moved since the last reading (ignored for the first reading, which
    // counts no turn).
    Reading Update(uint32_t offset, int64_t expectedBytes);

    int64_t Device() const { return m_device; }
    int64_t Client() const { return m_client; }
    uint32_t BufferBytes() const { return m_buffer; }
    // Where the client position lies in the buffer.
    uint32_t ClientOffset() const { return m_buffer ? static_cast<uint32_t>(m_client % m_buffer) : 0; }

    // Render: whole or part blocks written ahead of the device (0 when it
    // has caught up).
    int BlocksAhead(uint32_t blockBytes) const;
    // Render: whole blocks written ahead of the block being played.
    int WholeBlocksAhead(uint32_t blockBytes) const;
    // Capture: bytes the device has written that the client has not taken.
    int64_t Waiting() const { return m_device - m_client; }
    // The client wrote or took `bytes`.
    void Advance(uint32_t bytes) { m_client += bytes; }
    // Render: when the device has passed the client position, moves it to
    // the device and answers the frames played unwritten. Capture: when the
    // device has written over frames not taken (it holds the last buffer's
    // worth), moves the client to the oldest frame still there and answers
    // the frames lost.
    int64_t CatchUpRender();
    int64_t CatchUpCapture();

    int64_t BackwardsReadings() const { return m_backwards; }

private:
    uint32_t m_buffer = 0;
    uint32_t m_frame = 1;
    int64_t m_device = 0;
    int64_t m_client = 0;
    bool m_read = false;
    int64_t m_backwards = 0;
};
