// Hosts in processes of their own find the registered driver under
// HKLM\SOFTWARE\ASIO, create it with CoCreateInstance and stream through
// it: telvara-host playing and recording, and a host written in C against
// its own declaration of the interface. The simulated speakers keep what
// they played in WAV files beside the driver, checked sample by sample.
#include "e2e_signals.h"
#include "registered_driver.h"

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <cstdio>

namespace {

using namespace e2e;

constexpr long kBlock = 512;

int16_t Ramp(long frame)
{
    return static_cast<int16_t>(frame & 0x7fff);
}

class HostProcessTest : public RegisteredDriverTest {};

// The frames telvara-host reports for one simulated device after a stream,
// or -1 in both when it reports none for it.
struct DeviceCounts {
    long long underrun = -1;
    long long overrun = -1;
};

DeviceCounts CountsIn(const std::string& output, const std::string& device)
{
    DeviceCounts counts;
    const std::string prefix = "  " + device + ": ";
    for (const std::string& line : Lines(output)) {
        if (line.rfind(prefix, 0) == 0 &&
            std::sscanf(line.c_str() + prefix.size(), "%lld underrun, %lld overrun", &counts.underrun,
                        &counts.overrun) != 2) {
            counts = DeviceCounts();
        }
    }
    return counts;
}

}  // namespace

TEST_F(HostProcessTest, PlayFeedsEachSpeakerFromTheHostBufferItsLinksName)
{
    WriteSettings(Settings());
    // One host buffer, for output 1 only, as a host that lets the user pick
    // one channel does: links are output channel numbers, so Speaker A plays
    // it on its right channel and Speaker B, linked to output 0, stays silent.
    const ProgramResult played =
        RunProgram(CommandLine({HostProgramPath(), "play", "TelvaraDriver", "--signal", "ramp", "--outputs", "1", "--seconds", "1"}));
    ASSERT_EQ(played.exitCode, 0L) << played.output;

    WavContent a, b;
    ASSERT_TRUE(ReadRendered("speaker_a.wav", a));
    ASSERT_TRUE(ReadRendered("speaker_b.wav", b));
    // The speakers stop one after the other, each in the middle of a block.
    ASSERT_GE(a.Frames(), static_cast<size_t>(20 * kBlock)) << played.output;
    ASSERT_GE(b.Frames(), static_cast<size_t>(20 * kBlock)) << played.output;
    // telvara-host's ramp: frame t of the stream is t & 0x7fff.
    EXPECT_TRUE(PlayedAsExpected(a, kBlock, [](long t, int c) { return c == 1 ? Ramp(t) : int16_t{0}; }))
        << "Speaker A";
    EXPECT_TRUE(PlayedAsExpected(b, kBlock, [](long, int) { return int16_t{0}; })) << "Speaker B";
}

