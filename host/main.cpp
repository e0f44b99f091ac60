// telvara-host: a command-line ASIO host. Lists the registered ASIO drivers,
// shows what a driver offers, plays test signals through it, records its
// inputs, and compares two recordings.
#include "asio_host_session.h"
#include "callback_intervals.h"
#include "debug_output_capture.h"
#include "device_report.h"
#include "drift_figures.h"
#include "driver_registry.h"
#include "host_samples.h"
#include "simulated_counts.h"
#include "telvara_version.h"
#include "test_signal.h"
#include "wav_file.h"

#include <windows.h>

#include <atomic>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <map>
#include <mutex>
#include <string>
#include <vector>

namespace {

enum ExitCode { kOk = 0, kUsage = 2, kNoDriver = 3, kDriverFailed = 4, kFileFailed = 5 };

// ASIODriverInfo.errorMessage: the bytes a driver may write into the error text.
constexpr size_t kDriverErrorField = 124;

constexpr const char* kUsageText =
    "usage: telvara-host <command> [options]\n"
    "\n"
    "commands:\n"
    "  list                      the ASIO drivers registered on this computer\n"
    "  info NAME                 channels, buffer sizes, sample rates, latencies and clocks of a driver,\n"
    "                            and each configured device: open with its format, or why not\n"
    "  play NAME [options]       play a test signal through the driver's outputs\n"
    "      --signal sine|ramp|clicks|silence   (default sine)\n"
    "      --frequency HZ        sine frequency, or clicks per second (default 440)\n"
    "      --outputs 0,1         output channels to feed (default all)\n"
    "      --seconds N           how long (default 5)\n"
    "      --rate HZ             set this sample rate first\n"
    "      --trace               print the driver's trace lines\n"
    "  record NAME --out FILE.wav [--inputs 0,1] [--seconds N] [--rate HZ] [--trace]\n"
    "                            record the driver's inputs into a 16-bit WAV file\n"
    "  offset A.wav B.wav        how much later the first sound of B starts than that of A\n"
    "  --version                 the version of this program (and of the Telvara build it belongs to)\n"
    "\n"
    "NAME is the driver's key under HKLM\\SOFTWARE\\ASIO or its description (case-insensitive).\n"
    "exit codes: 0 ok, 2 bad arguments, 3 unknown driver, 4 driver failed, 5 file error\n";

// "接收到设备长时间播放不同步进行处理事件": the control thread saw the
// device-sync event.
const std::string kDeviceSyncTrace =
    "\xbd\xd3\xca\xd5\xb5\xbd\xc9\xe8\xb1\xb8\xb3\xa4\xca\xb1\xbc\xe4\xb2\xa5\xb7\xc5\xb2\xbb\xcd\xac\xb2\xbd\xbd\xf8\xd0"
    "\xd0\xb4\xa6\xc0\xed\xca\xc2\xbc\xfe";

struct Options {
    std::string signal = "sine";
    double frequency = 440;
    std::vector<long> channels;
    bool allChannels = true;
    double seconds = 5;
    double rate = 0;
    bool trace = false;
    std::string out;
};

bool ParseChannels(const std::string& text, std::vector<long>& channels)
{
    channels.clear();
    size_t start = 0;
    while (start <= text.size()) {
        const size_t end = text.find(',', start);
        const std::string item = text.substr(start, end == std::string::npos ? std::string::npos : end - start);
        char* stop = nullptr;
        const long value = std::strtol(item.c_str(), &stop, 10);
        if (item.empty() || *stop || value < 0) {
            return false;
        }
        channels.push_back(value);
        if (end == std::string::npos) {
            break;
        }
        start = end + 1;
    }
    return !channels.empty();
}

bool ParseNumber(const std::string& text, double& value)
{
    char* stop = nullptr;
    value = std::strtod(text.c_str(), &stop);
    return !text.empty() && !*stop && value > 0;
}

// Options after the command's positional arguments; false with a message.
bool ParseOptions(int argc, char** argv, int first, Options& options, std::string& error)
{
    for (int i = first; i < argc; ++i) {
        const std::string option = argv[i];
        const bool hasValue = i + 1 < argc;
        const std::string value = hasValue ? argv[i + 1] : "";
        if (option == "--trace") {
            options.trace = true;
            continue;
        }
        if (!hasValue) {
            error = "option " + option + " needs a value";
            return false;
        }
        ++i;
        bool ok = true;
        if (option == "--signal") {
            TestSignal::Kind kind;
            ok = TestSignal::Parse(value, kind);
            options.signal = value;
        } else if (option == "--frequency") {
            ok = ParseNumber(value, options.frequency);
        } else if (option == "--outputs" || option == "--inputs") {
            ok = ParseChannels(value, options.channels);
            options.allChannels = false;
        } else if (option == "--seconds") {
            ok = ParseNumber(value, options.seconds);
        } else if (option == "--rate") {
            ok = ParseNumber(value, options.rate);
        } else if (option == "--out") {
            options.out = value;
        } else {
            error = "unknown option " + option;
            return false;
        }
        if (!ok) {
            error = "bad value for " + option + ": " + value;
            return false;
        }
    }
    return true;
}

int CommandList()
{
    const auto drivers = ListRegisteredDrivers();
    if (drivers.empty()) {
        std::printf("no ASIO drivers registered\n");
        return kOk;
    }
    for (const RegisteredDriver& driver : drivers) {
        std::printf("%-24s %s\n", driver.keyName.c_str(), driver.description.c_str());
    }
    return kOk;
}

// Loads and initialises the named driver; prints why not (with the devices,
// when asked) and returns false.
bool OpenDriver(const std::string& name, CAsioHostSession& session, int& exitCode, bool showDevices = false)
{
    // As a DAW answers: it takes time info and tells its engine's version.
    session.TakeSelectors({kAsioSupportsTimeInfo, kAsioEngineVersion});
    session.supportsTimeInfo = true;
    RegisteredDriver registered;
    if (!FindRegisteredDriver(name, registered)) {
        std::fprintf(stderr, "telvara-host: no ASIO driver named \"%s\" (see: telvara-host list)\n", name.c_str());
        exitCode = kNoDriver;
        return false;
    }
    std::string error;
    const HRESULT loaded = session.Load(registered.clsid);
    if (FAILED(loaded)) {
        char text[96];
        wsprintfA(text, "cannot create the driver object (0x%08lX)", static_cast<unsigned long>(loaded));
        error = text;
    }
    if (FAILED(loaded) || !session.Init(GetDesktopWindow(), error)) {
        std::fprintf(stderr, "telvara-host: driver \"%s\" failed: %s\n", name.c_str(), error.c_str());
        if (showDevices && SUCCEEDED(loaded)) {
            PrintDeviceReport(session.Driver());
        }
        exitCode = kDriverFailed;
        return false;
    }
    return true;
}

int CommandInfo(const std::string& name)
{
    CAsioHostSession session;
    int exitCode = kOk;
    if (!OpenDriver(name, session, exitCode, true)) {
        return exitCode;
    }
    IASIO* driver = session.Driver();
    char driverName[64] = {};
    driver->getDriverName(driverName);
    long inputs = 0, outputs = 0, minSize = 0, maxSize = 0, preferred = 0, granularity = 0, inLatency = 0,
         outLatency = 0;
    driver->getChannels(&inputs, &outputs);
    driver->getBufferSize(&minSize, &maxSize, &preferred, &granularity);
    driver->getLatencies(&inLatency, &outLatency);
    ASIOSampleRate rate = 0;
    driver->getSampleRate(&rate);
    std::printf("driver:        %s (version %ld)\n", driverName, driver->getDriverVersion());
    std::printf("channels:      %ld inputs, %ld outputs\n", inputs, outputs);
    for (int isInput = 1; isInput >= 0; --isInput) {
        for (long channel = 0; channel < (isInput ? inputs : outputs); ++channel) {
            ASIOChannelInfo info{};
            info.channel = channel;
            info.isInput = isInput;
            driver->getChannelInfo(&info);
            std::printf("  %s %2ld: %s (type %ld)\n", isInput ? "input " : "output", channel,
                        info.name[0] ? info.name : "-", info.type);
        }
    }
    std::printf("buffer size:   min %ld, max %ld, preferred %ld, granularity %ld\n", minSize, maxSize, preferred,
                granularity);
    std::printf("sample rate:   %.0f Hz; supported:", rate);
    for (double candidate :
         {8000.0, 11025.0, 16000.0, 22050.0, 32000.0, 44100.0, 48000.0, 88200.0, 96000.0, 176400.0, 192000.0}) {
        if (driver->canSampleRate(candidate) == ASE_OK) {
            std::printf(" %.0f", candidate);
        }
    }
    std::printf("\nlatencies:     input %ld, output %ld samples\n", inLatency, outLatency);
    ASIOClockSource clocks[8] = {};
    long clockCount = 8;
    driver->getClockSources(clocks, &clockCount);
    for (long i = 0; i < clockCount && i < 8; ++i) {
        std::printf("clock source:  %ld %s%s\n", clocks[i].index, clocks[i].name,
                    clocks[i].isCurrentSource ? " (current)" : "");
    }
    char message[kDriverErrorField] = {};
    driver->getErrorMessage(message);
    if (message[0]) {
        std::printf("driver says:   %s\n", message);
    }
    PrintDeviceReport(driver);
    return kOk;
}

// Everything play and record share: open, set the rate, create buffers,
// run for the time asked with a progress line, stop and summarise.
int Stream(const std::string& name, const Options& options, bool recording)
{
    std::mutex traceLock;
    DebugOutputCapture capture([&](const std::string& line) {
        if (options.trace) {
            std::lock_guard<std::mutex> lock(traceLock);
            std::printf("[trace] %s%s", line.c_str(), !line.empty() && line.back() == '\n' ? "" : "\n");
        }
    });
    CAsioHostSession session;
    int exitCode = kOk;
    if (!OpenDriver(name, session, exitCode)) {
        return exitCode;
    }
    IASIO* driver = session.Driver();
    if (options.rate > 0 && driver->setSampleRate(options.rate) != ASE_OK) {
        std::fprintf(stderr, "telvara-host: the driver cannot run at %.0f Hz\n", options.rate);
        return kDriverFailed;
    }
    long inputs = 0, outputs = 0, minSize = 0, maxSize = 0, bufferSize = 0, granularity = 0;
    driver->getChannels(&inputs, &outputs);
    driver->getBufferSize(&minSize, &maxSize, &bufferSize, &granularity);
    ASIOSampleRate rate = 0;
    driver->getSampleRate(&rate);

    std::vector<long> channels = options.channels;
    const long available = recording ? inputs : outputs;
    if (options.allChannels) {
        channels.clear();
        for (long c = 0; c < available; ++c) {
            channels.push_back(c);
        }
    }
    if (channels.empty()) {
        std::fprintf(stderr, "telvara-host: the driver has no %s channels\n", recording ? "input" : "output");
        return kDriverFailed;
    }
    // Every channel of a driver has one sample type.
    ASIOChannelInfo channelInfo{};
    channelInfo.channel = channels.front();
    channelInfo.isInput = recording ? ASIOTrue : ASIOFalse;
    driver->getChannelInfo(&channelInfo);
    const ASIOSampleType type = channelInfo.type;
    if (!IsSupportedType(type)) {
        std::fprintf(stderr, "telvara-host: the driver's sample type %ld is not one this host moves\n", type);
        return kDriverFailed;
    }
    const ASIOError created = recording ? session.CreateBuffers({}, channels, bufferSize)
                                        : session.CreateBuffers(channels, {}, bufferSize);
    if (created != ASE_OK) {
        std::fprintf(stderr, "telvara-host: createBuffers failed (%ld); the driver has %ld %s channels\n", created,
                     available, recording ? "input" : "output");
        return created == ASE_InvalidParameter ? kUsage : kDriverFailed;
    }

    TestSignal::Kind kind = TestSignal::Kind::Sine;
    TestSignal::Parse(options.signal, kind);
    TestSignal signal(kind, options.frequency, rate);
    std::vector<int16_t> recorded;
    const size_t frames = static_cast<size_t>(options.seconds * rate);
    recorded.reserve(recording ? frames * channels.size() : 0);
    // Set before stop(): a buffer switch that runs while the driver stops
    // belongs to a cycle whose capture read the stop may have cancelled, so
    // its inputs need not be new. A recording ends with the cycle before.
    std::atomic<bool> stopping{false};
    // Frames recorded so far, for the main thread to watch.
    std::atomic<size_t> recordedFrames{0};
    auto fill = [&](long index) {
        if (recording) {
            if (stopping.load()) {
                return;
            }
            for (long f = 0; f < bufferSize && recorded.size() < frames * channels.size(); ++f) {
                for (size_t c = 0; c < channels.size(); ++c) {
                    recorded.push_back(GetSample(session.InputHalf(c, index), f, type));
                }
            }
            recordedFrames = recorded.size() / channels.size();
            return;
        }
        for (long f = 0; f < bufferSize; ++f) {
            const int16_t sample = signal.Next();
            for (size_t c = 0; c < channels.size(); ++c) {
                PutSample(session.OutputHalf(c, index), f, type, sample);
            }
        }
    };

    CallbackIntervals intervals;
    session.SetSwitchHook([&](long index, const ASIOTime*) {
        intervals.Add();
        fill(index);
    });

    // Both halves are filled before the stream starts, as hosts do.
    if (!recording) {
        fill(0);
        fill(1);
    }
    if (driver->start() != ASE_OK) {
        std::fprintf(stderr, "telvara-host: start failed\n");
        return kDriverFailed;
    }
    const DWORD startTick = GetTickCount();
    const auto totalMs = static_cast<DWORD>(options.seconds * 1000.0);
    // A recording runs until it holds the frames asked for (the stream needs
    // a moment to start), but never much longer than asked.
    const DWORD recordLimitMs = totalMs + 5000;
    for (DWORD elapsed = 0; recording ? recordedFrames < frames && elapsed < recordLimitMs : elapsed < totalMs;
         elapsed = GetTickCount() - startTick) {
        Sleep(std::min<DWORD>(250, recording ? 50 : totalMs - elapsed));
        std::printf("\r%s %5.1f / %.1f s, %ld callbacks", recording ? "recording" : "playing",
                    (GetTickCount() - startTick) / 1000.0, options.seconds, session.Callbacks());
        std::fflush(stdout);
    }
    std::printf("\n");
    PrintDriftFigures(driver, rate);
    stopping = true;
    driver->stop();
    ASIOSamples position{};
    ASIOTimeStamp stamp{};
    driver->getSamplePosition(&position, &stamp);
    const CallbackIntervals::Figures figures = intervals.Get();
    std::printf("callbacks:        %ld\n", session.Callbacks());
    std::printf("sample position:  %.0f\n", position.hi * 4294967296.0 + position.lo);
    std::printf("callback interval mean %.2f ms, worst %.2f ms (buffer %ld frames = %.2f ms at %.0f Hz)\n",
                figures.meanMs, figures.worstMs, bufferSize, 1000.0 * bufferSize / rate, rate);
    std::printf("device-sync events: %zu\n", capture.Count(kDeviceSyncTrace));
    PrintSimulatedStreamCounts(driver);
    if (recording) {
        std::string error;
        if (!wav::WritePcm16File(options.out, static_cast<uint16_t>(channels.size()), static_cast<uint32_t>(rate),
                                 recorded, error)) {
            std::fprintf(stderr, "telvara-host: %s\n", error.c_str());
            return kFileFailed;
        }
        std::printf("recorded %zu frames of %zu channels into %s\n", recorded.size() / channels.size(),
                    channels.size(), options.out.c_str());
    }
    return kOk;
}

// The first frame whose sample on any channel reaches a quarter of full scale.
bool FirstSound(const wav::PcmClip& wav, size_t& frame)
{
    for (size_t f = 0; f < wav.Frames(); ++f) {
        for (size_t c = 0; c < wav.channels; ++c) {
            // The top 16 bits of a sample of any depth.
            const auto top = static_cast<int16_t>(wav.At(f, c) >> 16);
            if (std::abs(static_cast<int>(top)) >= 8192) {
                frame = f;
                return true;
            }
        }
    }
    return false;
}

int CommandOffset(const std::string& first, const std::string& second)
{
    wav::PcmClip a, b;
    std::string error;
    if (!wav::ReadPcmFile(first, a, error) || !wav::ReadPcmFile(second, b, error)) {
        std::fprintf(stderr, "telvara-host: %s\n", error.c_str());
        return kFileFailed;
    }
    size_t frameA = 0, frameB = 0;
    if (!FirstSound(a, frameA) || !FirstSound(b, frameB)) {
        std::fprintf(stderr, "telvara-host: no sound in %s\n", FirstSound(a, frameA) ? second.c_str() : first.c_str());
        return kFileFailed;
    }
    const long frames = static_cast<long>(frameB) - static_cast<long>(frameA);
    std::printf("offset: %ld frames = %.2f ms (%s starts at frame %zu, %s at frame %zu)\n", frames,
                1000.0 * frames / a.sampleRate, first.c_str(), frameA, second.c_str(), frameB);
    return kOk;
}

}  // namespace

