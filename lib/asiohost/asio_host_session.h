#pragma once

#include "asio.h"

#include <windows.h>

#include <atomic>
#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <vector>

// The host's side of one ASIO driver, as a DAW drives it: loads the driver
// (or takes one made elsewhere), creates its buffers with this session's
// callbacks, answers asioMessage as its user chose, counts what arrives and
// lets its user act inside each buffer switch.
//
// The ASIO callbacks carry no context, so one session exists per process at
// a time. Nothing in the callbacks allocates (the switch log is reserved in
// advance, the hooks are called, never copied), so a user may count what the
// driver's thread allocates around its hooks; a buffer switch takes no lock
// and sets no event unless someone waits for switches.
class CAsioHostSession {
public:
    // A session without a driver: Load makes one.
    CAsioHostSession();
    // A session over a driver made elsewhere, initialised or not. The
    // session never releases it. Throws std::logic_error while another
    // session exists.
    explicit CAsioHostSession(IASIO* driver);
    // A driver the session loaded is stopped, its buffers disposed and it
    // is released; one given to it is left as it is.
    ~CAsioHostSession();
    CAsioHostSession(const CAsioHostSession&) = delete;
    CAsioHostSession& operator=(const CAsioHostSession&) = delete;

    // Creates the driver with CoCreateInstance, asking for IASIO under the
    // driver's own class id as ASIO hosts do (COM is initialised for this
    // thread first). The HRESULT of the creation.
    HRESULT Load(const CLSID& clsid);
    // init; false with the driver's own error text.
    bool Init(HWND window, std::string& error);
    IASIO* Driver() const { return m_driver; }

    // What asioMessage answers. kAsioSelectorSupported answers 1 for the
    // selectors taken. Of those, kAsioEngineVersion answers 2,
    // kAsioSupportsTimeInfo answers supportsTimeInfo, kAsioResetRequest and
    // kAsioLatenciesChanged are counted (a reset request calls the reset
    // hook) and answer 1. Every other selector answers 0. By default no
    // selector is taken. Set before the buffers are created.
    void TakeSelectors(const std::vector<long>& selectors);
    std::atomic<bool> supportsTimeInfo{false};

    // Called on the driver's thread in every buffer switch, before it is
    // counted: the half to fill or read, and the driver's time info when
    // the host takes time info (nullptr otherwise). Set while no stream runs.
    using SwitchHook = std::function<void(long index, const ASIOTime* time)>;
    void SetSwitchHook(SwitchHook hook) { m_switchHook = std::move(hook); }
    // Called inside asioMessage(kAsioResetRequest), on the thread that sent it.
    void SetResetHook(std::function<void()> hook) { m_resetHook = std::move(hook); }

    // createBuffers for these output and input channel numbers, outputs first.
    ASIOError CreateBuffers(const std::vector<long>& outputs, const std::vector<long>& inputs, long bufferSize);
    long BufferSize() const { return m_bufferSize; }
    size_t OutputCount() const { return m_outputCount; }
    const std::vector<ASIOBufferInfo>& BufferInfos() const { return m_infos; }
    // Half `index` of the n-th output or input buffer created.
    int16_t* OutputHalf(size_t n, long index) const;
    int16_t* InputHalf(size_t n, long index) const;

    ASIOError Start() { return m_driver->start(); }
    ASIOError Stop() { return m_driver->stop(); }
    ASIOError DisposeBuffers() { return m_driver->disposeBuffers(); }

    // Buffer switches so far.
    long Callbacks() const { return m_callbacks.load(); }
    // Waits until at least count switches have arrived; false after timeoutMs.
    bool WaitForCallbacks(long count, DWORD timeoutMs) const;
    long ResetRequests() const { return m_resetRequests.load(); }
    long LatencyChanges() const { return m_latencyChanges.load(); }

    // The switches themselves, when the session keeps them: the first
    // `capacity` switches from now on (later ones are only counted).
    struct Switch {
        long index;
        DWORD threadId;
        int64_t arrivalNs;  // NowNs() as the switch arrived
        bool timeInfo;
        ASIOTime time;      // as handed over, when timeInfo
    };
    void KeepSwitches(size_t capacity);
    std::vector<Switch> Switches() const;

    // Runs call with "inside a host call" set: a sampleRateDidChange that
    // arrives meanwhile, on any thread, is marked as inside.
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
    // The sample-rate changes the driver told, in order (the first
    // kMaxRateChanges of them).
    std::vector<RateChange> RateChanges() const;
    static constexpr size_t kMaxRateChanges = 256;

    // QueryPerformanceCounter in nanoseconds.
    static int64_t NowNs();

private:
    static void BufferSwitch(long index, ASIOBool directProcess);
    static ASIOTime* BufferSwitchTimeInfo(ASIOTime* time, long index, ASIOBool directProcess);
    static void SampleRateDidChange(ASIOSampleRate rate);
    static long AsioMessage(long selector, long value, void* message, double* opt);
    void OnSwitch(long index, const ASIOTime* time);
    bool Takes(long selector) const;

    IASIO* m_driver = nullptr;
    bool m_owned = false;
    bool m_comStarted = false;
    ASIOCallbacks m_asioCallbacks;
    std::vector<ASIOBufferInfo> m_infos;
    size_t m_outputCount = 0;
    long m_bufferSize = 0;
    uint32_t m_selectors = 0;  // bit s: selector s is taken
    SwitchHook m_switchHook;
    std::function<void()> m_resetHook;

    std::atomic<long> m_callbacks{0};
    std::atomic<long> m_resetRequests{0};
    std::atomic<long> m_latencyChanges{0};
    // The callback path sets the event only while someone waits, so a
    // session nobody waits on makes no system call per switch.
    mutable std::atomic<long> m_waiters{0};
    HANDLE m_callbackEvent;

    std::unique_ptr<Switch[]> m_switches;
    size_t m_switchCapacity = 0;
    long m_switchBase = 0;

    std::atomic<bool> m_insideCall{false};
    mutable CRITICAL_SECTION m_rateLock;
    RateChange m_rateChanges[kMaxRateChanges];
    size_t m_rateChangeCount = 0;
};