// A WaveRT speaker and a standard one side by side through the driver: the
// same host output reaches both through their links, sample for sample; the
// WaveRT one plays it after its delay line and its FIFO (64 frames), and a
// WaveRT microphone records the ramp with nothing lost.
TEST_F(HostProcessTest, AWaveRtDeviceStreamsBesideAStandardOneSampleForSample)
{
    std::string description = kTwoSpeakersAndAMicrophone;
    const auto retype = [&](const std::string& from, const std::string& to) {
        description.replace(description.find(from), from.size(), to);
    };
    retype("[device.speaker_a]\ntype = render\n", "[device.speaker_a]\ntype = wavert-render\n");
    retype("[device.microphone]\ntype = capture\n", "[device.microphone]\ntype = wavert-capture\n");
    WriteFileBytes(m_driver.File("kssim.ini"), description);
    // Enough blocks in flight that a busy test machine does not empty the
    // WaveRT buffer (the standard speaker has its deep device buffer). The
    // speakers share one clock, but the WaveRT one's position moves in
    // bursts, and on the real-time clock a stalled machine can make their
    // positions look as if they drifted: the second speaker would then be
    // resampled, no longer sample for sample.
    WriteSettings(Settings("RequestsInFlight=8\nDriftCompensation=0\n", "outOutLatency=  0.10\n"));
    const ProgramResult info = RunProgram(CommandLine({HostProgramPath(), "info", "TelvaraDriver"}));
    ASSERT_EQ(info.exitCode, 0L) << info.output;
    EXPECT_NE(info.output.find("  out  Speaker A: open, 16 bit integer, 2 ch, 44100 Hz, WaveRT, FIFO 64 frames"),
              std::string::npos)
        << info.output;
    const std::vector<std::string> lines = Lines(info.output);
    EXPECT_NE(std::find(lines.begin(), lines.end(), "  out  Speaker B: open, 16 bit integer, 2 ch, 44100 Hz"),
              lines.end())
        << info.output;

    const ProgramResult played = RunProgram(
        CommandLine({HostProgramPath(), "play", "TelvaraDriver", "--signal", "ramp", "--outputs", "0", "--seconds", "1"}));
    ASSERT_EQ(played.exitCode, 0L) << played.output;
    EXPECT_EQ(CountsIn(played.output, "Speaker A").underrun, 0) << played.output;
    WavContent a, b;
    ASSERT_TRUE(ReadRendered("speaker_a.wav", a));
    ASSERT_TRUE(ReadRendered("speaker_b.wav", b));
    ASSERT_GE(a.Frames(), static_cast<size_t>(20 * kBlock)) << played.output;
    ASSERT_GE(b.Frames(), static_cast<size_t>(20 * kBlock)) << played.output;
    // With 8 blocks in flight the stream starts with 6 blocks of silence,
    // then the host's first frame. Speaker B: output 0 on its right channel.
    // Speaker A: output 0 on its left channel, 50 ms of delay line (2200
    // frames: the line counts whole bytes a millisecond, 176 at 44100 Hz
    // stereo) and 64 frames of FIFO later.
    constexpr long kFirst = 6 * kBlock;
    constexpr long kLate = kFirst + 2200 + 64;
    EXPECT_TRUE(PlayedAsExpected(a, kBlock, [](long t, int c) {
        return c == 0 && t >= kLate ? Ramp(t - kLate) : int16_t{0};
    })) << "Speaker A";
    EXPECT_TRUE(PlayedAsExpected(b, kBlock, [](long t, int c) {
        return c == 1 && t >= kFirst ? Ramp(t - kFirst) : int16_t{0};
    })) << "Speaker B";

    TempFolder out("Telvara-Recording");
    const std::string recording = out / "recording.wav";
    const ProgramResult recorded = RunProgram(CommandLine(
        {HostProgramPath(), "record", "TelvaraDriver", "--out", recording, "--inputs", "0,1", "--seconds", "0.5"}));
    ASSERT_EQ(recorded.exitCode, 0L) << recorded.output;
    EXPECT_TRUE(RecordedTheMicrophoneRamp(recording, kBlock)) << recorded.output;
}

TEST_F(HostProcessTest, RecordWritesTheMicrophonesRampAndTheSpeakersPlaySilence)
{
    WriteSettings(Settings());
    TempFolder out("Telvara-Recording");
    const std::string recording = out / "recording.wav";
    const ProgramResult recorded = RunProgram(CommandLine(
        {HostProgramPath(), "record", "TelvaraDriver", "--out", recording, "--inputs", "0,1", "--seconds", "0.5"}));
    ASSERT_EQ(recorded.exitCode, 0L) << recorded.output;
    EXPECT_TRUE(RecordedTheMicrophoneRamp(recording, kBlock)) << recorded.output;

    WavContent a;
    ASSERT_TRUE(ReadRendered("speaker_a.wav", a));
    ASSERT_GE(a.Frames(), static_cast<size_t>(kBlock));
    for (size_t i = 0; i < a.samples.size(); ++i) {
        ASSERT_EQ(a.samples[i], 0) << "sample " << i;
    }
}

