#pragma once

// kssim: simulated WDM audio devices behind the kernel-streaming system-call
// seam (ks_system.h). Tests build a model in code; the demo and cross-process
// tests describe it in an INI file (see README.md beside this file).
//
// The model answers as a WDM-KS audio driver does: SetupAPI enumeration of
// device interfaces with friendly names, locations and category aliases;
// filter handles from CreateFileA of a device path; pin properties through
// KSP_PIN on the filter handle; pin creation through KsCreatePin checked
// against the pin's format rules; pin states; and streaming, paced by a clock
// per device, with completions signalled through the caller's OVERLAPPED.

#include "ks_platform.h"

#include <cstdint>
#include <cstring>
#include <functional>
#include <map>
#include <optional>
#include <set>
#include <string>
#include <vector>

// GUIDs ordered bytewise, so that they can key a std::map (DeviceModel::aliases).
template <>
struct std::less<GUID> {
    bool operator()(const GUID& a, const GUID& b) const { return std::memcmp(&a, &b, sizeof(GUID)) < 0; }
};

namespace kssim {

// One KSDATARANGE_AUDIO as a pin reports it.
struct AudioRange {
    GUID majorFormat = KSDATAFORMAT_TYPE_AUDIO;
    GUID subFormat = KSDATAFORMAT_SUBTYPE_PCM;
    GUID specifier = KSDATAFORMAT_SPECIFIER_WAVEFORMATEX;
    ULONG maximumChannels = 2;
    ULONG minimumBitsPerSample = 16;
    ULONG maximumBitsPerSample = 16;
    ULONG minimumSampleFrequency = 8000;
    ULONG maximumSampleFrequency = 48000;
    // The range's FormatSize and the bytes it takes in the DATARANGES answer.
    // Below 88 the range is cut there; above 88 it is padded with zeros.
    ULONG formatSize = sizeof(KSDATARANGE_AUDIO);
};

// Which wave-format layouts KsCreatePin accepts on a pin: the plain
// WAVEFORMATEX (WAVE_FORMAT_PCM, or WAVE_FORMAT_IEEE_FLOAT), the
// WAVEFORMATEXTENSIBLE, or both.
enum class FormatLayouts { Both, PcmOnly, ExtensibleOnly };

struct PinModel {
    ULONG communication = KSPIN_COMMUNICATION_SINK;
    ULONG dataFlow = KSPIN_DATAFLOW_IN;
    std::vector<KSIDENTIFIER> interfaces;  // empty by default: standard streaming (set by the builders below)
    std::vector<KSIDENTIFIER> mediums;     // empty by default: standard any-instance
    std::vector<AudioRange> ranges;
    std::optional<std::wstring> name;      // nullopt: the NAME property fails
    GUID category = GUID_NULL;
    KSPIN_CINSTANCES instances{1, 0};      // PossibleCount is the instance limit KsCreatePin enforces
    KSPIN_CINSTANCES globalInstances{1, 0};

