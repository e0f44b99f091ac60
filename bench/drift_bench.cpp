// Drift between devices through the driver, on kssim's virtual clock.
// Prints figures; it judges nothing.
//
//   drift_bench [--minutes M] [--compensation on|off] [scenario-substring ...]
//
// The driver object (linked in) streams at 48 kHz, 16 bits, to a master
// render device "A" (0 ppm, the first render device, so the clock master
// by default) and one or two followers whose clocks run off A's; follower
// "B" plays 50 ms late by its setting (outOutLatency 0.10). The host fills
// its outputs with a ramp and its wrap count (host_ramp.h). Every simulated
// second each device's last half second played (kssim's PlayedTail) tells
// when it played one host frame, to a fraction of a frame; a follower's
// offset is its time minus the master's, less its configured delay (0 when
// all play in step).
//
// A capture follower "M" (a microphone whose frames count themselves: kssim's
// ramp) feeds the host's inputs, in float so that a resampled frame keeps
// its fraction. Each simulated second the device frame the host got as a
// host frame near the master's reading, and when the microphone recorded
// it (its clock's start, from its position), tell how long after it
// recorded that frame the master played the host frame of the same number;
// its offset is that time less where it is held (the median of the run's
// second half: the resampler adds its own delay once, when it starts).
//
// Per scenario, with drift compensation on ("DriftCompensation=1") and off
// ("DriftCompensation=0"), one line:
//   drift <scenario>: lock <s> s, worst offset <ms> ms, rms offset <samples>
//   samples, ratio jitter <ppm> ppm rms, underrun <n>, overrun <n>, resync <n>
// lock: the first second from which every follower's offset stays within
// one frame of 0 for the rest of the run (inf: never); worst and rms over
// the followers' offsets from then on (the whole run when never); underrun
// and overrun: frames kssim counted over the run on all devices. Ratio
// jitter and resyncs are the driver's own figures (DriverFigures); then
// per follower its details.
// --minutes M shortens every scenario to at most M simulated minutes (a
// wandering clock keeps its rate of change per hour).

#include "appdata_redirect.h"
#include "bench_support.h"
#include "kssim.h"
#include "message_box.h"
#include "host_ramp.h"
#include "telvara_driver.h"

#include <windows.h>

#include <algorithm>
#include <chrono>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <optional>
#include <string>
#include <vector>

