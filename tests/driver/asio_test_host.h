#pragma once

#include "asio_host_session.h"

#include <functional>

// A host for tests: an ASIO host session that keeps every switch, takes
// kAsioResetRequest and kAsioLatenciesChanged (counting them) and answers
// kAsioSupportsTimeInfo with supportsTimeInfo. One per process at a time.
class AsioTestHost : public CAsioHostSession {
public:
    explicit AsioTestHost(IASIO* driver);

    // Called on the engine thread for every buffer switch, after the host has
    // recorded it; fills output halves, reads input halves.
    std::function<void(long index)> onBufferSwitch;

    static constexpr size_t kMaxSwitches = 60000;
};
