// The panel's side of the named events, from another process: while a host
// streams through the driver, a program writes config.ini and sets the
// driver's global event, as the panel does. It runs as a 32-bit process, as
// the panel does, and as a 64-bit one, which every machine can run. What the
// speakers played shows when and how the running driver took the change up.
#include "delay_change_check.h"
#include "e2e_signals.h"
#include "registered_driver.h"

#include <cstdint>

namespace {

using namespace e2e;

constexpr long kBlock = 512;
// 0.10 as an output delay: 176 bytes a millisecond at 44100 Hz stereo,
// 50 ms of them, 4 bytes a frame.
constexpr size_t kDelayFrames = 176 * 50 / 4;
// What 0.20 gives: 100 ms.
constexpr size_t kNewDelayFrames = 176 * 100 / 4;

// The value of key in config.ini as written, blanks around it removed.
std::string SettingValue(const std::string& file, const std::string& key)
{
    for (const std::string& line : Lines(file)) {
        if (line.rfind(key + "=", 0) == 0) {
            const std::string value = line.substr(key.size() + 1);
            const size_t first = value.find_first_not_of(' ');
            const size_t last = value.find_last_not_of(' ');
            return first == std::string::npos ? std::string() : value.substr(first, last - first + 1);
        }
    }
    return "(absent)";
}

// Frame t plays frame t - delay of what the host wrote.
bool PlaysDelayed(const WavContent& wav, size_t t, size_t delay)
{
    const long frame = static_cast<long>(t) - static_cast<long>(delay);
    return frame >= 0 && wav.At(t, 0) == StreamSample(0, frame) && wav.At(t, 1) == StreamSample(1, frame);
}

// The parameter is the bitness of the writing process.
class NamedEventTest : public RegisteredDriverTest, public testing::WithParamInterface<int> {
protected:
    void SetUp() override
    {
        RegisteredDriverTest::SetUp();
        if (GetParam() == 32 && !X86UnavailableReason().empty()) {
            GTEST_SKIP() << "32-bit programs cannot run on this machine: " << X86UnavailableReason();
        }
        if (!FileExists(Writer())) {
            GTEST_SKIP() << "the " << GetParam() << "-bit settings writer " << Writer()
                         << " was not built (the build found no i686 MinGW C compiler)";
        }
    }

    std::string Writer() const { return SettingsWriterPath(GetParam()); }

    // Streams with e2e_helper until it is ready, runs the writer with
    // the given arguments, and waits for the helper to see the change and
    // end. The helper's output, for messages.
    std::string StreamAndWrite(const char* awaited, std::initializer_list<std::string> writerArguments)
    {
        const std::string readyName = "Local\\telvara-e2e-ready-" + std::to_string(GetCurrentProcessId());
        HANDLE ready = CreateEventA(nullptr, TRUE, FALSE, readyName.c_str());
        EXPECT_NE(ready, nullptr);
        ChildProgram host(CommandLine({HelperPath(), "stream", readyName, awaited}));
        EXPECT_TRUE(host.Started());
        const bool streaming = WaitForEventOrExit(ready, host.Handle(), 30000);
        CloseHandle(ready);
        if (!streaming) {
            ADD_FAILURE() << "the host did not start streaming:\n" << host.Output();
            return host.Output();
        }
        const ProgramResult writer = RunProgram(CommandLine(writerArguments));
        if (!writer.exitCode) {
            // The host waits for a change that will not come: end it now.
            ADD_FAILURE() << writer.output;
            return writer.output;
        }
        EXPECT_EQ(writer.exitCode, 0L) << writer.output;
        EXPECT_NE(writer.output.find("pointer-bits=" + std::to_string(GetParam())), std::string::npos) << writer.output;
        EXPECT_EQ(host.Wait(60000), std::optional<long>(kHelperOk)) << host.Output();
        return host.Output() + writer.output;
    }
};

}  // namespace

TEST_P(NamedEventTest, AVolumeWrittenByThePanelHalvesTheSamplesFromTheNextCycleOn)
{
    WriteSettings(Settings());
    const std::string output = StreamAndWrite("volume", {Writer(), "volume", "0.500000"});
    ASSERT_FALSE(HasFailure());
    EXPECT_NE(output.find(std::string("trace: ") + kVolumeTracePrefix + "0.500000"), std::string::npos) << output;
    EXPECT_EQ(SettingValue(ReadFileBytes(m_appData.SettingsFile()), "Volume"), "0.500000");

    WavContent a, b;
    ASSERT_TRUE(ReadRendered("speaker_a.wav", a));
    ASSERT_TRUE(ReadRendered("speaker_b.wav", b));
    ASSERT_GE(b.Frames(), static_cast<size_t>(20 * kBlock));
    size_t change = 0;
    while (change < a.Frames() && PlaysDelayed(a, change, 0)) {
        ++change;
    }
    ASSERT_LT(change, a.Frames()) << "the samples were never halved\n" << output;
    // Full scale for at least the eight buffer switches before the writer
    // ran, then halved from the start of a block to the end.
    EXPECT_EQ(change % kBlock, 0u) << change;
    EXPECT_GE(change, static_cast<size_t>(8 * kBlock));
    EXPECT_GE(a.Frames() - change, static_cast<size_t>(10 * kBlock)) << output;
    const auto scaled = [change](int buffer, long t) {
        const int divisor = static_cast<size_t>(t) < change ? 1 : 2;
        return static_cast<int16_t>(StreamSample(buffer, t) / divisor);
    };
    EXPECT_TRUE(PlayedAsExpected(a, kBlock, [&](long t, int c) { return scaled(c, t); })) << "Speaker A";
    EXPECT_TRUE(PlayedAsExpected(b, kBlock, [&](long t, int c) { return c == 1 ? scaled(0, t) : int16_t{0}; }))
        << "Speaker B";
}

TEST_P(NamedEventTest, TheOutputDelayEventMovesThatSpeakerToTheNewDelayInTheRunningStream)
{
    WriteSettings(Settings({}, "outOutLatency=0.10\n"));
    const std::string output = StreamAndWrite("outlatency", {Writer(), "outlatency", "Speaker A", "  0.20"});
    ASSERT_FALSE(HasFailure());
    EXPECT_NE(output.find(std::string("trace: ") + kOutputDelayTrace), std::string::npos) << output;
    EXPECT_EQ(SettingValue(ReadFileBytes(m_appData.SettingsFile()), "outOutLatency"), "0.20");

    // Speaker A plays 50 ms late, then, after a fade of 5 ms (220 frames)
    // each way around the jump, exactly 100 ms late: the value now in
    // config.ini.
    WavContent a;
    ASSERT_TRUE(ReadRendered("speaker_a.wav", a));
    EXPECT_TRUE(MovedByTheDelayChange(a, kBlock, kDelayFrames, kNewDelayFrames, 220)) << output;

    // The other speaker's delay did not change: it plays on untouched.
    WavContent b;
    ASSERT_TRUE(ReadRendered("speaker_b.wav", b));
    ASSERT_GE(b.Frames(), static_cast<size_t>(20 * kBlock));
    EXPECT_TRUE(PlayedAsExpected(b, kBlock, [](long t, int c) { return c == 1 ? StreamSample(0, t) : int16_t{0}; }));
}

INSTANTIATE_TEST_SUITE_P(WriterBits, NamedEventTest, testing::Values(64, 32),
                         [](const testing::TestParamInfo<int>& info) { return "Writer" + std::to_string(info.param) + "Bit"; });