    // Pin creation rules.
    FormatLayouts acceptedLayouts = FormatLayouts::Both;
    bool acceptsUnclaimedFormats = false;  // also accepts formats outside its ranges (a driver that under-reports)
    bool refusesEveryFormat = false;       // claims formats in its ranges but refuses them all at creation
    // Container depths its ranges claim but creation refuses: a driver that
    // advertises a depth it cannot run.
    std::set<WORD> refusedBits;
    // Non-zero: only formats with exactly these valid bits (a plain format's
    // valid bits are its container's). With ranges of 32 bits and 24 here,
    // a pin that takes nothing but 24 bits in a 32-bit container.
    WORD requiredValidBits = 0;
    bool acceptsLooped = true;             // KSINTERFACE_STANDARD_LOOPED_STREAMING
    // KSPROPERTY_PIN_* ids whose requests fail (ERROR_NOT_FOUND).
    std::set<ULONG> failingProperties;
};

// What capture pins deliver.
// Each is a function of the frame number since the pin instance was created
// (frames the device lost count too); README.md gives the exact bytes for
// 8-, 16-, 24- and 32-bit integer containers, 24 bits in 32 and float.
enum class Signal {
    Ramp,    // a 16-bit counter per channel, advancing by one per frame, channel c offset by 0x1000 * c
    Sine,    // signalFrequency Hz, half scale
    Clicks,  // one full-scale sample every signalFrequency frames, silence between
    WavFile, // captureFile, looped
};

enum class ClockMode {
    RealTime,  // requests complete at the pin's sample rate (corrected by clockPpm)
    Fast,      // requests on a running pin complete as soon as they are queued, before DeviceIoControl returns
    // A simulated clock: it moves only inside the stream clock's waits
    // (StreamClock::WaitUntil), jumping to the next device event or the
    // wait's deadline, and requests complete at their simulated time (see
    // README.md, "Virtual time").
    Virtual,
};

// A WaveRT device (the inbox HD Audio and USB Audio 2.0 drivers): its
// interface has the real-time alias, its streaming pins offer only the
// looped-streaming interface, refuse stream requests and hand out a cyclic
// buffer through KSPROPSETID_RtAudio (README.md, "WaveRT devices").
struct WaveRtModel {
    // Granted buffer sizes are whole multiples of this (bytes) and of the frame.
    ULONG alignment = 128;
    // Asked sizes below the smallest or above the largest are refused (0 is
    // always refused); largest 0: no limit.
    ULONG smallestBytes = 0;
    ULONG largestBytes = 0;
    // false: a size not on the alignment is refused instead of rounded down.
    bool roundsSizes = true;
    // Non-zero: the size granted whatever was asked (once the ask is accepted).
    ULONG grantedBytes = 0;
    // false: BUFFER_WITH_NOTIFICATION fails and QUERY_NOTIFICATION_SUPPORT
    // answers FALSE (timer mode only).
    bool notifications = true;
    // false: POSITIONREGISTER fails; the position property only.
    bool positionRegister = true;
    // KSRTAUDIO_HWLATENCY: the FIFO in bytes, and the chipset and codec
    // delays in 100 ns units. Played audio reaches the ear (the recording)
    // when it leaves the FIFO.
    ULONG fifoBytes = 256;
    ULONG chipsetDelay = 0;
    ULONG codecDelay = 0;
    // How often the position register moves while the pin runs, as DMA
    // bursts do; the position property is exact.
    double registerStepMs = 1.0;
};

struct DeviceModel {
    std::string devicePath;                    // unique in a model
    // In the ANSI code page, as SetupDiGetDeviceRegistryPropertyA hands them out.
    std::optional<std::string> friendlyName;   // nullopt: SPDRP_FRIENDLYNAME fails
    std::optional<std::string> location;       // nullopt: SPDRP_LOCATION_INFORMATION fails
    std::vector<GUID> interfaceClasses;        // the classes the interface is enumerated under
    std::map<GUID, DWORD> aliases;             // alias class -> SP_DEVICE_INTERFACE_DATA Flags (SPINT_ACTIVE, SPINT_REMOVED)
    std::vector<PinModel> pins;
    std::vector<GUID> nodes;                   // topology node types

    bool openFails = false;                    // CreateFileA fails with ERROR_ACCESS_DENIED
    bool pinCountFails = false;                // KSPROPERTY_PIN_CTYPES fails
    bool topologyFails = false;                // KSPROPERTY_TOPOLOGY_NODES fails
    bool asynchronousProperties = false;       // property requests answer ERROR_IO_PENDING and complete from another thread
    bool pendingPositions = false;             // KSPROPERTY_AUDIO_POSITION alone does so

    double clockPpm = 0.0;                     // how far the device clock runs off nominal
    Signal captureSignal = Signal::Ramp;
    unsigned signalFrequency = 1000;
    std::string captureFile;                   // WAV read for Signal::WavFile
    std::string renderFile;                    // WAV written with what render pins play; empty: memory only