namespace {

constexpr int kSampleRate = 48000;
constexpr DWORD kWallGuardMs = 120000;
// Each look at a device: half a second of what it played, and the host
// frame looked for a quarter of a second before the master's last.
constexpr size_t kTailFrames = kSampleRate / 2;
constexpr double kLookBackSeconds = 0.25;

struct DeviceSpec {
    std::string name;   // "A", "B", "C": also its config section
    std::string path;
    double ppm = 0.0;
    double ppmPerHour = 0.0;  // a clock that wanders
    const char* outLatency = nullptr;  // the outOutLatency setting, or none
    double delaySeconds = 0.0;         // what the driver makes of it
    bool capture = false;              // a microphone
    ULONG onlyRate = 0;                // the one rate it takes (it then runs there, resampled); 0: any
};

struct Scenario {
    std::string name;
    long blockFrames = 512;
    double seconds = 3600;
    std::vector<DeviceSpec> followers;
    bool noisy = false;  // position noise 1 frame, wake-up jitter 3 ms
    bool compensate = true;
    bool HasCapture() const
    {
        return std::any_of(followers.begin(), followers.end(), [](const DeviceSpec& d) { return d.capture; });
    }
};

DeviceSpec Device(const std::string& name, double ppm, double ppmPerHour = 0.0)
{
    DeviceSpec device;
    device.name = name;
    device.path = "\\\\?\\drift#render#" + name;
    device.ppm = ppm;
    device.ppmPerHour = ppmPerHour;
    if (name == "B") {
        // The driver turns the factor into whole milliseconds of 500 (5 ms
        // steps): 0.10 is 50 ms, 2400 frames at 48 kHz.
        device.outLatency = "0.10";
        device.delaySeconds = 0.050;
    }
    return device;
}

DeviceSpec Microphone(const std::string& name, double ppm)
{
    DeviceSpec device;
    device.name = name;
    device.path = "\\\\?\\drift#capture#" + name;
    device.ppm = ppm;
    device.capture = true;
    return device;
}

std::vector<Scenario> Scenarios()
{
    std::vector<Scenario> list;
    auto add = [&](std::string name, long block, double seconds, std::vector<DeviceSpec> followers, bool noisy,
                   bool compensate) {
        list.push_back({std::move(name), block, seconds, std::move(followers), noisy, compensate});
    };
    const std::vector<DeviceSpec> pm150{Device("B", -150.0), Device("C", 150.0)};
    const std::vector<DeviceSpec> pm1000{Device("B", -1000.0), Device("C", 1000.0)};
    const std::vector<DeviceSpec> wander{Device("B", 0.0, 5.0)};
    const std::vector<DeviceSpec> mic{Microphone("M", 100.0)};
    std::vector<DeviceSpec> ownRate{Device("B", 150.0)};
    ownRate[0].onlyRate = 44100;
    for (bool on : {true, false}) {
        const std::string off = on ? "" : ", compensation off";
        add("render -150/+150 ppm, 512 frames, 1 h" + off, 512, 3600, pm150, false, on);
        add("render -150/+150 ppm, 64 frames, 10 min" + off, 64, 600, pm150, false, on);
        add("render -150/+150 ppm, noise 1 sample, jitter 3 ms, 512 frames, 1 h" + off, 512, 3600, pm150, true, on);
        add("render -150/+150 ppm, noise 1 sample, jitter 3 ms, 64 frames, 10 min" + off, 64, 600, pm150, true, on);
        add("render -1000/+1000 ppm, noise, jitter, 512 frames, 1 h" + off, 512, 3600, pm1000, true, on);
        add("render wandering 0 to 5 ppm over 1 h, noise, jitter, 512 frames" + off, 512, 3600, wander, true, on);
        add("capture +100 ppm, 512 frames, 1 h" + off, 512, 3600, mic, false, on);
        add("render 44.1 kHz only at +150 ppm under a 48 kHz host, 512 frames, 10 min" + off, 512, 600, ownRate, false,
            on);
        add("capture +100 ppm, noise 1 sample, jitter 3 ms, 64 frames, 10 min" + off, 64, 600, mic, true, on);
    }
    return list;
}

// ---- the host -------------------------------------------------------------

void* g_outputs[2][2] = {};
const float* g_input[2] = {};  // the microphone's first channel, when there is one
bool g_float = false;          // the host's samples are float (else 16-bit)
long g_blockFrames = 0;
int64_t g_hostFrames = 0;  // the engine thread's while the stream runs
// What the host got on its first input for the last frames, by host frame.
constexpr int64_t kInputHistory = 65536;
std::vector<float> g_inputHistory(kInputHistory);

void FillHalf(long index)
{
    for (long f = 0; f < g_blockFrames; ++f) {
        const int16_t left = RampLeft(g_hostFrames + f);
        const int16_t right = RampRight(g_hostFrames + f);
        if (g_float) {
            static_cast<float*>(g_outputs[0][index])[f] = static_cast<float>(left) / 32768.0f;
            static_cast<float*>(g_outputs[1][index])[f] = static_cast<float>(right) / 32768.0f;
        } else {
            static_cast<int16_t*>(g_outputs[0][index])[f] = left;
            static_cast<int16_t*>(g_outputs[1][index])[f] = right;
        }
    }
    g_hostFrames += g_blockFrames;
}

// The host's inputs of the block it is called for (those of the frames
// before the block it fills, which it got two halves ago).
void Switch(long index)
{
    if (g_input[index]) {
        const int64_t first = g_hostFrames - 2 * g_blockFrames;
        for (long f = 0; f < g_blockFrames; ++f) {
            g_inputHistory[static_cast<size_t>((first + f) % kInputHistory)] = g_input[index][f];
        }
    }
    FillHalf(index);
}

void BufferSwitch(long index, ASIOBool) { Switch(index); }

ASIOTime* BufferSwitchTimeInfo(ASIOTime* time, long index, ASIOBool)
{
    Switch(index);
    return time;
}

void SampleRateDidChange(ASIOSampleRate) {}

std::string Settings(const Scenario& scenario, const std::vector<DeviceSpec>& devices)
{
    std::string out, in;
    for (const DeviceSpec& device : devices) {
        std::string& list = device.capture ? in : out;
        list += (list.empty() ? "" : ";") + device.name;
    }
    std::string text = "[default]\nout=" + out + (in.empty() ? "" : "\nin=" + in) +
                       "\nSampleRate=48000\nBlockFrames=" + std::to_string(scenario.blockFrames) +
                       "\nDriftCompensation=" + (scenario.compensate ? "1" : "0") + "\n" +
                       (scenario.HasCapture() ? "SampleFormat=float\n" : "");
    for (const DeviceSpec& device : devices) {
        if (device.capture) {
            text += "[" + device.name + "]\ninMaximumChannels=2\n";
            continue;
        }
        text += "[" + device.name + "]\noutMaximumChannels=2\noutChannelLink=0;1\n";
        if (device.outLatency) {
            text += std::string("outOutLatency=") + device.outLatency + "\n";
        }
    }
    return text;
}

// ---- measuring ------------------------------------------------------------

// A device's last half second: what it played and when.
struct Look {
    PlayedRamp played;
    double firstSeconds;
    double framesPerSecond;