// telvara-host plays and records its 16-bit signals whatever sample type
// the driver's settings choose: the 16-bit speakers play the same ramp and
// the recording holds the same microphone ramp as at 16 bits.
TEST_F(HostProcessTest, PlayAndRecordCarryTheSameSamplesAtEveryHostSampleType)
{
    for (const char* type : {"BitSpersample=24\n", "BitSpersample=32\n", "SampleFormat=float\n"}) {
        SCOPED_TRACE(type);
        WriteSettings(Settings(type));
        const ProgramResult played = RunProgram(
            CommandLine({HostProgramPath(), "play", "TelvaraDriver", "--signal", "ramp", "--outputs", "1", "--seconds", "1"}));
        ASSERT_EQ(played.exitCode, 0L) << played.output;
        WavContent a;
        ASSERT_TRUE(ReadRendered("speaker_a.wav", a));
        ASSERT_GE(a.Frames(), static_cast<size_t>(20 * kBlock)) << played.output;
        EXPECT_TRUE(PlayedAsExpected(a, kBlock, [](long t, int c) { return c == 1 ? Ramp(t) : int16_t{0}; }));
        TempFolder out("Telvara-Recording");
        const std::string recording = out / "recording.wav";
        const ProgramResult recorded = RunProgram(CommandLine(
            {HostProgramPath(), "record", "TelvaraDriver", "--out", recording, "--inputs", "0,1", "--seconds", "0.5"}));
        ASSERT_EQ(recorded.exitCode, 0L) << recorded.output;
        EXPECT_TRUE(RecordedTheMicrophoneRamp(recording, kBlock)) << recorded.output;
    }
}

TEST_F(HostProcessTest, APlainCHostDrivesEveryMethodThroughItsOwnVtable)
{
    WriteSettings(Settings("InputLatency=25\nOutputLatency=30\n"));
    const ProgramResult run = RunProgram(CommandLine({CHostPath()}));
    ASSERT_EQ(run.exitCode, 0L) << run.output;
    const std::vector<std::string> expected = {
        "created=0x00000000",
        "init=1",
        "driver-name=TELVARA",
        "driver-version=1",
        "channels=2 4",
        "latencies=25 30",
        "buffer-size=512 512 512 -1",
        "can-rate-48000=0",
        "can-rate-96000=-995",
        "sample-rate=44100.0",
        "set-rate-44100=0",
        "clock-sources=1 0 -1 -1 1 Computer",
        "set-clock-source-1=-1000",
        "future-can-time-info=0x3f4847a0",
        "future-unknown=-1000",
        "output-ready=-1000",
        "control-panel=0",
        "create-buffers=0",
        "output-channel-0=1 16 TELVARA output 1",
        "output-channel-1=1 16 TELVARA output 2",
        "output-channel-2=0 16 -",
        "start=0",
        "stop=0",
        "buffer-switches-arrived=1",
        "time-info-calls-only=1",
        "indices-alternate=1",
        "positions-advance-by-a-buffer=1",
        "time-info-fields=1",
        "input-ramp=1",
        "final-position-matches=1",
        "dispose-buffers=0",
        "release=0",
    };
    EXPECT_EQ(Lines(run.output), expected) << run.output;

    WavContent a, b;
    ASSERT_TRUE(ReadRendered("speaker_a.wav", a));
    ASSERT_TRUE(ReadRendered("speaker_b.wav", b));
    ASSERT_GE(a.Frames(), static_cast<size_t>(28 * kBlock));
    ASSERT_GE(b.Frames(), static_cast<size_t>(28 * kBlock));
    EXPECT_TRUE(PlayedAsExpected(a, kBlock, [](long t, int c) { return CHostSample(c, t); })) << "Speaker A";
    EXPECT_TRUE(PlayedAsExpected(b, kBlock, [](long t, int c) { return c == 1 ? CHostSample(0, t) : int16_t{0}; }))
        << "Speaker B";
}

