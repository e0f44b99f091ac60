#pragma once

#include "asio.h"
#include "capture_reads.h"
#include "driver_settings.h"
#include "host_buffers.h"
#include "render_block.h"

#include <windows.h>

#include <atomic>
#include <cstdint>
#include <memory>
#include <vector>

class AsioAudioDevice;
struct RenderDeviceRecord;

// Threads of the driver and what each may touch:
// - The host's thread calls IASIO. It opens and closes devices, makes and
//   frees the host buffers and creates, stops and joins the engine, always
//   under the device lock (driver_lock.h) and never while joining.
// - The engine thread (one per running stream, owned by its CStreamEngine)
//   runs the cycles and calls the host. It reads the device set and the host
//   buffers only between the start and the stop of its stream; after the
//   host's callback returns it touches nothing but the engine object itself,
//   so the host may stop, dispose, change the rate or release the driver
//   from inside its callback (the engine then ends and is joined later).
// - The control thread never touches the stream: under the device lock it
//   posts requests (volume, re-prime) that the engine takes at the top of
//   its next cycle.
class CStreamEngine {
public:
    // Longest output delay the panel offers.
    static constexpr int kLongestDelayMs = 500;

    struct Setup {
        AsioAudioDevice* device = nullptr;
        const HostBuffers* buffers = nullptr;
        double sampleRate = 44100.0;
        float volume = 1.0f;
        DWORD captureWaitMs = 0;
        // Blocks each device has in flight at once: a render device the one
        // it plays and those after it, a capture device the one it fills and
        // those asked for after it (as the settings hold it).
        int requestsInFlight = kFewestRequestsInFlight;
        bool timeCodeRead = false;
        ASIOTime asioTime = {};
    };

    explicit CStreamEngine(const Setup& setup);
    // The thread must have ended (Join), or never have started.
    ~CStreamEngine();
    CStreamEngine(const CStreamEngine&) = delete;
    CStreamEngine& operator=(const CStreamEngine&) = delete;

    // Blocks, events and delay lines for the devices that run now. False when
    // memory or kernel objects are short; nothing allocates after this.
    bool Prepare();
    // Starts the thread; false when it cannot be created.
    bool Launch();
    // Any thread: the engine ends after the step it is in; never waits.
    void RequestStop();
    // Waits until the thread has ended. Not on the engine thread: the thread
    // may be in the host's callback, and only the host bounds that.
    void Join();
    bool OnEngineThread() const { return GetCurrentThreadId() == m_threadId; }
    // On the engine thread, when the driver goes away inside the host's
    // callback: the thread deletes the engine when it ends.
    void HandOverToThread();
    // Frees the blocks once the pins have given them back (kept otherwise):
    // on the host's thread after Join, or on the engine thread inside the
    // host's callback after RequestStop, while the devices are still open.
    void ReleaseBlocks();

    // Requests for the top of the next cycle (control and host threads).
    void PostVolume(float volume) { m_postedVolume.store(volume); }
    void PostReprime() { m_reprimeWanted.store(true); }
    void PostTimeInfoFlags(unsigned long flags) { m_postedFlags.fetch_or(flags); }
    void SetTimeCodeRead(bool on) { m_timeCodeRead.store(on); }

    // The position and stamp of the current cycle.
    void Position(ASIOSamples* position, ASIOTimeStamp* stamp) const;
    // Devices taken out of the stream because they failed or stalled.
    int DroppedDevices() const { return m_droppedCount.load(); }

    // A volume as the engine uses it: NaN counts as 1, the rest is clamped to
    // 0..1.
    static float SaneVolume(float volume);
    // Delay-line bytes for an output delay factor (factor x 500 ms, 0 or
    // below and 1000 or above none, at most kLongestDelayMs), whole frames.
    static int64_t DelayBytes(float factor, double sampleRate, int channels);

private:
    struct RenderDevice {
        uint16_t index = 0;
        int channels = 0;
        const int16_t* left = nullptr;   // host buffer of the left link, or null (silence)
        const int16_t* right = nullptr;  // of the right link
        HANDLE event = nullptr;
        std::vector<RenderBlock> blocks;  // sent in turn; the one sent requestsInFlight cycles ago is reused
        size_t nextBlock = 0;
        int failures = 0;                // writes in a row that failed
        DWORD heldSince = 0;             // tick when its block was first found still held; 0 none
        bool dropped = false;
        bool blocksHeld = false;         // the pin never gave them back: they are kept
    };
    struct CaptureDevice {
        uint16_t index = 0;
        int channels = 0;
        uint8_t* block = nullptr;        // the oldest read's frames in the engine's form
        std::unique_ptr<CaptureReads> reads;
        DWORD lateReads = 0;             // reads in a row that missed their wait
    };

    static DWORD WINAPI ThreadProc(LPVOID parameter);
    void Run();
    void ApplyRequests();
    void Cycle();
    bool RenderOutputs(int halfIndex);
    bool SendBlock(RenderDevice& render, RenderDeviceRecord& record, int halfIndex);
    void SendLeadingSilence();
    void RunRenderPins();
    bool WaitForBlock(RenderDevice& render, RenderDeviceRecord& record, const RenderBlock& block);
    void Drop(RenderDevice& render, RenderDeviceRecord& record, const char* why);
    void ApplyVolume(int halfIndex);
    void Interleave(const RenderDevice& render, int halfIndex, int16_t* data) const;
    void QueueCaptureReads();
    bool CaptureInputs();
    void SilenceInputs(int first, int count);
    void DropCapture(CaptureDevice& capture, const char* why);
    void WaitForPeriod();
    void AskForReset();
    void CallHost();
    void PrimeDelayLines();

    // Set up by the host's thread before the thread starts.
    AsioAudioDevice* const m_device;
    const HostBuffers* const m_buffers;
    const double m_sampleRate;
    const int32_t m_blockFrames;
    const DWORD m_captureWaitMs;
    const int m_requestsInFlight;
    // The host's callbacks as they were at the start: the host may change
    // or free its own copy while the stream runs.
    const ASIOCallbacks m_callbacks;
    const bool m_timeInfoMode;
    DWORD m_periodMs;
    DWORD m_slotWaitMs;
    DWORD m_dropAfterMs;
    std::vector<RenderDevice> m_render;
    std::vector<CaptureDevice> m_capture;
    HANDLE m_thread = nullptr;
    DWORD m_threadId = 0;
    HMODULE m_module = nullptr;  // held by the thread until it ends
    HANDLE m_wake;

    // Engine thread only.
    float m_volume;
    int32_t m_bufferIndex = 0;
    double m_samplePosition = 0.0;
    ASIOTimeStamp m_systemTime = {};
    ASIOTime m_asioTime;
    LARGE_INTEGER m_nextPeriod = {};
    bool m_resetAsked = false;
    bool m_firstCycle = true;

    // Shared, each said where it is written.
    std::atomic<bool> m_stop{false};
    std::atomic<bool> m_ownedByThread{false};
    std::atomic<float> m_postedVolume;
    std::atomic<bool> m_reprimeWanted{false};
    std::atomic<unsigned long> m_postedFlags{0};
    std::atomic<bool> m_timeCodeRead;
    std::atomic<int> m_droppedCount{0};
    mutable CRITICAL_SECTION m_positionLock;  // m_publishedPosition and m_publishedStamp
    uint64_t m_publishedPosition = 0;
    ASIOTimeStamp m_publishedStamp = {};
};
