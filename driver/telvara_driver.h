#pragma once

#include "asio.h"
#include "unknown.h"

#include <windows.h>

#include <cstdint>
#include <vector>

class AsioAudioDevice;
struct RenderBlock;
struct RenderDeviceRecord;

// The driver's class id, also the interface id under which hosts ask for IASIO.
// {6F3D27A1-94C2-4E58-B1D7-5A0C8E2F9B34}
inline constexpr CLSID CLSID_TelvaraDriver = {0x6f3d27a1, 0x94c2, 0x4e58, {0xb1, 0xd7, 0x5a, 0x0c, 0x8e, 0x2f, 0x9b, 0x34}};

inline constexpr int kMaxHostBuffers = 16;
inline constexpr int kMaxCaptureBlocks = 16;

// The ASIO driver object: answers the host from the settings and the device
// set, owns the host's double buffers and runs the streaming engine.
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

    // Streaming engine (buffer-switch thread).
    void startBufferSwitchThread();
    void stopBufferSwitchThread();
    void processBlock();
    int primeOutputDelay();
    // Waits until the engine has something to do: a started stream with
    // callbacks. False when it should look at its stop flag instead.
    bool waitUntilStreaming();
    // Waits for the previous blocks of every running render device, as the
    // cycle paces itself on the devices.
    void waitForRenderDevices();

    AsioAudioDevice* m_pDevice;
    int32_t m_blockFrames;
    volatile float m_volume;
    int32_t m_inputCount;
    int32_t m_outputCount;
    int32_t m_bufferIndex;
    std::vector<HANDLE> m_renderEvents;
    std::vector<RenderBlock> m_renderBlocks;  // two per running render device: [2k] half 0, [2k + 1] half 1
    double m_samplePosition;
    double m_sampleRate;
    ASIOCallbacks* m_pCallbacks;
    ASIOTime m_asioTime;
    ASIOTimeStamp m_systemTime;
    int16_t* m_inputBuffers[kMaxHostBuffers];
    int16_t* m_outputBuffers[kMaxHostBuffers];
    uint8_t* m_captureBlocks[kMaxCaptureBlocks];
    int32_t m_inputChannelMap[kMaxHostBuffers];
    int32_t m_outputChannelMap[kMaxHostBuffers];
    int32_t m_inputLatency;
    int32_t m_outputLatency;
    bool m_initialized;
    volatile bool m_started;
    bool m_timeInfoMode;
    bool m_timeCodeRead;
    char m_errorMessage[151];
    CRITICAL_SECTION m_threadLock;

private:
    bool inputOpen();
    bool outputOpen();
    void inputClose();
    void outputClose();
    void prepareCaptureRequests();
    void sizeCaptureBlocks(int32_t blockFrames);
    void releaseCaptureBlocks();
    bool allocateRenderBlocks();
    void releaseRenderBlocks();
    void renderOutputs();
    bool waitForRenderBlock(const RenderDeviceRecord& device, const RenderBlock& block);
    void applyVolume();
    void captureInputs();
    void callBufferSwitchTimeInfo();
    DWORD captureWaitMs() const;
};

// The driver whose stream the engine runs, or null.
extern CTelvaraDriver* volatile g_pCurrentDriver;