TEST_F(HostProcessTest, PlayAndRecordReportTheFramesEachSimulatedDeviceRanDryOrLost)
{
    WriteSettings(Settings());
    // Deep device buffers: nothing is lost.
    const ProgramResult healthy =
        RunProgram(CommandLine({HostProgramPath(), "play", "TelvaraDriver", "--signal", "ramp", "--seconds", "1"}));
    ASSERT_EQ(healthy.exitCode, 0L) << healthy.output;
    for (const char* speaker : {"Speaker A", "Speaker B"}) {
        const DeviceCounts counts = CountsIn(healthy.output, speaker);
        EXPECT_EQ(counts.underrun, 0) << speaker << "\n" << healthy.output;
        EXPECT_EQ(counts.overrun, 0) << speaker << "\n" << healthy.output;
    }
    TempFolder out("Telvara-Recording");
    const ProgramResult recorded = RunProgram(CommandLine(
        {HostProgramPath(), "record", "TelvaraDriver", "--out", out / "recording.wav", "--seconds", "0.5"}));
    ASSERT_EQ(recorded.exitCode, 0L) << recorded.output;
    EXPECT_EQ(CountsIn(recorded.output, "Microphone").overrun, 0) << recorded.output;

    // Speaker B's clock runs 10 % fast over a 20 ms buffer while Speaker A,
    // at the nominal rate, paces the stream: B must run dry, again and again.
    std::string description = kTwoSpeakersAndAMicrophone;
    const std::string speakerB = "name = Speaker B\n";
    description.insert(description.find(speakerB) + speakerB.size(), "clock-ppm = 100000\n");
    for (size_t at = description.find("buffer-ms = 500"); at != std::string::npos;
         at = description.find("buffer-ms = 500", at)) {
        description.replace(at, 15, "buffer-ms = 20");
    }
    WriteFileBytes(m_driver.File("kssim.ini"), description);
    const ProgramResult dry =
        RunProgram(CommandLine({HostProgramPath(), "play", "TelvaraDriver", "--signal", "ramp", "--seconds", "2"}));
    ASSERT_EQ(dry.exitCode, 0L) << dry.output;
    const DeviceCounts counts = CountsIn(dry.output, "Speaker B");
    // 10 % of the two seconds, less what the buffers held at the start.
    EXPECT_GT(counts.underrun, 44100 / 20) << dry.output;
    EXPECT_EQ(counts.overrun, 0) << dry.output;
}

