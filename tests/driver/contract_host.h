#pragma once

#include "asio_host_session.h"

#include <functional>
#include <vector>

// An ASIO host for tests of what a host may rely on: an ASIO host session
// that records every callback with its thread and arrival time, and lets a
// test act inside its asioMessage and bufferSwitch the way real hosts do.
// Its callbacks allocate nothing (the records are reserved in advance), so
// a test may count what the driver's thread allocates around them. It takes
// kAsioResetRequest (not kAsioLatenciesChanged) and answers
// kAsioSupportsTimeInfo with supportsTimeInfo. One per process at a time.
class ContractHost : public CAsioHostSession {
public:
    explicit ContractHost(IASIO* driver);

    // Called inside asioMessage(kAsioResetRequest), on the thread that sent it.
    std::function<void()> onResetRequest;
    // Called in every buffer switch after it was recorded, on the driver's
    // thread; fills output halves, reads input halves. When not set the
    // output halves are filled with the values given to Start.
    std::function<void(long index)> onBufferSwitch;

    // Fills output buffer n with outputValues[n] in both halves (and in every
    // switch unless onBufferSwitch is set), then starts.
    ASIOError Start(const std::vector<int16_t>& outputValues);

    // The switches are kept up to this many; more are only counted.
    static constexpr size_t kMaxSwitches = 60000;
    // Switches over ms of wall-clock time.
    long CallbacksOver(DWORD ms) const;
    // Waits until at least count reset requests have arrived.
    bool WaitForResetRequests(long count, DWORD timeoutMs) const;

private:
    void FillOutputs(long index);

    std::vector<int16_t> m_outputValues;
};
