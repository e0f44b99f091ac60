#pragma once

#include "endpoint_transport.h"
#include "position_reader.h"
#include "request_completion.h"

#include <memory>
#include <vector>

class CKsPin;

// The transport of pins that take stream requests (IOCTL_KS_WRITE_STREAM
// and IOCTL_KS_READ_STREAM): every slot is a block buffer with its
// requests. A render block goes out as several requests, of which only the
// last carries the endpoint's event (the requests of one pin complete in
// order); a capture block is one read, each with the event, as long as it
// was asked to be. The event is
// auto-reset and only says "look again": whether a slot is held is told by
// the status the system keeps in its requests.
class CStandardStreaming : public CEndpointTransport {
public:
    CStandardStreaming(CKsPin* pin, StreamDirection direction);
    ~CStandardStreaming() override;
    CStandardStreaming(const CStandardStreaming&) = delete;
    CStandardStreaming& operator=(const CStandardStreaming&) = delete;

    bool Prepare(int slots, uint32_t blockBytes, const std::vector<uint32_t>& requestEnds, HANDLE activity) override;
    int Slots() const override { return static_cast<int>(m_slots.size()); }
    int Held() const override;
    HANDLE WaitHandle() const override { return m_signal; }

    uint8_t* NextToSend() override;
    HRESULT Send(uint32_t bytes) override;
    bool ReadProgress(int64_t* position, int64_t* moved) override;

    HRESULT AskForAll() override;
    const uint8_t* OldestArrived(uint32_t* filled, HRESULT* outcome) override;
    HRESULT AskAgain(uint32_t bytes) override;

    void CancelAll() override;
    bool Collect(ULONGLONG deadline) override;

private:
    struct Slot {
        std::vector<uint8_t> data;
        std::vector<StreamRequest> requests;
        uint32_t queued = 0;  // requests handed to the pin by the last use of this slot
        bool asked = false;   // capture: asked for and not taken yet
        uint32_t bytes = 0;   // capture: the length of its read
    };
    static bool IsHeld(const Slot& slot) { return AnyRequestHeld(slot.requests.data(), slot.queued); }
    HRESULT Submit(Slot& slot, uint32_t bytes);

    CKsPin* m_pin;
    StreamDirection m_direction;
    HANDLE m_event;   // its own
    HANDLE m_signal;  // the event the give-backs set: its own or the one it was given
    std::vector<uint32_t> m_requestEnds;
    std::vector<Slot> m_slots;
    size_t m_next = 0;  // render: the next slot to send; capture: the oldest asked for
    int64_t m_moved = 0;  // bytes handed to the pin (render) or of the reads taken (capture) since Prepare
    std::unique_ptr<CPositionReader> m_positionReader;
};