TEST_F(HostProcessTest, InfoNamesEachConfiguredDeviceAndABusyOneOpensOnceFreed)
{
    // Another program holds Speaker B from the start; each run reads the
    // description afresh, as a new process meets the devices as they are.
    std::string held = kTwoSpeakersAndAMicrophone;
    const std::string speakerB = "name = Speaker B\n";
    held.insert(held.find(speakerB) + speakerB.size(), "held = yes\n");
    // "未打开的设备:Speaker B(被其他程序占用)"
    const std::string leftOut = "\xce\xb4\xb4\xf2\xbf\xaa\xb5\xc4\xc9\xe8\xb1\xb8:Speaker B("
                                "\xb1\xbb\xc6\xe4\xcb\xfb\xb3\xcc\xd0\xf2\xd5\xbc\xd3\xc3)";
    // "无法打开输入/输出端口,ASIO 声卡初始化失败!"
    const std::string cannotOpen = "\xce\xde\xb7\xa8\xb4\xf2\xbf\xaa\xca\xe4\xc8\xeb/\xca\xe4\xb3\xf6\xb6\xcb\xbf\xda,"
                                   "ASIO \xc9\xf9\xbf\xa8\xb3\xf5\xca\xbc\xbb\xaf\xca\xa7\xb0\xdc!";
    struct Case {
        const char* what;
        std::string description;
        std::string settings;
        long exitCode;
        std::vector<std::string> lines;  // expected among the output's lines, in this order
    };
    const Case cases[] = {
        {"Speaker B held", held, Settings(), 0,
         {"channels:      2 inputs, 2 outputs", "driver says:   " + leftOut, "devices:",
          "  out  Speaker A: open, 16 bit integer, 2 ch, 44100 Hz", "  out  Speaker B: in use by another program",
          "  in   Microphone: open, 16 bit integer, 2 ch, 44100 Hz"}},
        {"Speaker B free again", kTwoSpeakersAndAMicrophone, Settings(), 0,
         {"channels:      2 inputs, 4 outputs", "devices:", "  out  Speaker A: open, 16 bit integer, 2 ch, 44100 Hz",
          "  out  Speaker B: open, 16 bit integer, 2 ch, 44100 Hz", "  in   Microphone: open, 16 bit integer, 2 ch, 44100 Hz"}},
        {"Speaker B takes 44100 Hz only under a 48000 Hz host",
         std::string(kTwoSpeakersAndAMicrophone) + "\n[device.speaker_b.pin.0]\nrange = channels=2 bits=16 rate=44100\n",
         Settings("SampleRate=48000\n"), 0,
         {"channels:      2 inputs, 4 outputs", "devices:", "  out  Speaker A: open, 16 bit integer, 2 ch, 48000 Hz",
          "  out  Speaker B: open, 16 bit integer, 2 ch, 44100 Hz, resampled from the host's 48000 Hz",
          "  in   Microphone: open, 16 bit integer, 2 ch, 48000 Hz"}},
        {"the only device held", held,
         "[default]\nout=Speaker B;Speaker C\n[Speaker B]\noutMaximumChannels=2\n", 4,
         {"devices:", "  out  Speaker B: in use by another program", "  out  Speaker C: not found"}},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        WriteFileBytes(m_driver.File("kssim.ini"), c.description);
        WriteSettings(c.settings);
        const ProgramResult info = RunProgram(CommandLine({HostProgramPath(), "info", "TelvaraDriver"}));
        ASSERT_EQ(info.exitCode, c.exitCode) << info.output;
        const std::vector<std::string> lines = Lines(info.output);
        auto at = lines.begin();
        for (const std::string& expected : c.lines) {
            at = std::find(at, lines.end(), expected);
            ASSERT_NE(at, lines.end()) << "missing, or out of order: " << expected << "\n" << info.output;
        }
        if (c.exitCode != 0) {
            // The host's error names the device after the text it has always had.
            EXPECT_NE(info.output.find(cannotOpen + " Speaker B("), std::string::npos) << info.output;
        }
    }
    // And a stream through the driver plays on the speaker set free.
    WriteFileBytes(m_driver.File("kssim.ini"), kTwoSpeakersAndAMicrophone);
    WriteSettings(Settings());
    const ProgramResult played =
        RunProgram(CommandLine({HostProgramPath(), "play", "TelvaraDriver", "--signal", "ramp", "--seconds", "1"}));
    ASSERT_EQ(played.exitCode, 0L) << played.output;
    e2e::WavContent b;
    ASSERT_TRUE(ReadRendered("speaker_b.wav", b));
    EXPECT_GE(b.Frames(), static_cast<size_t>(20 * kBlock));
}

namespace {

// Where the clicks of one channel of a recording peak, in frames: the
// largest sample of each run above a threshold, a resampled click being a
// little spread out.
std::vector<size_t> ClickFrames(const WavContent& wav, size_t channel)
{
    std::vector<size_t> clicks;
    for (size_t f = 0; f < wav.Frames(); ++f) {
        if (wav.At(f, channel) < 8000) {
            continue;
        }
        size_t peak = f;
        for (; f < wav.Frames() && wav.At(f, channel) >= 8000 / 4; ++f) {
            peak = wav.At(f, channel) > wav.At(peak, channel) ? f : peak;
        }
        clicks.push_back(peak);
    }
    return clicks;
}

}  // namespace

