#pragma once

// The simulation's own records: devices as they live while the model runs,
// the handle table, requests in flight and pin instances with their clocks.
// Everything here is guarded by Model::lock; the functions declared below
// expect the caller to hold it unless they say otherwise.

#include "kssim.h"
#include "status_codes.h"
#include "device_wav_files.h"
#include "played_tail.h"
#include "signal_generator.h"

#include <atomic>
#include <cstdint>
#include <deque>
#include <map>
#include <memory>
#include <string>
#include <vector>

namespace kssim::detail {

constexpr int64_t kNever = INT64_MAX;

enum class RequestKind { Write, Read, Property };

// One request the caller is waiting for: a stream request on a pin or a
// property request of an asynchronous device.
struct HandleEntry;
struct RtStream;  // rt_buffer.h

struct Request {
    RequestKind kind = RequestKind::Property;
    HANDLE handle = nullptr;           // the simulated handle it came on
    OVERLAPPED* overlapped = nullptr;  // the caller's
    HANDLE event = nullptr;            // its hEvent without the completion-port bit; may be null
    HandleEntry* file = nullptr;       // whose kernel object is signalled instead when there is no event

    // Stream requests: the caller's KSSTREAM_HEADERs, back to back.
    BYTE* headers = nullptr;
    DWORD headersSize = 0;
    int64_t bytes = 0;   // written (sum of DataUsed) or to be read (sum of FrameExtent)
    int64_t start = 0;   // stream positions in bytes: where its data lies on the device's timeline
    int64_t end = 0;
    bool stalled = false;  // an injected never-completing request
    int64_t cancelAt = kNever;  // cancelled on a slow pin: completes as cancelled at this tick

    // Property requests: a copy of the request, the caller's answer buffer.
    std::vector<BYTE> property;
    void* output = nullptr;
    DWORD outputSize = 0;
};

// What the model keeps about one pin of a device across its instances.
struct PinRecord {
    std::vector<uint8_t> rendered;
    std::vector<uint8_t> lastConnect;
    StreamFault fault = StreamFault::None;
    DWORD faultError = ERROR_GEN_FAILURE;
    DWORD cancelDelayMs = 0;  // how long cancelled requests stay pending
    int openInstances = 0;
    // Instances another program holds (HoldInstances): taken, not open here.
    int heldElsewhere = 0;
    // Frames the device played as silence because its queue ran dry
    // (render), or lost because no read came in time (capture), since the
    // stream of an instance began.
    int64_t underrunFrames = 0;
    int64_t overrunFrames = 0;
    // Bytes played (render), silence included, and the frame size of the
    // instance that played them last.
    int64_t playedBytes = 0;
    int64_t playedBlockAlign = 0;
};

struct Device {
    DeviceModel model;
    bool removed = false;
    DWORD devInst = 0;  // SP_DEVINFO_DATA.DevInst, unique in the process
    std::vector<PinRecord> pins;
    std::shared_ptr<const CaptureClip> clip;  // Signal::WavFile
    RenderFile renderFile;
    // The description file the device came from when a host process loaded
    // it: processes of one such file take pin instances from one another.
    // Empty for devices made in code.
    std::string sharedScope;
};

// The wave format a pin instance was created with.
struct StreamFormat {
    WORD tag = WAVE_FORMAT_PCM;
    WORD channels = 0;
    DWORD sampleRate = 0;
    WORD bitsPerSample = 0;
    WORD blockAlign = 0;
    WORD validBits = 0;
    DWORD channelMask = 0;
    bool extensible = false;
    bool isFloat = false;  // IEEE float samples (32 bits)
};

struct PinInstance {
    std::shared_ptr<Device> device;
    ULONG pinId = 0;
    unsigned long long sharedKey = 0;  // the instance is in the shared table (0: not)
    uint64_t serial = 0;           // creation order among all pin instances
    HANDLE handle = nullptr;
    StreamFormat format;
    std::vector<uint8_t> connect;  // the KSPIN_CONNECT and data format it was created with
    bool render = true;            // data flows into the pin (IOCTL_KS_WRITE_STREAM)
    bool looped = false;
    KSSTATE state = KSSTATE_STOP;
    std::deque<std::unique_ptr<Request>> queue;

    // The device clock: while running, the device position (bytes of the
    // stream) is anchorPos + (tick - anchorTick) * bytesPerTick.
    double bytesPerTick = 0.0;
    int64_t bufferBytes = 0;   // the device's own buffer, whole frames
    int64_t anchorTick = 0;
    double anchorPos = 0.0;
    int64_t streamEnd = 0;     // where the data of the last queued request ends
    bool streamBegun = false;  // a stream request has come since the instance was created

    // Looped streaming: the head request's buffer is played or filled round
    // and round from loopStart; loopDone is how far the device has got.
    bool loopActive = false;
    int64_t loopStart = 0;
    int64_t loopDone = 0;

    bool writesFile = false;   // this instance feeds the device's render WAV file

    // A WaveRT pin (looped pin of a device with a WaveRtModel): its cyclic
    // buffer instead of stream requests.
    std::shared_ptr<RtStream> rt;

