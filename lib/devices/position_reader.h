#pragma once

#include "ks_platform.h"

#include <cstdint>

// Reads a pin's KSPROPERTY_AUDIO_POSITION from inside the stream's cycle.
// The request, its answer and its event are made once, so a read allocates,
// creates and traces nothing; a read the driver does not answer at once
// stays pending and is looked at again on the next call, so the cycle never
// waits for the driver. One thread (the engine's) reads; the destructor
// runs once the stream has ended.
class CPositionReader {
public:
    explicit CPositionReader(HANDLE pin);
    // Cancels a read still pending and waits for it, at most a second: the
    // driver may write into the request until then. Past that the request's
    // memory is left to the driver rather than freed under it.
    ~CPositionReader();
    CPositionReader(const CPositionReader&) = delete;
    CPositionReader& operator=(const CPositionReader&) = delete;

    // The play (render) or record (capture) offset in bytes, when the
    // driver has answered; false while a read is pending or when it failed.
    // `answeredNow` (when given) tells whether the answer is to this call's
    // read, not to one that was pending since an earlier call.
    bool Read(uint64_t* offset, bool* answeredNow = nullptr);

private:
    struct Request;
    bool Answer(uint64_t* offset) const;

    HANDLE m_pin;
    Request* m_request = nullptr;
    bool m_pending = false;
};
