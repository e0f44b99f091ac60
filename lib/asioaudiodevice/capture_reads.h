#pragma once

#include "capture_request.h"

#include <cstddef>
#include <cstdint>
#include <vector>

class CKsPin;
class CaptureStream;

// The reads one capture device keeps queued on its pin, so that a late
// cycle finds the frames waiting instead of lost: `count` blocks asked for
// in order, the oldest taken each cycle and asked for again at the back.
// A read that misses its wait stays queued and is taken, late, in a later
// cycle: the host never gets a block twice or a block half-written. Used by
// one thread (the engine's) from Queue to TakeBack.
class CaptureReads {
public:
    // Delivered 16-bit block in the engine's form: `blockBytes` bytes.
    CaptureReads(CKsPin* pin, const CaptureStream* stream, uint32_t blockBytes, int count);
    // The reads must have been taken back (TakeBack true) or never queued.
    ~CaptureReads();
    CaptureReads(const CaptureReads&) = delete;
    CaptureReads& operator=(const CaptureReads&) = delete;

    // Events and buffers; false when memory or kernel objects are short.
    bool Prepare();
    // Asks for every block not yet asked for. False when the pin refuses.
    bool Queue();
    // Waits at most timeoutMs for the oldest read; on 0 its frames are in
    // block16 and it is asked for again. kLate: not yet (it stays queued);
    // negative: the pin failed.
    static constexpr int32_t kLate = 1;
    int32_t TakeOldest(void* block16, uint32_t timeoutMs);
    // Cancels what the pin holds and waits until it has given it back. False
    // when something stays held: this object must then be kept.
    bool TakeBack(uint32_t timeoutMs);

private:
    struct Read {
        StreamRequest request = {};
        std::vector<uint8_t> data;  // the block in the pin's form
        bool asked = false;         // handed to the pin and not taken yet (it may have completed)
    };
    bool Submit(Read& read);

    CKsPin* m_pin;
    const CaptureStream* m_stream;
    uint32_t m_blockBytes;
    size_t m_pinBytes;
    std::vector<Read> m_reads;
    size_t m_oldest = 0;
};
