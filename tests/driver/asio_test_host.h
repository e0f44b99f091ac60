#pragma once

#include "asio.h"

#include <windows.h>

#include <atomic>
#include <cstdint>
#include <functional>
#include <mutex>
#include <vector>

// A host for tests: drives IASIO in-process with its own callbacks and
// buffers, the way a DAW does. ASIO callbacks carry no context, so one host
// is active per process at a time.
class AsioTestHost {
public:
    explicit AsioTestHost(IASIO* driver);
    ~AsioTestHost();
    AsioTestHost(const AsioTestHost&) = delete;
    AsioTestHost& operator=(const AsioTestHost&) = delete;

    // What the host answers to kAsioSupportsTimeInfo.
    bool supportsTimeInfo = false;
    // kAsioResetRequest and kAsioLatenciesChanged messages received (the
    // host says it takes them).
    std::atomic<long> resetRequests{0};
    std::atomic<long> latencyChanges{0};
    // Called on the engine thread for every buffer switch, after the host has
    // recorded it; fills output halves, reads input halves.
    std::function<void(long index)> onBufferSwitch;

    // createBuffers for these output and input channel numbers, in this
    // order (outputs first).
    ASIOError CreateBuffers(const std::vector<long>& outputs, const std::vector<long>& inputs, long bufferSize);
    const std::vector<ASIOBufferInfo>& BufferInfos() const { return m_infos; }
    // Half `index` of the n-th output or input buffer created.
    int16_t* OutputHalf(size_t n, long index) const;
    int16_t* InputHalf(size_t n, long index) const;

    // Waits until at least `count` callbacks arrived; false after timeoutMs.
    bool WaitForCallbacks(long count, DWORD timeoutMs);
    long CallbackCount() const { return m_callbackCount.load(); }

    struct Switch {
        long index;
        bool timeInfo;
        ASIOTime time;  // valid when timeInfo
        DWORD threadId;
        double tickMs;  // QueryPerformanceCounter time of arrival
    };
    std::vector<Switch> Switches() const;
    std::vector<ASIOSampleRate> RateChanges() const;

    IASIO* const driver;
    long bufferSize = 0;

private:
    static void BufferSwitch(long index, ASIOBool directProcess);
    static ASIOTime* BufferSwitchTimeInfo(ASIOTime* time, long index, ASIOBool directProcess);
    static void SampleRateDidChange(ASIOSampleRate rate);
    static long AsioMessage(long selector, long value, void* message, double* opt);
    void Record(long index, const ASIOTime* time);

    ASIOCallbacks m_callbacks;
    std::vector<ASIOBufferInfo> m_infos;
    size_t m_outputCount = 0;
    mutable std::mutex m_lock;
    std::vector<Switch> m_switches;
    std::vector<ASIOSampleRate> m_rateChanges;
    std::atomic<long> m_callbackCount{0};
    HANDLE m_callbackEvent;
};