    // Render: the last frames played and the clock runs that date them.
    PlayedRing played;
};

enum class HandleKind { DeviceInfoSet, Filter, Pin };

// One member of a SetupAPI device-information set: a device interface of
// the requested class.
struct SetMember {
    std::shared_ptr<Device> device;
    GUID interfaceClass{};
};

struct HandleEntry {
    HandleKind kind = HandleKind::Filter;
    HANDLE value = nullptr;           // the handle value the caller holds
    HANDLE object = nullptr;          // the kernel object behind it
    bool objectSignalled = false;     // its state, as last set: calls that would not change it are left out
    std::shared_ptr<Device> device;   // filters and pins
    std::unique_ptr<PinInstance> pin; // pins
    std::vector<SetMember> members;   // device-information sets
    std::vector<std::shared_ptr<Device>> setDevices;  // devices of a set, DevInst order of first appearance
};

struct Worker;

// The simulated clock of ClockMode::Virtual (virtual_clock.cpp). `on` and
// `now` are read without the lock (StreamClock::Now); everything else, and
// every change of `now`, is under Model::lock.
struct VirtualTime {
    std::atomic<bool> on{false};
    std::atomic<int64_t> now{0};
    int64_t origin = 0;
    int64_t limit = kNever;        // the clock does not move beyond this (RunFor)
    int parked = 0;                // threads waiting at the limit
    HANDLE limitMoved = nullptr;   // manual-reset: the limit moved, or the clock stopped
    CONDITION_VARIABLE reached = CONDITION_VARIABLE_INIT;  // a thread parked at the limit
    uint64_t jitterState = 1;      // generators: wake-up jitter and hiccups, position noise
    uint64_t noiseState = 1;
    int64_t jitterMaxTicks = 0;
    struct Hiccup {
        int64_t at = 0;
        int64_t duration = 0;
        bool done = false;
    };
    std::vector<Hiccup> hiccups;
    int positionNoiseFrames = 0;
};

struct Model {
    Model();
    CRITICAL_SECTION lock;

    std::vector<std::shared_ptr<Device>> devices;   // enumeration order
    std::map<HANDLE, std::unique_ptr<HandleEntry>> handles;
    std::deque<std::unique_ptr<Request>> propertyQueue;  // asynchronous property requests, in arrival order

