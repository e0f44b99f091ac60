#pragma once

#include "asio.h"
#include "control_thread.h"
#include "driver_settings.h"
#include "driver_texts.h"
#include "drift_steering.h"
#include "sample_position.h"
#include "telvara_drift_figures.h"
#include "unknown.h"

#include <windows.h>

#include <cstdint>
#include <map>
#include <memory>
#include <string>
#include <vector>

class CDeviceSet;
class CStreamEngine;
struct HostBuffers;

// The driver's class id, also the interface id under which hosts ask for IASIO.
// {6F3D27A1-94C2-4E58-B1D7-5A0C8E2F9B34}
inline constexpr CLSID CLSID_TelvaraDriver = {0x6f3d27a1, 0x94c2, 0x4e58, {0xb1, 0xd7, 0x5a, 0x0c, 0x8e, 0x2f, 0x9b, 0x34}};

// The ASIO driver object: the COM and IASIO shim over the device set, the
// host's buffers and the stream's engine.
//
// Its state is the objects it holds, each existing exactly while the state
// lasts: devices opened (m_devices), buffers prepared (m_buffers), running
// (m_engine). Which thread may touch what is said in stream_engine.h.
class CTelvaraDriver : public IASIO, public CUnknown, public CControlClient {
public:
    explicit CTelvaraDriver(IUnknown* pUnkOuter);
    ~CTelvaraDriver() override;

    // IUnknown, forwarded to the owner.
    HRESULT STDMETHODCALLTYPE QueryInterface(REFIID riid, void** ppv) override;
    ULONG STDMETHODCALLTYPE AddRef() override;
    ULONG STDMETHODCALLTYPE Release() override;
    HRESULT STDMETHODCALLTYPE NonDelegatingQueryInterface(REFIID riid, void** ppv) override;

    // IASIO.
    ASIOBool init(void* sysHandle) override;
    void getDriverName(char* name) override;
    long getDriverVersion() override;
    void getErrorMessage(char* string) override;
    ASIOError start() override;
    ASIOError stop() override;
    ASIOError getChannels(long* numInputChannels, long* numOutputChannels) override;
    ASIOError getLatencies(long* inputLatency, long* outputLatency) override;
    ASIOError getBufferSize(long* minSize, long* maxSize, long* preferredSize, long* granularity) override;
    ASIOError canSampleRate(ASIOSampleRate sampleRate) override;
    ASIOError getSampleRate(ASIOSampleRate* sampleRate) override;
    ASIOError setSampleRate(ASIOSampleRate sampleRate) override;
    ASIOError getClockSources(ASIOClockSource* clocks, long* numSources) override;
    ASIOError setClockSource(long reference) override;
    ASIOError getSamplePosition(ASIOSamples* sPos, ASIOTimeStamp* tStamp) override;
    ASIOError getChannelInfo(ASIOChannelInfo* info) override;
    ASIOError createBuffers(ASIOBufferInfo* bufferInfos, long numChannels, long bufferSize,
                            ASIOCallbacks* callbacks) override;
    ASIOError disposeBuffers() override;
    ASIOError controlPanel() override;
    ASIOError future(long selector, void* opt) override;
    ASIOError outputReady() override;

    // The control thread's requests (control_thread.h). A running stream
    // takes a new volume and new delays at once.
    void SetVolume(float volume) override;
    void SetOutputDelays(const std::map<std::string, float>& factors) override;
    void ReportStreamNews() override;
    DeviceLook AwaitedDevices() override;
    void TakeUpPresentDevices(const DeviceLook& present) override;

    // Under the device lock, while the stream runs: how each render device
    // follows the clock master (include/telvara_drift_figures.h).
    int CopyDriftFigures(TelvaraDriftFigure* figures, int capacity) const;

private:
    // A failure inside an operation: its ASIO error code and the text
    // getErrorMessage gives (GBK; null keeps the text there is).
    struct Failure {
        ASIOError code;
        const char* text;
    };
    // The one edge every IASIO operation passes: a Failure or any exception
    // becomes its error code, its error text and a trace line.
    template <typename Operation>
    ASIOError AtTheEdge(const char* name, Operation&& operation);

    // Under the device lock. True when a channel of either direction opened.
    bool openDevices();
    void closeDevices();
    // Publishes what became of each configured device and, when the driver
    // runs, names the devices left out in the error text.
    void reportDevices();
    // Starts the stream; throws Failure. The box a failing start shows is
    // handed out, to be shown once the lock is left.
    void startStream(bool announceRateChange, std::string& box);
    // Ends the running stream, if any: it is retired under the lock at once
    // and joined after, unless this runs on its own thread (then later).
    void endStream();
    void joinRetired();
    void postLive();
    int64_t longestDelayFrames() const;

    // The settings as read when the object was made (already kept inside
    // their limits by the reader).
    int32_t m_blockFrames;
    int32_t m_requestUnit;
    float m_volume;
    double m_sampleRate;
    int32_t m_bitsPerSample;
    HostSampleType m_hostSampleType;  // the form of the host's buffers
    int32_t m_inputLatency;
    int32_t m_outputLatency;
    int m_requestsInFlight;
    DriftSetup m_drift;  // how the render devices follow one clock

    ASIOTime m_asioTime;  // time info a started engine begins with
    bool m_initialized = false;
    bool m_attached = false;  // to the control thread
    bool m_traceFile = false;  // a user of the trace file (the settings asked for it)
    // Orders the calls of the host's threads: see HostCallOrder. A critical
    // section, not a standard mutex: a contended mutex of this runtime
    // keeps a kernel handle that its destructor never closes.
    CRITICAL_SECTION m_hostCalls;
    // Under the device lock: host threads in a call that ends the stream
    // and frees or replaces what it used; no stream starts from inside the
    // host's callback meanwhile (StartsHeld).
    int m_startsHeld = 0;
    bool m_timeCodeRead = false;
    char m_errorMessage[DriverTexts::kErrorMessageBytes];
    std::unique_ptr<CDeviceSet> m_devices;
    std::vector<int> m_delaysMs;  // each open render device's output delay now
    std::unique_ptr<HostBuffers> m_buffers;
    std::unique_ptr<CStreamEngine> m_engine;
    // Under the device lock: the configured devices the running stream goes
    // without, until one comes back.
    CDeviceArrivalWatch m_arrivals;
    // Stopped, not joined yet (stopped from inside the host's callback, or
    // by one thread while another joins).
    std::vector<std::unique_ptr<CStreamEngine>> m_retired;
    CSamplePosition m_position;
};
