#pragma once

#include "asio.h"
#include "driver_texts.h"
#include "unknown.h"

#include <windows.h>

#include <cstdint>
#include <memory>

class AsioAudioDevice;
class CStreamEngine;
struct HostBuffers;

// The driver's class id, also the interface id under which hosts ask for IASIO.
// {6F3D27A1-94C2-4E58-B1D7-5A0C8E2F9B34}
inline constexpr CLSID CLSID_TelvaraDriver = {0x6f3d27a1, 0x94c2, 0x4e58, {0xb1, 0xd7, 0x5a, 0x0c, 0x8e, 0x2f, 0x9b, 0x34}};

// The ASIO driver object: answers the host from the settings and the device
// set, owns the host's double buffers and forwards the stream to its engine.
//
// Its state is the objects it holds: devices opened (m_initialized, the
// device set's open tables), buffers prepared (m_buffers, from createBuffers
// to disposeBuffers), running (m_engine, from start to stop). Which thread
// may touch what is said in stream_engine.h.
class CTelvaraDriver : public IASIO, public CUnknown {
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

    // The control thread, under the device lock: a new volume, the delay
    // lines primed again. Both reach a running engine as requests.
    void SetVolume(float volume);
    void RequestReprime();

private:
    void inputOpen();
    bool outputOpen();
    void inputClose();
    void outputClose();
    // Ends the running stream, if any; the engine is joined at once, or,
    // when this runs on its own thread, later by joinRetired.
    void endStream();
    void joinRetired();
    DWORD captureWaitMs() const;

    AsioAudioDevice* m_pDevice;
    int32_t m_blockFrames;
    float m_volume;
    double m_sampleRate;
    int32_t m_inputLatency;
    int m_requestsInFlight;  // blocks each device has in flight
    int32_t m_outputLatency;
    ASIOTime m_asioTime;          // time info a started engine begins with
    bool m_initialized;
    bool m_timeCodeRead;
    char m_errorMessage[DriverTexts::kErrorMessageBytes];
    std::unique_ptr<HostBuffers> m_buffers;
    std::unique_ptr<CStreamEngine> m_engine;
    std::unique_ptr<CStreamEngine> m_retired;  // stopped from inside the host's callback, not joined yet
    ASIOSamples m_lastPosition;
    ASIOTimeStamp m_lastStamp;
};