    // The device's own buffer between its clock and the stream requests.
    // A render request completes once its last byte has entered it (up to
    // this long before that byte is played); captured frames wait in it for
    // a read, and the oldest are lost when no read comes for longer.
    double deviceBufferMs = 10.0;
    // Its pins answer KSPROPERTY_AUDIO_LATENCY with deviceBufferMs; when
    // false the request fails as with drivers that do not know it.
    bool reportsLatency = true;
    // Another program (the Windows audio engine, an exclusive-mode player)
    // holds every free instance of the device's pins from the start, as
    // HoldInstances(path, -1) does; ReleaseInstances lets go of them.
    bool heldByOtherProgram = false;

    // Set: a WaveRT device (WaveRtRenderDevice / WaveRtCaptureDevice).
    std::optional<WaveRtModel> waveRt;
};

// A render device as USB and onboard devices look: one render-sink pin
// (data flow in, sink, standard interface and medium, one PCM range) and one
// bridge pin, enumerated under KSCATEGORY_AUDIO with an active KSCATEGORY_RENDER alias.
DeviceModel RenderDevice(const std::string& friendlyName, const std::string& devicePath);
// A capture device: one capture-sink pin (data flow out, sink) and one bridge
// pin, under KSCATEGORY_AUDIO with an active KSCATEGORY_CAPTURE alias.
DeviceModel CaptureDevice(const std::string& friendlyName, const std::string& devicePath);
// The same devices as WaveRT drivers show them: an active KSCATEGORY_REALTIME
// alias beside the direction's, the sink pin offering looped streaming only,
// and a WaveRtModel with its defaults.
DeviceModel WaveRtRenderDevice(const std::string& friendlyName, const std::string& devicePath);
DeviceModel WaveRtCaptureDevice(const std::string& friendlyName, const std::string& devicePath);
KSIDENTIFIER LoopedStreamingInterface();
// The standard streaming interface and any-instance medium.
KSIDENTIFIER StandardStreamingInterface();
KSIDENTIFIER StandardMedium();

// Faults that can be switched on while devices run.
enum class StreamFault {
    None,
    Fail,        // stream requests fail at once (the given error code)
    NeverComplete,  // stream requests stay pending until cancelled or the handle closes
};

// The last frames a render pin played (Simulation::PlayedTail).
struct RenderTail {
    std::vector<uint8_t> bytes;      // whole frames in the pin's format, oldest first; empty: none
    int64_t firstFrame = -1;         // the device frame of bytes' first frame, counted as DevicePositionFrames counts
    double firstFrameSeconds = 0.0;  // when the device played it: VirtualSeconds' scale on virtual time
    double framesPerSecond = 0.0;    // the device's rate now: nominal * (1 + clockPpm * 1e-6)
};

// The process-wide model behind the seam. All members are thread-safe.
class Simulation {
public:
    static Simulation& Instance();

    // Replaces the model: every device removed, every handle of the old
    // model invalid (requests still outstanding on them complete as
    // cancelled, their kernel objects are closed), every clock thread ended,
    // WAV files finished. The switches below go back to their defaults
    // (real-time clock, ksuser present, property completions not held).
    // Called with no argument it empties the model. Throws
    // std::invalid_argument for a model that cannot stand (two devices with
    // one path, an unreadable capture WAV file).
    void Reset(std::vector<DeviceModel> devices = {});
    // Adds one device (a device arriving). A removed device of the same path
    // is replaced; a present one is an error (std::invalid_argument).
    void AddDevice(DeviceModel device);
    // Reads a description file (format in README.md): replaces the model
    // with its devices, as Reset does, and applies its [kssim] switches.
    // Throws std::runtime_error "<file>:<line>: <reason>" on a malformed
    // description, leaving the model as it was.
    void LoadDescription(const std::string& path);

