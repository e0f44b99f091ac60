#pragma once

#include "asio.h"
#include "drift_steering.h"
#include "host_buffers.h"
#include "live_settings.h"
#include "sample_position.h"

#include <windows.h>

#include <atomic>
#include <cstdint>
#include <memory>
#include <vector>

class CDeviceSet;
class CRenderEndpoint;
class CCaptureEndpoint;

// Threads of the driver and what each may touch:
// - The host's thread calls IASIO. Under the driver's device lock it opens
//   and closes devices, makes and frees the host buffers, and creates,
//   stops and retires the engine; it joins an engine only outside the lock.
// - The engine thread (one per running stream, owned by its CStreamEngine)
//   runs the cycles and calls the host. It streams through the endpoints
//   and reads the host buffers only between the start and the stop of its
//   stream. It works on copies of what the host could change (callbacks,
//   time-info mode); after every call into the host it looks for a stop
//   first, and once one is asked for it touches nothing but its own object:
//   the host may stop, dispose, change the rate, start anew or release the
//   driver from inside any callback. A start from inside the callback is
//   refused while a host thread is in a call that ends the stream (stop,
//   disposeBuffers, createBuffers, setSampleRate, the release): what that
//   call frees once the engine has ended is then used by no other stream. It never allocates, never shows
//   anything, traces nothing and opens nothing while the stream runs: what
//   it has to tell goes into counters and one event for the control thread.
// - The control thread never touches the stream: under the device lock it
//   posts live settings (volume, delays), which the engine takes at the top
//   of its next cycle, and it traces what the engine reported.
class CStreamEngine {
public:
    struct Setup {
        CDeviceSet* devices = nullptr;
        const HostBuffers* buffers = nullptr;
        double sampleRate = 44100.0;
        // Blocks each device has queued when the engine wakes for it: a
        // render device the one it plays and those after it (the block the
        // host fills then goes to it right after the callback, so a hiccup
        // of the engine thread there has the whole queue to run on), a
        // capture device the reads still queued beside the one that came.
        int requestsInFlight = 2;
        // Bytes of the 16-bit block each render request carries.
        int32_t requestUnit = 512;
        LiveSettings live;       // the volume and each render endpoint's delay to start with
        bool timeCodeRead = false;
        ASIOTime asioTime = {};
        // sampleRateDidChange before a callback, once AllowAnnouncement says
        // the host's own call that changed the rate has returned.
        bool announceRateChange = false;
        HANDLE reportEvent = nullptr;     // set when there is something to trace (ReportNews)
        CSamplePosition* position = nullptr;  // where each cycle's position goes (outlives the engine)
        DriftSetup drift;        // how the devices follow one clock
    };

    explicit CStreamEngine(const Setup& setup);
    // The thread must have ended (Join), or never have started.
    ~CStreamEngine();
    CStreamEngine(const CStreamEngine&) = delete;
    CStreamEngine& operator=(const CStreamEngine&) = delete;

    // The endpoints' blocks and delay lines, and the engine's own tables.
    // False when memory or kernel objects are short; nothing allocates after.
    bool Prepare();
    // On the host's thread, after Prepare: the first reads asked of the
    // capture pins, and without capture devices the first blocks onto the
    // render pins (with them the thread gives those once the first reads
    // have come).
    void Prime();
    // Starts the thread and, once it is ready, runs the render pins; false
    // when the thread cannot be created.
    bool Launch();
    // Any thread: the engine ends after the step it is in; never waits.
    void RequestStop();
    // Waits until the thread has ended. Not on the engine thread: the thread
    // may be in the host's callback, and only the host bounds that.
    void Join();
    bool OnEngineThread() const { return GetCurrentThreadId() == m_threadId; }
    // Whether the calling thread is the thread of any engine (inside the
    // host's callback, when the host calls in).
    static bool OnAnyEngineThread();
    // On the engine thread, when the driver goes away inside the host's
    // callback: the thread deletes the engine when it ends.
    void HandOverToThread();
    // Requests for the top of the next cycle.
    void PostLive(const LiveSettings& settings) { m_mailbox.Post(settings); }
    void PostTimeInfoFlags(unsigned long flags) { m_postedFlags.fetch_or(flags); }
    void AllowAnnouncement() { m_mayAnnounce.store(true); }
    void SetTimeCodeRead(bool on) { m_timeCodeRead.store(on); }
    // Any thread: the host is asked for a reset before its next callback
    // (a configured device is back), once for any number of asks before it.
    void RequestReset() { m_resetRequested.store(true); }

    // Devices taken out of the stream because they failed or stalled.
    int DroppedDevices() const { return m_droppedCount.load(); }
    // Traces what happened since the last call (devices taken out, stalls):
    // the control thread while the stream runs, the host's thread once it
    // has ended. It never touches the endpoints, which may be gone by then.
    void ReportNews();

    // The 64-bit time code of a sample position: 600 seconds of samples on.
    static uint64_t TimeCodeSamples(uint64_t position, double sampleRate);

