#pragma once

#include "ks_platform.h"
#include "stream_direction.h"

#include <cstdint>
#include <string>
#include <vector>

// How an endpoint moves blocks to and from its pin. A transport holds a
// fixed number of block slots in the pin's sample form, used in turn; all
// of it is made before the stream starts, so nothing here allocates while
// the stream runs. One thread (the engine's) uses it from Prepare to
// CancelAll; Collect runs on the host's thread once the engine has ended.
class CEndpointTransport {
public:
    virtual ~CEndpointTransport() = default;

    // Room for `slots` blocks of up to blockBytes bytes each; the last of
    // requestEnds is a block's nominal length (at most blockBytes). A render
    // block goes to the pin as requests ending at the offsets of requestEnds
    // (a block sent longer or shorter moves the end of its last request); a
    // capture block is asked for with one read, of the nominal length until
    // AskAgain asks for another. The
    // pin's give-backs signal `activity` when one is given (one event for
    // every device of a stream, so that its thread waits on one handle),
    // otherwise the transport's own event.
    virtual bool Prepare(int slots, uint32_t blockBytes, const std::vector<uint32_t>& requestEnds,
                         HANDLE activity) = 0;
    virtual int Slots() const = 0;
    // Blocks handed to the pin and not given back yet.
    virtual int Held() const = 0;
    // Signalled whenever the pin gives a block back; null for a transport
    // that has nothing to wait on (it then offers a due time only).
    virtual HANDLE WaitHandle() const = 0;

    // Render: the buffer of the next block, null when the pin holds every
    // slot; Send hands its first `bytes` (at most the room) to the pin.
    virtual uint8_t* NextToSend() = 0;
    virtual HRESULT Send(uint32_t bytes) = 0;
    // The bytes the device has played or recorded since the stream began
    // and the bytes handed to it (render) or taken from it (capture), read
    // now; false when the device gave no position in this call (none at
    // all, or one still on its way).
    virtual bool ReadProgress(int64_t* position, int64_t* moved) = 0;

    // Capture: asks for every slot not asked for yet.
    virtual HRESULT AskForAll() = 0;
    // The oldest block asked for, when the pin has given it back: its data,
    // the bytes the pin filled in, and the request's outcome (a failure of
    // the pin shows here). Null while the pin still holds it.
    virtual const uint8_t* OldestArrived(uint32_t* filled, HRESULT* outcome) = 0;
    // Takes the oldest block and asks for a block of `bytes` (whole frames,
    // at most the room) at the back of the queue.
    virtual HRESULT AskAgain(uint32_t bytes) = 0;

    // Cancels everything the pin holds without waiting for it.
    virtual void CancelAll() = 0;
    // Waits until the pin has given everything back, at most until the
    // deadline (GetTickCount64). False when something stays held: the
    // transport's memory must then be kept.
    virtual bool Collect(ULONGLONG deadline) = 0;

    // The hardware's own latency in frames as the transport learnt it (a
    // looped buffer's FIFO and delays); -1 when the transport has none and
    // the pin's latency property tells.
    virtual int32_t HardwareLatencyFrames() const { return -1; }
    // Frames the device played or recorded past the stream (a looped
    // buffer's underruns and overruns, seen by the client).
    virtual int64_t LostFrames() const { return 0; }
    // How the endpoint streams, for diagnostics.
    virtual std::string Describe() const { return "standard streaming"; }
};