    void SetClockMode(ClockMode mode);
    // KsCreatePin answers ERROR_FILE_NOT_FOUND as if ksuser.dll were missing.
    void SetKsUserMissing(bool missing);
    // While held, property requests of asynchronous devices stay pending
    // (a test can look at them before they complete); releasing completes
    // them from the clock thread.
    void HoldPropertyCompletions(bool hold);

    // A device removed while in use: its interface leaves enumeration, every
    // outstanding request completes with ERROR_DEVICE_REMOVED, every later
    // request on its handles fails with that error, CreateFileA of its path
    // fails with ERROR_FILE_NOT_FOUND.
    void RemoveDevice(const std::string& devicePath);

    // Stream faults of one pin (or of every pin of the device with pinId -1).
    void SetStreamFault(const std::string& devicePath, int pinId, StreamFault fault, DWORD error = ERROR_GEN_FAILURE);
    // A pin slow to give requests back, as real drivers are: once CancelIoEx
    // or the STOP state reaches one of its pending stream requests, the
    // request stays pending for `ms` more (it no longer moves and holds up
    // the requests behind it), then completes as cancelled. CancelIoEx still
    // answers TRUE at once; a second cancellation does not move the time.
    // CloseHandle, RemoveDevice and Reset complete everything at once as
    // before. 0, the default, gives requests back at once. pinId -1: every
    // pin of the device.
    void SetCancelDelay(const std::string& devicePath, int pinId, DWORD ms);

    // Another program in this process takes every instance of the pin that
    // is still free (of a pin without a limit, one): KSPROPERTY_PIN_CINSTANCES
    // and GLOBALCINSTANCES count them as current, and KsCreatePin answers
    // ERROR_BAD_COMMAND, as a pin in use does on Windows, until
    // ReleaseInstances gives them back. Instances this process has open stay
    // its own. pinId -1: every pin of the device that has instances.
    void HoldInstances(const std::string& devicePath, int pinId);
    void ReleaseInstances(const std::string& devicePath, int pinId);

    // What the model saw. These and SetStreamFault / RemoveDevice throw
    // std::invalid_argument for a path or pin the model does not have.
    std::vector<uint8_t> RenderedBytes(const std::string& devicePath, ULONG pinId) const;  // every byte played, in order
    void ClearRendered(const std::string& devicePath, ULONG pinId);
    // Frames a render pin played as silence because its queue ran dry (they
    // are in RenderedBytes and the WAV file too), and frames a capture pin
    // lost because no read was queued in time, summed over the pin's
    // instances, counted from each instance's first stream request on.
    // Real-time clock only: the fast clock never runs dry.
    int64_t UnderrunFrames(const std::string& devicePath, ULONG pinId) const;
    int64_t OverrunFrames(const std::string& devicePath, ULONG pinId) const;
    // The same counts summed over the pins of each device on which a pin
    // was ever created, in enumeration order: what a stream through the
    // model has cost, for a host to show.
    struct DeviceStreamCounts {
        std::string name;  // the friendly name, or the path when the device has none
        int64_t underrunFrames = 0;
        int64_t overrunFrames = 0;
    };
    std::vector<DeviceStreamCounts> StreamCounts() const;
    KSSTATE PinState(const std::string& devicePath, ULONG pinId) const;   // of the open instance; KSSTATE_STOP when none
    int OpenPinInstances(const std::string& devicePath, ULONG pinId) const;
    // The KSPIN_CONNECT and the data format behind it of the last successful
    // KsCreatePin on that pin (empty when none).
    std::vector<uint8_t> LastPinConnect(const std::string& devicePath, ULONG pinId) const;
    int OpenHandleCount() const;           // filter and pin handles now open
    int OpenDeviceInfoSetCount() const;    // SetupAPI device-information sets not yet destroyed
    // SetupAPI device-information sets handed out since the process started:
    // every enumeration of devices makes one.
    int64_t DeviceInfoSetsMade() const;
    int PendingRequestCount() const;       // stream and property requests not yet completed
    // Calls the simulated devices made on event and timer objects (signals,
    // resets, waits, timer settings) since the process started. Under Wine
    // each is a round trip to the Wine server.
    int64_t EventCalls() const;