    enum class DropReason : int { None, WritesFail, KeepsBlocks, ReadsFail, StaysLate, DoesNotRun };

private:
    // Engine thread: a device started following the clock master (its
    // rate then, ppm), and its re-synchronisations; the control thread
    // traces them.
    struct FollowerNews {
        std::atomic<bool> following{false};
        std::atomic<double> followedPpm{0.0};
        std::atomic<int64_t> resyncs{0};
        bool reportedFollowing = false;  // the control thread's
        int64_t reportedResyncs = 0;     // the control thread's
    };
    struct RenderLane {
        CRenderEndpoint* endpoint = nullptr;
        int index = 0;                   // the device's position, for the traces
        const uint8_t* left = nullptr;   // host buffer of the left link, or null (silence)
        const uint8_t* right = nullptr;  // of the right link
        int delayMs = 0;
        int failures = 0;                // sends in a row that failed
        int64_t due = 0;                 // clock tick by which its pin is expected to have room again
        bool done = false;               // it gave a block back in this cycle's wait
        int64_t lateSince = 0;           // clock tick of the first cycle it could not take its block; 0 none
        std::atomic<int> dropped{0};     // a DropReason
        int reported = 0;                // the control thread's: the reason it traced
        FollowerNews follow;
    };
    struct CaptureLane {
        CCaptureEndpoint* endpoint = nullptr;
        int index = 0;
        std::vector<uint8_t*> destinations[2];  // per half: the host buffer of each device channel, or null
        int64_t due = 0;                 // clock tick by which its next read is expected
        bool done = false;               // its read for this cycle has come
        int64_t lateSince = 0;
        std::atomic<int> dropped{0};
        int reported = 0;
        FollowerNews follow;
    };

    static DWORD WINAPI ThreadProc(LPVOID parameter);
    void Run();
    bool Cycle();
    void ApplyRequests();
    void PrimeRender();
    int64_t Begin();
    int64_t WaitForDevices();
    int64_t WaitForLanes();
    void SendOutputs(int halfIndex, int64_t waitEnded);
    void Send(RenderLane& lane, int halfIndex);
    void AddWaitHandle(HANDLE handle, DWORD& count);
    void TakeInputs(int halfIndex);
    void ApplyVolume(int halfIndex);
    void DropRender(RenderLane& lane, DropReason reason);
    void DropCapture(CaptureLane& lane, DropReason reason);
    void NoteLate(int64_t& lateSince, int64_t now, bool render, void* lane);
    bool TellHost();
    void CallHost();
    void Notify();
    int64_t LongestDelayFrames() const;
    void PrepareRender(const std::vector<CRenderEndpoint*>& devices, const std::vector<bool>& followers);
    void PrepareCapture(const std::vector<CCaptureEndpoint*>& devices, const std::vector<bool>& followers);
    void FollowClock();

    // Set up by the host's thread before the thread starts.
    CDeviceSet* const m_devices;
    const HostBuffers* const m_buffers;
    const double m_sampleRate;
    const int32_t m_blockFrames;
    const int m_requestsInFlight;
    const int32_t m_requestUnit;
    // The host's callbacks as they were at the start: the host may change
    // or free its own copy while the stream runs.
    const ASIOCallbacks m_callbacks;
    const bool m_timeInfoMode;
    const HANDLE m_reportEvent;
    CSamplePosition* const m_position;
    const DriftSetup m_driftSetup;
    int64_t m_period = 0;        // clock ticks of one block
    int64_t m_dropAfter = 0;     // clock ticks a device may stay late before it goes
    std::vector<std::unique_ptr<RenderLane>> m_render;
    std::vector<std::unique_ptr<CaptureLane>> m_capture;
    std::vector<HANDLE> m_waitHandles;  // room for the wake event and every endpoint's handle
    CLiveSettingsMailbox m_mailbox;
    HANDLE m_thread = nullptr;
    DWORD m_threadId = 0;
    HMODULE m_module = nullptr;  // held by the thread until it ends
    HANDLE m_wake;
    HANDLE m_activity;  // set whenever a device gives a block back: one handle to wait on for all
    HANDLE m_ready;  // the thread is ready to stream
    HANDLE m_go;     // the render pins run: the thread may stream

    // Engine thread only.
    CDriftSteering m_drift;  // prepared by the host's thread
    float m_volume;
    int32_t m_bufferIndex = 0;
    uint64_t m_samplePosition = 0;
    ASIOTime m_asioTime;
    int64_t m_due = 0;            // the block clock: when a cycle goes on with no device to wait for
    bool m_begun = false;
    bool m_announceRateChange;
    bool m_resetAsked = false;
    bool m_latenciesChanged = false;
    uint64_t m_stamp = 0;         // nanoseconds of the clock right before the last callback

    // Shared, each said where it is written.
    std::atomic<bool> m_stop{false};
    std::atomic<bool> m_ownedByThread{false};
    std::atomic<unsigned long> m_postedFlags{0};
    std::atomic<bool> m_timeCodeRead;
    std::atomic<bool> m_mayAnnounce{false};
    std::atomic<bool> m_resetRequested{false};
    std::atomic<int> m_droppedCount{0};      // engine thread
    std::atomic<int64_t> m_stalls{0};        // engine thread: cycles in which a device was not ready in time
    int64_t m_reportedStalls = 0;            // the control thread's
};
