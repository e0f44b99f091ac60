#pragma once

#include "asio.h"

#include <windows.h>

#include <cstdint>
#include <functional>
#include <string>
#include <vector>

// One driver loaded through COM and driven like a DAW drives it. The ASIO
// callbacks carry no context, so one session runs per process.
class AsioSession {
public:
    AsioSession();
    ~AsioSession();
    AsioSession(const AsioSession&) = delete;
    AsioSession& operator=(const AsioSession&) = delete;

    // CoCreateInstance of the class; false with a reason in `error`.
    bool Load(const CLSID& clsid, std::string& error);
    // init; false with the driver's own error text.
    bool Init(std::string& error);
    IASIO* Driver() const { return m_driver; }

    // createBuffers for the given outputs then inputs.
    ASIOError CreateBuffers(const std::vector<long>& outputs, const std::vector<long>& inputs, long bufferSize);
    int16_t* OutputHalf(size_t n, long index) const { return static_cast<int16_t*>(m_infos[n].buffers[index]); }
    int16_t* InputHalf(size_t n, long index) const
    {
        return static_cast<int16_t*>(m_infos[m_outputCount + n].buffers[index]);
    }

    // Called on the driver's engine thread for each buffer switch.
    std::function<void(long index)> onBufferSwitch;

    struct Statistics {
        long callbacks = 0;
        double meanIntervalMs = 0;
        double worstIntervalMs = 0;
    };
    Statistics GetStatistics() const;

private:
    static void BufferSwitch(long index, ASIOBool directProcess);
    static ASIOTime* BufferSwitchTimeInfo(ASIOTime* time, long index, ASIOBool directProcess);
    static void SampleRateDidChange(ASIOSampleRate rate);
    static long AsioMessage(long selector, long value, void* message, double* opt);
    void OnSwitch(long index);

    IASIO* m_driver = nullptr;
    bool m_comStarted = false;
    ASIOCallbacks m_callbacks;
    std::vector<ASIOBufferInfo> m_infos;
    size_t m_outputCount = 0;
    mutable CRITICAL_SECTION m_statsLock;
    long m_callbackCount = 0;
    double m_lastSwitchMs = 0;
    double m_intervalSumMs = 0;
    double m_worstIntervalMs = 0;
};