int main(int argc, char** argv)
{
    const std::string command = argc > 1 ? argv[1] : "";
    if (command.empty() || command == "--help" || command == "-h" || command == "help") {
        std::printf("%s", kUsageText);
        return command.empty() ? kUsage : kOk;
    }
    if (command == "--version" && argc == 2) {
        std::printf("telvara-host %s (%d-bit)\n", TELVARA_VERSION_STRING, static_cast<int>(sizeof(void*) * 8));
        return kOk;
    }
    Options options;
    std::string error;
    if (command == "list" && argc == 2) {
        return CommandList();
    }
    if (command == "info" && argc == 3) {
        return CommandInfo(argv[2]);
    }
    if ((command == "play" || command == "record") && argc >= 3) {
        if (!ParseOptions(argc, argv, 3, options, error)) {
            std::fprintf(stderr, "telvara-host: %s\n\n%s", error.c_str(), kUsageText);
            return kUsage;
        }
        if (command == "record" && options.out.empty()) {
            std::fprintf(stderr, "telvara-host: record needs --out FILE.wav\n");
            return kUsage;
        }
        return Stream(argv[2], options, command == "record");
    }
    if (command == "offset" && argc == 4) {
        return CommandOffset(argv[2], argv[3]);
    }
    std::fprintf(stderr, "telvara-host: bad arguments\n\n%s", kUsageText);
    return kUsage;
}