    // Virtual time (ClockMode::Virtual). SetClockMode(Virtual) starts the
    // simulated clock at a fixed origin and holds it there: the stream
    // moves only as far as RunFor allows, so that what a test sees at a
    // given simulated time does not depend on how fast its threads ran.
    // RunFreely lifts the limit (a description file's `clock = virtual`
    // does so: nobody in such a process drives the clock).
    //
    // Moves the limit `seconds` of simulated time on and waits until a
    // thread in the stream clock's wait has reached it and waits beyond it
    // (everything due up to then is done). False when that has not happened
    // within wallTimeoutMs of real time (nothing waits on the stream clock,
    // or the machine is too slow).
    bool RunFor(double seconds, DWORD wallTimeoutMs);
    void RunFreely();
    // Simulated seconds since the virtual clock started (0 in other modes).
    double VirtualSeconds() const;
    // Injections, all drawn from one generator seeded here (Reset and
    // SetClockMode(Virtual) seed it with 1), applied on virtual time only:
    // - jitter: each return of the stream clock's wait comes late by a
    //   uniform random time in [0, maxMs] (devices run meanwhile);
    // - a hiccup: the first return of that wait at or after `atSeconds`
    //   (VirtualSeconds) is held up for `seconds` more, as a thread the
    //   system did not run;
    // - position noise: KSPROPERTY_AUDIO_POSITION answers are off by a
    //   uniform random whole number of frames in [-frames, frames] (drawn
    //   from a generator of their own, so that reads do not move the jitter).
    void SetSeed(uint64_t seed);
    void SetJitter(double maxMs);
    void InjectHiccup(double atSeconds, double seconds);
    void SetPositionNoise(int frames);
    // Whether render pins keep what they play for RenderedBytes (and the
    // WAV file); off, long runs cost no memory and PlayedFrames still
    // counts. Reset turns it back on.
    void KeepRenderedBytes(bool keep);
    // Frames the render pin has played, silence included, over its instances.
    int64_t PlayedFrames(const std::string& devicePath, ULONG pinId) const;
    // The device position of the pin's open instance in frames, as
    // KSPROPERTY_AUDIO_POSITION gives it without noise (-1: no instance).
    int64_t DevicePositionFrames(const std::string& devicePath, ULONG pinId) const;
    // The last `frames` frames (at most kPlayedTailCapacityFrames) the
    // render pin's open instance has played, kept whether or not
    // KeepRenderedBytes is on: they end at the device position, or where
    // the model has moved the stream to when that is behind it (a looped or
    // WaveRT buffer moves in steps of a few ms, a request is taken in when
    // it completes). Silence played for want of data is there too; on a
    // WaveRT pin the frames are those leaving its FIFO (fifoBytes of silence
    // at the start of each run). Fewer frames when the instance has not
    // played that many since it began or since a STOP dropped what its
    // buffer held; none for a capture pin or without an open instance.
    // The time of the first frame comes from the device clock's runs (its
    // rate and its pauses), on the clock the model runs now.
    static constexpr size_t kPlayedTailCapacityFrames = 32768;
    RenderTail PlayedTail(const std::string& devicePath, ULONG pinId, size_t frames) const;
    // Changes a device's clock error from now on (clockPpm of its model and
    // of its open pin instances): positions go on from where they stand,
    // at the new rate. Throws std::invalid_argument for an unknown path or
    // a ppm outside (-1e6, 1e6].
    void SetClockPpm(const std::string& devicePath, double ppm);

    Simulation(const Simulation&) = delete;
    Simulation& operator=(const Simulation&) = delete;

private:
    Simulation();
    ~Simulation();
    struct State;
    State* m_pState;
};

}  // namespace kssim