// Through the registered driver in telvara-host's own process, on a
// simulated clock that runs freely: Speaker B's clock runs 150 ppm fast,
// Speaker A (the clock master) plays 50 ms later by its setting (2200
// frames at 44100 Hz: the delay line counts whole bytes a millisecond). Two
// clicks a second: with compensation every click of B from the fourth
// second to the end is played that long before A's (each device's frames
// counted at its own clock's rate), to within 0.1 ms, and B never runs
// dry; without it the two drift apart.
TEST_F(HostProcessTest, ADriftingSpeakerKeepsItsDelayToTheMasterToTheEnd)
{
    constexpr double kPpm = 150.0;
    std::string description = "[kssim]\nclock = virtual\n" + std::string(kTwoSpeakersAndAMicrophone);
    const std::string speakerB = "name = Speaker B\n";
    description.insert(description.find(speakerB) + speakerB.size(), "clock-ppm = 150\n");
    WriteFileBytes(m_driver.File("kssim.ini"), description);
    for (const bool compensate : {true, false}) {
        SCOPED_TRACE(compensate ? "compensation on" : "compensation off");
        WriteSettings(Settings(compensate ? "" : "DriftCompensation=0\n", "outOutLatency=  0.10\n"));
        const ProgramResult played = RunProgram(CommandLine(
            {HostProgramPath(), "play", "TelvaraDriver", "--signal", "clicks", "--frequency", "2", "--seconds", "3"}));
        ASSERT_EQ(played.exitCode, 0L) << played.output;
        WavContent a, b;
        ASSERT_TRUE(ReadRendered("speaker_a.wav", a));
        ASSERT_TRUE(ReadRendered("speaker_b.wav", b));
        // A plays output 0 on its left channel, B on its right.
        const std::vector<size_t> clicksA = ClickFrames(a, 0);
        const std::vector<size_t> clicksB = ClickFrames(b, 1);
        const double rateA = 44100.0;
        const double rateB = 44100.0 * (1.0 + kPpm * 1e-6);
        // Each click of B from the fourth second on, against A's click
        // closest to the delay after it (a click of B that A did not play
        // before the stream stopped has none).
        const double delayMs = 2200.0 / 44.1;
        double lowest = 1e9, highest = -1e9, last = 0.0;
        int pairs = 0;
        for (const size_t clickB : clicksB) {
            const double secondsB = static_cast<double>(clickB) / rateB;
            if (secondsB < 4.0) {
                continue;
            }
            const auto later = std::min_element(clicksA.begin(), clicksA.end(), [&](size_t x, size_t y) {
                return std::fabs(x / rateA - secondsB - delayMs / 1000) < std::fabs(y / rateA - secondsB - delayMs / 1000);
            });
            const double offset = later == clicksA.end() ? 1e9 : (static_cast<double>(*later) / rateA - secondsB) * 1000.0;
            if (std::fabs(offset - delayMs) > 200.0) {
                continue;
            }
            last = offset;
            lowest = std::min(lowest, last);
            highest = std::max(highest, last);
            ++pairs;
        }
        std::printf("[ figures  ] %s: %d clicks over %.1f simulated s, A after B %.3f to %.3f ms, %.3f ms at the "
                    "end; B ran dry %lld frames\n",
                    compensate ? "compensation on" : "compensation off", pairs, static_cast<double>(b.Frames()) / rateB,
                    lowest, highest, last, CountsIn(played.output, "Speaker B").underrun);
        // The free-running clock gives a few simulated seconds for each
        // second of the host's: enough clicks to see a drift of 150 ppm.
        ASSERT_GT(pairs, 20) << played.output;
        if (compensate) {
            EXPECT_GT(lowest, delayMs - 0.1);
            EXPECT_LT(highest, delayMs + 0.1);
            EXPECT_EQ(CountsIn(played.output, "Speaker B").underrun, 0) << played.output;
        } else {
            EXPECT_GT(highest - lowest, 1.0);
        }
    }
}