    ClockMode clockMode = ClockMode::RealTime;
    bool ksUserMissing = false;
    bool holdProperties = false;
    bool installed = false;      // a model was installed in code or from a description
    bool autoLoadTried = false;
    DWORD nextDevInst = 1;
    uint64_t nextPinSerial = 1;
    int64_t ticksPerSecond = 1;
    Worker* worker = nullptr;
    VirtualTime virtualTime;
    bool keepRendered = true;    // render pins keep their bytes for RenderedBytes and the WAV file
    int64_t deviceInfoSetsMade = 0;  // SetupDiGetClassDevsA calls that handed out a set
};

// The one model of the process. It is created on first use and never
// destroyed: the Simulation's destructor empties it at process exit.
Model& TheModel();

class ModelLock {
public:
    explicit ModelLock(Model& model) : m_model(model) { EnterCriticalSection(&m_model.lock); }
    ~ModelLock() { LeaveCriticalSection(&m_model.lock); }
    ModelLock(const ModelLock&) = delete;
    ModelLock& operator=(const ModelLock&) = delete;

private:
    Model& m_model;
};

int64_t NowTicks();

// Loads kssim.ini beside the module on the first seam call when no model
// was installed in code. Takes the lock itself; call it without the lock.
void EnsureModelLoaded();

// Handle table.
HANDLE AddHandle(Model& model, std::unique_ptr<HandleEntry> entry);  // nullptr when no kernel object could be had
HandleEntry* FindHandle(Model& model, HANDLE handle);
// A value that has the shape of a simulated handle but is no longer in the
// table (closed, or from a model that was reset). Such values are never
// passed on to Windows.
bool LooksSimulated(HANDLE handle);
void DestroyHandle(Model& model, HANDLE handle);  // the entry must have no requests left
int CountHandles(const Model& model, HandleKind kind);

// Device lookup by path among the devices of the model; throws
// std::invalid_argument when there is none.
std::shared_ptr<Device> DeviceByPath(Model& model, const std::string& devicePath);
std::shared_ptr<Device> MakeDevice(Model& model, DeviceModel deviceModel);
// Another program takes every free instance of the pin (one of a pin
// without a limit); a pin without instances is left alone.
void HoldFreeInstances(Device& device, size_t pinId);

// Completion of a request: OVERLAPPED.Internal and InternalHigh, then the
// event, or the handle itself when the OVERLAPPED has no event (as Windows
// signals a file object). The caller's buffers must not be touched after this.
void SignalCompletion(Request& request, NtStatus status, ULONG_PTR information);
// Takes the caller's OVERLAPPED for a request that will complete later:
// marks it pending.
void BeginRequest(Request& request, HandleEntry& entry, OVERLAPPED* overlapped);
// At the end of the call that began a request: one without an event that is
// still pending takes the handle's object to unsignalled, as starting it
// does on Windows. One that completed within the call leaves the object
// signalled, which saves a reset and a set that nobody could have seen
// apart (the model lock is held throughout).
void SettleFileObject(HandleEntry& entry, const OVERLAPPED& overlapped);

// Stream requests, pin states and the device clock (stream_queue.cpp).
DWORD SubmitStream(Model& model, HandleEntry& entry, DWORD code, void* outBuffer, DWORD outSize,
                   OVERLAPPED* overlapped);
NtStatus SetPinState(Model& model, PinInstance& pin, KSSTATE state);
// Completes what the device has done by now; answers the tick of the pin's
// next event, or kNever.
int64_t AdvancePin(Model& model, PinInstance& pin, int64_t now);
// Completes the requests of a handle (those with the given OVERLAPPED, or
// all when it is null) with a status; answers how many there were.
int CompleteRequestsOf(Model& model, HandleEntry& entry, const OVERLAPPED* only, NtStatus status);
// CancelIoEx: as CompleteRequestsOf with STATUS_CANCELLED, except that the
// stream requests of a pin with a cancel delay stay pending for that long.
int CancelRequestsOf(Model& model, HandleEntry& entry, const OVERLAPPED* only);
// Device removal: every request on the device's handles completes with
// STATUS_DEVICE_REMOVED.
void FailRequestsOfDevice(Model& model, const Device& device);
void ClosePinInstance(Model& model, PinInstance& pin);
// What a capture pin instance delivers: its device's signal in its format.
SignalSource CaptureSourceOf(const PinInstance& pin);
void ApplyClockMode(Model& model, ClockMode mode);
// Moves every pin's device to `now`, completing what is due; answers the
// tick of the next device event of any pin, or kNever.
int64_t AdvanceAllPins(Model& model, int64_t now);
// The device position of a pin in whole frames at a clock tick: where its
// device clock (with its rate error) has got, standing still outside RUN.
// KSPROPERTY_AUDIO_POSITION and Simulation::DevicePositionFrames read it.
int64_t PinPositionFrames(const PinInstance& pin, int64_t tick);
// The pin's device clock runs `ppm` off nominal from `now` on; its position
// goes on from where it stands (a new instance's stands at 0).
void SetPinClockPpm(PinInstance& pin, double ppm, int64_t now);

// Virtual time (virtual_clock.cpp).
// Starts the simulated clock at its origin, held there (limit = origin),
// with the generators seeded with 1 and no injections; or stops it. Under
// the lock; NowTicks answers the simulated clock from StartVirtualTime on.
void StartVirtualTime(Model& model);
void StopVirtualTime(Model& model);
// StreamClock::WaitUntil on virtual time; call it without the lock.
DWORD VirtualWaitUntil(const HANDLE* handles, DWORD count, int64_t deadline);
// A uniform draw in [-range, range] from the position-noise generator.
int64_t PositionNoise(Model& model, int64_t range);
// Pin creation and format rules (pin_creation.cpp). Answers a Win32 code.
DWORD CreatePinInstance(Model& model, HandleEntry& filter, const KSPIN_CONNECT* connect, HANDLE* pinHandle);

// Property requests (property_answers.cpp): the answer of the driver, with
// the byte count in information.
NtStatus AnswerProperty(Model& model, HandleEntry& entry, const BYTE* request, DWORD requestSize, void* output,
                        DWORD outputSize, ULONG_PTR* information);
// Completes the queued asynchronous property requests.
void CompleteQueuedProperties(Model& model);

// The clock thread (device_clock.cpp).
void WakeClock(Model& model);  // starts the thread if needed
// Wakes it only when tick (a pin's next event) comes before the deadline it
// sleeps towards; kNever wakes nothing.
void WakeClockFor(Model& model, int64_t tick);
// Ends the clock thread when no filter or pin handle is left. Call with the
// lock held; the thread is joined after the lock is released, by the
// returned object's destructor.
class ClockStop {
public:
    ClockStop() = default;
    explicit ClockStop(Worker* worker) : m_worker(worker) {}
    ClockStop(ClockStop&& other) noexcept : m_worker(other.m_worker) { other.m_worker = nullptr; }
    ClockStop& operator=(ClockStop&& other) noexcept;
    ClockStop(const ClockStop&) = delete;
    ClockStop& operator=(const ClockStop&) = delete;
    ~ClockStop();

private:
    Worker* m_worker = nullptr;
};
ClockStop StopClockIfIdle(Model& model);
ClockStop StopClock(Model& model);

// Empties the model: every request completed as cancelled, every handle
// closed, files finished. Answers the clock thread to be joined.
ClockStop TearDown(Model& model);

// Calls on event and timer objects (set, reset, wait, arm). Under Wine each
// is a round trip to the Wine server, so how many the simulated devices make
// per stream cycle is what they cost the driver beside them. Every such call
// of the simulation goes through these; they need no lock.
BOOL SignalObject(HANDLE event);
BOOL ResetObject(HANDLE event);
void CountEventCall();
int64_t EventCallCount();

// Traces one line to the debugger output, prefixed "[kssim] ".
void TraceLine(const std::string& text);

}  // namespace kssim::detail