    explicit Look(const kssim::RenderTail& tail)
        : played(tail.bytes), firstSeconds(tail.firstFrameSeconds), framesPerSecond(tail.framesPerSecond)
    {
    }
    double SecondsAt(double index) const { return firstSeconds + index / framesPerSecond; }
    double IndexAt(double seconds) const { return (seconds - firstSeconds) * framesPerSecond; }
    size_t Frames() const { return played.left.size(); }
};

Look LookAt(const DeviceSpec& device)
{
    return Look(kssim::Simulation::Instance().PlayedTail(device.path, 0, kTailFrames));
}

// A host frame a device played cleanly near `back` seconds before its last
// frame, trying further back when underruns or skips hide it: the host
// frame and when it played.
std::optional<std::pair<double, double>> Reading(const Look& look, double back)
{
    for (double tried = back; tried < 0.45; tried += 0.05) {
        const double around = static_cast<double>(look.Frames()) - tried * look.framesPerSecond;
        if (const auto found = HostFrameNear(look.played, around)) {
            return std::make_pair(found->second, look.SecondsAt(found->first));
        }
    }
    return std::nullopt;
}

// How far a follower plays behind the master, less its configured delay
// (seconds): when it played the host frame the master's reading names,
// against when the master did. A follower so far off that the frame is not
// in its last frames gives a reading of its own, against when the master
// played that frame or will play it (the master plays one host frame per
// frame of its own clock, so its time of any frame follows from one).
std::optional<double> Offset(const Look& master, const std::pair<double, double>& mark, const DeviceSpec& follower,
                             double delayDifference)
{
    const Look look = LookAt(follower);
    if (look.Frames() == 0 || !(look.framesPerSecond > 0)) {
        return std::nullopt;
    }
    const auto [hostFrame, masterSeconds] = mark;
    const double expected = masterSeconds + delayDifference;
    const double reach = kRampPeriodFrames / 2.0 - kWrapMargin;
    if (const auto index = IndexOfHostFrame(look.played, hostFrame, look.IndexAt(expected), reach)) {
        return look.SecondsAt(*index) - expected;
    }
    const auto own = Reading(look, kLookBackSeconds);
    if (!own) {
        return std::nullopt;
    }
    const double masterSecondsOfOwn = masterSeconds + (own->first - hostFrame) / master.framesPerSecond;
    return own->second - masterSecondsOfOwn - delayDifference;
}

// When a microphone recorded its frames: its clock's start on the simulated
// timeline, from its positions (whole frames: the earliest start they allow
// is the closest).
struct MicrophoneClock {
    double startSeconds = 1e300;
    double framesPerSecond = kSampleRate;

