#pragma once

#include "asio.h"

#include <windows.h>

#include <atomic>
#include <cstdint>
#include <functional>
#include <memory>
#include <vector>

// An ASIO host for tests of what a host may rely on: it drives IASIO
// in-process, records every callback with its thread and arrival time, and
// lets a test act inside its asioMessage and bufferSwitch the way real
// hosts do. Its callbacks allocate nothing (the records are reserved in
// advance), so a test may count what the driver's thread allocates around
// them. ASIO callbacks carry no context: one host per process at a time.
class ContractHost {
public:
    explicit ContractHost(IASIO* driver);
    ~ContractHost();
    ContractHost(const ContractHost&) = delete;
    ContractHost& operator=(const ContractHost&) = delete;

    // What asioMessage answers.
    bool supportsTimeInfo = false;
    bool takesResetRequests = true;
    // Called inside asioMessage(kAsioResetRequest), on the thread that sent it.
    std::function<void()> onResetRequest;
    // Called in every buffer switch after it was recorded, on the driver's
    // thread; fills output halves, reads input halves. When not set the
    // output halves are filled with the values given to Start.
    std::function<void(long index)> onBufferSwitch;

    // createBuffers for these output and input channel numbers (outputs
    // first) with the host's callbacks.
    ASIOError CreateBuffers(const std::vector<long>& outputs, const std::vector<long>& inputs, long bufferSize);
    // Fills output buffer n with outputValues[n] in both halves (and in every
    // switch unless onBufferSwitch is set), then starts.
    ASIOError Start(const std::vector<int16_t>& outputValues);
    int16_t* OutputHalf(size_t n, long index) const;
    int16_t* InputHalf(size_t n, long index) const;
    long BufferSize() const { return m_bufferSize; }

    struct Switch {
        long index;
        DWORD threadId;
        int64_t arrivalNs;   // QueryPerformanceCounter in nanoseconds, as the switch arrived
        bool timeInfo;
        ASIOTime time;       // as handed over, when timeInfo
    };
    // The switches so far, in order (at most kMaxSwitches are kept; more are
    // only counted).
    std::vector<Switch> Switches() const;
    static constexpr size_t kMaxSwitches = 60000;
    long Callbacks() const { return m_callbacks.load(); }
    // Waits until at least count switches have arrived; false after timeoutMs.
    bool WaitForCallbacks(long count, DWORD timeoutMs) const;
    // Switches over ms of wall-clock time.
    long CallbacksOver(DWORD ms) const;

    long ResetRequests() const { return m_resetRequests.load(); }
    // Waits until at least count reset requests have arrived.
    bool WaitForResetRequests(long count, DWORD timeoutMs) const;

    // Runs call with "inside a host call" set: a sampleRateDidChange that
    // arrives meanwhile, on any thread, is counted as inside.
    template <typename Call>
    auto InsideHostCall(Call call)
    {
        m_insideCall.store(true);
        auto result = call();
        m_insideCall.store(false);
        return result;
    }
    struct RateChange {
        double rate;
        DWORD threadId;
        bool insideHostCall;
    };
    std::vector<RateChange> RateChanges() const;

    IASIO* const driver;

    // QueryPerformanceCounter in nanoseconds.
    static int64_t NowNs();

private:
    static void BufferSwitch(long index, ASIOBool directProcess);
    static ASIOTime* BufferSwitchTimeInfo(ASIOTime* time, long index, ASIOBool directProcess);
    static void SampleRateDidChange(ASIOSampleRate rate);
    static long AsioMessage(long selector, long value, void* message, double* opt);
    void Record(long index, const ASIOTime* time);

    ASIOCallbacks m_asioCallbacks;
    std::vector<ASIOBufferInfo> m_infos;
    size_t m_outputCount = 0;
    long m_bufferSize = 0;
    std::vector<int16_t> m_outputValues;
    std::unique_ptr<Switch[]> m_switches;
    std::atomic<long> m_callbacks{0};
    std::atomic<long> m_resetRequests{0};
    std::atomic<bool> m_insideCall{false};
    mutable CRITICAL_SECTION m_rateLock;
    std::vector<RateChange> m_rateChanges;
    HANDLE m_callbackEvent;
};