    void Look(const DeviceSpec& mic)
    {
        kssim::Simulation& sim = kssim::Simulation::Instance();
        const int64_t position = sim.DevicePositionFrames(mic.path, 0);
        framesPerSecond = kSampleRate * (1.0 + mic.ppm * 1e-6);
        if (position > 0) {
            startSeconds = std::min(startSeconds, sim.VirtualSeconds() - static_cast<double>(position) / framesPerSecond);
        }
    }
    double SecondsOf(double frame) const { return startSeconds + frame / framesPerSecond; }
};

// How long after the microphone recorded a frame the master played the host
// frame of the same number (seconds): for host frames around the master's
// reading, the first whose microphone frame (its ramp: the frame number
// modulo 65536, a signed 16-bit sample) lies clear of the ramp's wraps,
// where the resampler's filter rings.
std::optional<double> CaptureOffset(const Look& master, const std::pair<double, double>& mark,
                                    const MicrophoneClock& clock)
{
    const auto [hostFrame, masterSeconds] = mark;
    const int64_t newest = g_hostFrames - 2 * g_blockFrames;  // the inputs end here
    for (int64_t step = 0; step < 64; ++step) {
        const int64_t frame = static_cast<int64_t>(hostFrame) - step * 256;
        if (frame < 0 || frame >= newest || newest - frame >= kInputHistory) {
            continue;
        }
        const double played = masterSeconds + (static_cast<double>(frame) - hostFrame) / master.framesPerSecond;
        // The microphone frame, unwrapped next to the one it recorded a
        // little (a latency of up to 0.6 s) before the master played.
        if (frame < 8 || frame + 8 >= newest || newest - (frame - 8) >= kInputHistory) {
            continue;
        }
        const auto rampAt = [](int64_t f) {
            const double sample = g_inputHistory[static_cast<size_t>(f % kInputHistory)] * 32768.0;
            return sample < 0 ? sample + 65536.0 : sample;
        };
        const double ramp = rampAt(frame);
        // A clean stretch of the ramp: 8 frames either side lie about 8
        // steps away (a sample the filter's ringing moved does not).
        const auto steps = [ramp](double other) { return std::remainder(ramp - other, 65536.0); };
        if (std::fabs(steps(rampAt(frame - 8)) - 8.0) > 0.5 || std::fabs(-steps(rampAt(frame + 8)) - 8.0) > 0.5) {
            continue;
        }
        const double around = (played - clock.startSeconds) * clock.framesPerSecond - 2400.0;
        const double recorded = ramp + 65536.0 * std::round((around - ramp) / 65536.0);
        const double phase = std::fmod(recorded, 32768.0);
        if (phase < kWrapMargin || phase > 32768.0 - kWrapMargin) {
            continue;
        }
        return played - clock.SecondsOf(recorded);
    }
    return std::nullopt;
}

// One follower's offsets, one a second (none where it could not be read).
// Each simulated second of a follower: its offset, what the driver says of
// it, and the counts so far.
struct FollowerTrack {
    std::vector<std::optional<double>> offsets;  // seconds
    std::vector<double> ratioErrorsPpm;          // its ratio against the true one
    std::vector<int64_t> underrunFrames;         // the device's, so far
    std::vector<int64_t> skippedBlocks;          // blocks it could not take, so far
    int64_t resyncs = 0;                         // at the end
};

struct FollowerFigures {
    double lockSeconds = -1.0;  // < 0: never
    double worstSeconds = 0.0;
    double sumSquaresFrames = 0.0;
    int measured = 0;
    int missing = 0;
    double lastOffsetFrames = 0.0;
    int64_t underrunFrames = 0;      // from the lock on (the whole run without one)
    int64_t skippedBlocks = 0;       // the same
    double ratioSquaresPpm = 0.0;    // the ratio's error, summed squares from the lock on
    int ratioSamples = 0;
    int64_t resyncs = 0;
};

FollowerFigures Figures(const FollowerTrack& track)
{
    FollowerFigures figures;
    const double oneFrame = 1.0 / kSampleRate;
    // A second that could not be read neither ends nor makes the lock.
    size_t from = track.offsets.size();
    while (from > 0 && (!track.offsets[from - 1] || std::fabs(*track.offsets[from - 1]) <= oneFrame)) {
        --from;
    }
    while (from < track.offsets.size() && !track.offsets[from]) {
        ++from;
    }
    if (from < track.offsets.size()) {
        figures.lockSeconds = static_cast<double>(from + 1);  // the measurement at the end of second from + 1
    } else {
        from = 0;
    }
    const auto since = [from](const std::vector<int64_t>& counts) {
        return counts.empty() ? 0 : counts.back() - (from > 0 ? counts[from - 1] : 0);
    };
    figures.underrunFrames = since(track.underrunFrames);
    figures.skippedBlocks = since(track.skippedBlocks);
    figures.resyncs = track.resyncs;
    for (size_t i = from; i < track.ratioErrorsPpm.size(); ++i) {
        figures.ratioSquaresPpm += track.ratioErrorsPpm[i] * track.ratioErrorsPpm[i];
        ++figures.ratioSamples;
    }
    for (size_t i = from; i < track.offsets.size(); ++i) {
        if (!track.offsets[i]) {
            ++figures.missing;
            continue;
        }
        const double offset = *track.offsets[i];
        figures.worstSeconds = std::max(figures.worstSeconds, std::fabs(offset));
        figures.sumSquaresFrames += (offset * kSampleRate) * (offset * kSampleRate);
        ++figures.measured;
    }
    for (auto it = track.offsets.rbegin(); it != track.offsets.rend(); ++it) {
        if (*it) {
            figures.lastOffsetFrames = **it * kSampleRate;
            break;
        }
    }
    return figures;
}

// What the driver tells of each render device (in the order of its
// output list: the master first).
std::vector<TelvaraDriftFigure> ReadDriverFigures(const CTelvaraDriver& driver)
{
    std::vector<TelvaraDriftFigure> figures(8);
    const int count = driver.CopyDriftFigures(figures.data(), static_cast<int>(figures.size()));
    figures.resize(static_cast<size_t>(std::clamp(count, 0, 8)));
    return figures;
}

// Underruns of the followers from their lock on, and of the master over
// the whole run; overruns are the blocks a render follower could not take,
// in frames, and the frames a capture follower lost, with the blocks the
// host got silence for.
std::string SummaryLine(const Scenario& scenario, const std::vector<FollowerFigures>& followers,
                        int64_t masterUnderrunFrames)
{
    double lock = 0.0, worst = 0.0, squares = 0.0, ratioSquares = 0.0;
    int measured = 0, ratioSamples = 0;
    int64_t underrun = masterUnderrunFrames, overrun = 0, resyncs = 0;
    bool neverLocked = followers.empty();
    for (size_t i = 0; i < followers.size(); ++i) {
        const FollowerFigures& f = followers[i];
        ratioSquares += f.ratioSquaresPpm;
        ratioSamples += f.ratioSamples;
        (scenario.followers[i].capture ? overrun : underrun) += f.underrunFrames;
        overrun += f.skippedBlocks * scenario.blockFrames;
        resyncs += f.resyncs;
        neverLocked = neverLocked || f.lockSeconds < 0;
        lock = std::max(lock, f.lockSeconds);
        worst = std::max(worst, f.worstSeconds);
        squares += f.sumSquaresFrames;
        measured += f.measured;
    }
    char lockText[32];
    if (neverLocked) {
        std::snprintf(lockText, sizeof lockText, "inf");
    } else {
        std::snprintf(lockText, sizeof lockText, "%.3f", lock);
    }
    char line[512];
    std::snprintf(line, sizeof line,
                  "drift %s: lock %s s, worst offset %.3f ms, rms offset %.3f samples, ratio jitter %.3f ppm rms, "
                  "underrun %lld, overrun %lld, resync %lld",
                  scenario.name.c_str(), lockText, worst * 1000.0, measured ? std::sqrt(squares / measured) : 0.0,
                  ratioSamples ? std::sqrt(ratioSquares / ratioSamples) : 0.0, static_cast<long long>(underrun),
                  static_cast<long long>(overrun), static_cast<long long>(resyncs));
    return line;
}

std::string FollowerLine(const DeviceSpec& follower, const FollowerFigures& f)
{
    char clock[64];
    if (follower.ppmPerHour != 0.0) {
        std::snprintf(clock, sizeof clock, "%+g ppm, wandering %+g ppm/h", follower.ppm, follower.ppmPerHour);
    } else {
        std::snprintf(clock, sizeof clock, "%+g ppm", follower.ppm);
    }
    char lock[32] = "inf";
    if (f.lockSeconds >= 0) {
        std::snprintf(lock, sizeof lock, "%.3f", f.lockSeconds);
    }
    char line[512];
    if (follower.capture) {
        std::snprintf(line, sizeof line,
                      "    capture follower %s (%s): lock %s s, worst %.3f frames, rms %.3f frames from where it is "
                      "held, %d seconds unreadable, lost %lld frames, %lld blocks missed",
                      follower.name.c_str(), clock, lock, f.worstSeconds * kSampleRate,
                      f.measured ? std::sqrt(f.sumSquaresFrames / f.measured) : 0.0, f.missing,
                      static_cast<long long>(f.underrunFrames), static_cast<long long>(f.skippedBlocks));
        return line;
    }
    std::snprintf(line, sizeof line,
                  "    follower %s (%s, delay %.0f ms): lock %s s, worst %.3f frames, rms %.3f frames, "
                  "offset at the end %.3f frames, %d seconds unreadable, underrun %lld",
                  follower.name.c_str(), clock, follower.delaySeconds * 1000.0, lock, f.worstSeconds * kSampleRate,
                  f.measured ? std::sqrt(f.sumSquaresFrames / f.measured) : 0.0, f.lastOffsetFrames, f.missing,
                  static_cast<long long>(f.underrunFrames));
    return line;
}

// ---- one scenario -----------------------------------------------------------

bool RunScenario(const AppDataRedirect& appData, const Scenario& scenario)
{
    const auto started = std::chrono::steady_clock::now();
    const DeviceSpec master = Device("A", 0.0);
    std::vector<DeviceSpec> devices{master};
    devices.insert(devices.end(), scenario.followers.begin(), scenario.followers.end());
    CreateDirectoryA(appData.SettingsFolder().c_str(), nullptr);
    WriteFileBytes(appData.SettingsFile(), Settings(scenario, devices));

    kssim::Simulation& sim = kssim::Simulation::Instance();
    std::vector<kssim::DeviceModel> models;
    for (const DeviceSpec& device : devices) {
        kssim::DeviceModel model = device.capture ? kssim::CaptureDevice(device.name, device.path)
                                                  : kssim::RenderDevice(device.name, device.path);
        model.clockPpm = device.ppm;
        if (device.onlyRate) {
            model.pins[0].ranges[0].minimumSampleFrequency = device.onlyRate;
            model.pins[0].ranges[0].maximumSampleFrequency = device.onlyRate;
        }
        models.push_back(model);
    }
    sim.Reset(models);
    sim.KeepRenderedBytes(false);
    sim.SetClockMode(kssim::ClockMode::Virtual);
    if (scenario.noisy) {
        sim.SetPositionNoise(1);
        sim.SetJitter(3.0);
    }

    auto* driver = new CTelvaraDriver(nullptr);
    driver->NonDelegatingAddRef();
    ASIOBufferInfo infos[3] = {{ASIOFalse, 0, {}}, {ASIOFalse, 1, {}}, {ASIOTrue, 0, {}}};
    ASIOCallbacks callbacks{BufferSwitch, SampleRateDidChange, BenchSupport::AsioMessage, BufferSwitchTimeInfo};
    g_blockFrames = scenario.blockFrames;
    g_hostFrames = 0;
    g_float = scenario.HasCapture();
    const bool prepared =
        driver->init(nullptr) == ASIOTrue &&
        driver->createBuffers(infos, g_float ? 3 : 2, scenario.blockFrames, &callbacks) == ASE_OK;
    if (prepared) {
        for (int half = 0; half < 2; ++half) {
            for (int c = 0; c < 2; ++c) {
                g_outputs[c][half] = infos[c].buffers[half];
            }
            g_input[half] = g_float ? static_cast<const float*>(infos[2].buffers[half]) : nullptr;
        }
        FillHalf(0);
        FillHalf(1);
    }
    if (!prepared || driver->start() != ASE_OK) {
        std::printf("drift %s: the stream did not start\n", scenario.name.c_str());
        driver->Release();
        sim.Reset();
        return false;
    }

    std::vector<FollowerTrack> tracks(scenario.followers.size());
    std::vector<MicrophoneClock> clocks(scenario.followers.size());
    const auto renderDevices = static_cast<size_t>(
        std::count_if(devices.begin(), devices.end(), [](const DeviceSpec& d) { return !d.capture; }));
    bool clockKept = true;
    const auto seconds = static_cast<int>(scenario.seconds);
    for (int s = 1; s <= seconds && clockKept; ++s) {
        for (const DeviceSpec& follower : scenario.followers) {
            if (follower.ppmPerHour != 0.0) {
                sim.SetClockPpm(follower.path, follower.ppm + follower.ppmPerHour * (s - 1) / 3600.0);
            }
        }
        clockKept = sim.RunFor(1.0, kWallGuardMs);
        const Look masterLook = LookAt(master);
        const auto mark = clockKept ? Reading(masterLook, kLookBackSeconds) : std::nullopt;
        const std::vector<TelvaraDriftFigure> told = ReadDriverFigures(*driver);
        size_t renderSeen = 1, captureSeen = 0;
        for (size_t i = 0; i < scenario.followers.size(); ++i) {
            const DeviceSpec& follower = scenario.followers[i];
            FollowerTrack& track = tracks[i];
            if (follower.capture) {
                clocks[i].Look(follower);
                track.offsets.push_back(mark ? CaptureOffset(masterLook, *mark, clocks[i]) : std::nullopt);
                track.underrunFrames.push_back(sim.OverrunFrames(follower.path, 0));
            } else {
                track.offsets.push_back(mark ? Offset(masterLook, *mark, follower,
                                                      follower.delaySeconds - master.delaySeconds)
                                             : std::nullopt);
                track.underrunFrames.push_back(sim.UnderrunFrames(follower.path, 0));
            }
            // The driver's records: the render devices, then the capture ones.
            const size_t record = follower.capture ? renderDevices + captureSeen++ : renderSeen++;
            if (record < told.size()) {
                const TelvaraDriftFigure& f = told[record];
                const double ppm = follower.ppm + follower.ppmPerHour * (s - 1) / 3600.0;
                // A render follower's ratio is device frames per host
                // frame, a capture follower's the other way round.
                const double rates = (follower.onlyRate ? follower.onlyRate / static_cast<double>(kSampleRate) : 1.0) *
                                     (1.0 + ppm * 1e-6) / (1.0 + master.ppm * 1e-6);
                const double trueRatio = follower.capture ? 1.0 / rates : rates;
                track.ratioErrorsPpm.push_back((f.ratio - trueRatio) * 1e6);
                track.skippedBlocks.push_back(f.skippedBlocks);
                track.resyncs = f.resyncs;
            }
        }
    }
    std::vector<FollowerFigures> figures;
    for (size_t i = 0; i < scenario.followers.size(); ++i) {
        if (scenario.followers[i].capture) {
            // Measured from where it is held: the median of the run's
            // second half.
            std::vector<double> late;
            for (size_t k = tracks[i].offsets.size() / 2; k < tracks[i].offsets.size(); ++k) {
                if (tracks[i].offsets[k]) {
                    late.push_back(*tracks[i].offsets[k]);
                }
            }
            std::nth_element(late.begin(), late.begin() + static_cast<ptrdiff_t>(late.size() / 2), late.end());
            const double held = late.empty() ? 0.0 : late[late.size() / 2];
            for (std::optional<double>& offset : tracks[i].offsets) {
                if (offset) {
                    *offset -= held;
                }
            }
        }
        figures.push_back(Figures(tracks[i]));
    }
    const int64_t masterUnderrun = sim.UnderrunFrames(master.path, 0);
    const double simulated = sim.VirtualSeconds();
    driver->stop();
    driver->disposeBuffers();
    driver->Release();
    sim.Reset();

    std::printf("%s\n", SummaryLine(scenario, figures, masterUnderrun).c_str());
    for (size_t i = 0; i < figures.size(); ++i) {
        std::printf("%s\n", FollowerLine(scenario.followers[i], figures[i]).c_str());
    }
    const double took = std::chrono::duration<double>(std::chrono::steady_clock::now() - started).count();
    std::printf("    master underrun %lld, %.0f s simulated in %.1f s%s\n", static_cast<long long>(masterUnderrun),
                simulated, took, clockKept ? "" : " (the simulated clock stopped short: the stream stalled)");
    std::fflush(stdout);
    return clockKept;
}

int AnswerMessageBox(const char* text, const char* caption, unsigned int)
{
    std::fprintf(stderr, "[message box] %s: %s\n", caption ? caption : "", text ? text : "");
    return IDOK;
}

int Usage()
{
    std::fprintf(stderr, "usage: drift_bench [--minutes M] [--compensation on|off] [scenario-substring ...]\n");
    return 2;
}

}  // namespace

int main(int argc, char** argv)
{
    double minutes = 0.0;
    int compensation = -1;  // -1: both
    std::vector<std::string> only;
    for (int i = 1; i < argc; ++i) {
        const std::string arg = argv[i];
        if (arg == "--minutes" && i + 1 < argc) {
            minutes = std::atof(argv[++i]);
            if (!(minutes > 0)) {
                return Usage();
            }
        } else if (arg == "--compensation" && i + 1 < argc) {
            const std::string value = argv[++i];
            if (value != "on" && value != "off") {
                return Usage();
            }
            compensation = value == "on" ? 1 : 0;
        } else if (arg.rfind("--", 0) == 0) {
            return Usage();
        } else {
            only.push_back(arg);
        }
    }
    SetMessageBoxHandler(AnswerMessageBox);
    AppDataRedirect appData;
    std::printf("Drift through the driver on kssim's virtual clock, 48 kHz, master A at 0 ppm, follower B 50 ms late "
                "by its setting;\noffsets every simulated second, from a ramp read to a fraction of a frame%s.\n",
                minutes > 0 ? (", at most " + std::to_string(static_cast<int>(minutes * 60.0)) + " simulated seconds a scenario").c_str() : "");
    int failed = 0;
    for (Scenario scenario : Scenarios()) {
        if (compensation >= 0 && scenario.compensate != (compensation == 1)) {
            continue;
        }
        if (!only.empty() && std::none_of(only.begin(), only.end(), [&](const std::string& part) {
                return scenario.name.find(part) != std::string::npos;
            })) {
            continue;
        }
        if (minutes > 0) {
            scenario.seconds = std::min(scenario.seconds, std::floor(minutes * 60.0));
        }
        failed += RunScenario(appData, scenario) ? 0 : 1;
    }
    return failed ? 1 : 0;
}
