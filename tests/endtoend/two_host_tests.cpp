// Two host processes create the registered driver on the same simulated
// devices (one kssim.ini beside the library). Where the devices' pins have
// an instance for each, both stream and a panel signal reaches both; where
// the first holds a device's only instance, the second streams on the others
// or its init fails naming the device; and an instance of a host that was
// ended is free again.
#include "e2e_signals.h"
#include "registered_driver.h"

#include <algorithm>
#include <memory>

namespace {

using namespace e2e;

// kTwoSpeakersAndAMicrophone with the given number of instances on the
// streaming pin of each device (speaker A, speaker B, microphone).
std::string WithInstances(int speakerA, int speakerB, int microphone)
{
    std::string description = kTwoSpeakersAndAMicrophone;
    const auto pin = [](const char* device, int count) {
        return std::string("\n[device.") + device + ".pin.0]\ninstances = " + std::to_string(count) +
               "\nglobal-instances = " + std::to_string(count) + "\n";
    };
    return description + pin("speaker_a", speakerA) + pin("speaker_b", speakerB) + pin("microphone", microphone);
}

// "未打开的设备:Speaker B(被其他程序占用)"
const std::string kSpeakerBLeftOut = "\xce\xb4\xb4\xf2\xbf\xaa\xb5\xc4\xc9\xe8\xb1\xb8:Speaker B("
                                     "\xb1\xbb\xc6\xe4\xcb\xfb\xb3\xcc\xd0\xf2\xd5\xbc\xd3\xc3)";
// "无法打开输入/输出端口,ASIO 声卡初始化失败!"
const std::string kCannotOpen = "\xce\xde\xb7\xa8\xb4\xf2\xbf\xaa\xca\xe4\xc8\xeb/\xca\xe4\xb3\xf6\xb6\xcb\xbf\xda,"
                                "ASIO \xc9\xf9\xbf\xa8\xb3\xf5\xca\xbc\xbb\xaf\xca\xa7\xb0\xdc!";

class TwoHostTest : public RegisteredDriverTest {
protected:
    // e2e_helper streaming through the registered driver, with an event it
    // sets once its stream runs.
    struct StreamingHost {
        std::string readyName;
        HANDLE ready = nullptr;
        std::unique_ptr<ChildProgram> program;
        ~StreamingHost()
        {
            if (ready) {
                CloseHandle(ready);
            }
        }
    };

    // Starts a helper that streams and then waits for `awaited` ("volume",
    // or "none" to end after a few more cycles); true once it streams
    // (within 30 s).
    static bool StartStreaming(StreamingHost& host, int index, const char* awaited)
    {
        host.readyName = "Local\\telvara-e2e-two-hosts-" + std::to_string(GetCurrentProcessId()) + "-" +
                         std::to_string(index);
        host.ready = CreateEventA(nullptr, TRUE, FALSE, host.readyName.c_str());
        if (!host.ready) {
            ADD_FAILURE() << "no ready event: " << GetLastError();
            return false;
        }
        host.program = std::make_unique<ChildProgram>(CommandLine({HelperPath(), "stream", host.readyName, awaited}));
        if (!host.program->Started()) {
            ADD_FAILURE() << "e2e_helper did not start: " << host.program->StartError();
            return false;
        }
        return WaitForEventOrExit(host.ready, host.program->Handle(), 30000);
    }

    static bool HasLine(const std::string& output, const std::string& line)
    {
        const std::vector<std::string> lines = Lines(output);
        return std::find(lines.begin(), lines.end(), line) != lines.end();
    }
};

}  // namespace

TEST_F(TwoHostTest, WithAnInstanceForEachBothStreamAndAVolumeFromThePanelReachesBoth)
{
    WriteFileBytes(m_driver.File("kssim.ini"), WithInstances(2, 2, 2));
    WriteSettings(Settings());
    StreamingHost first, second;
    ASSERT_TRUE(StartStreaming(first, 1, "volume")) << first.program->Output();
    ASSERT_TRUE(StartStreaming(second, 2, "volume")) << second.program->Output();

    // Both streams run at once: the panel's change of volume goes to config.ini
    // and its named event, and each driver takes it up in its own stream.
    const ProgramResult writer = RunProgram(CommandLine({SettingsWriterPath(64), "volume", "0.500000"}));
    ASSERT_EQ(writer.exitCode, 0L) << writer.output;
    for (StreamingHost* host : {&first, &second}) {
        EXPECT_EQ(host->program->Wait(60000), std::optional<long>(kHelperOk)) << host->program->Output();
        EXPECT_NE(host->program->Output().find(std::string("trace: ") + kVolumeTracePrefix + "0.500000"),
                  std::string::npos)
            << host->program->Output();
    }
}

TEST_F(TwoHostTest, ADeviceTheFirstHostHoldsIsLeftOutOrFailsTheSecondHostsInitByName)
{
    struct Case {
        const char* what;
        std::string description;
        long exitCode;                   // of the second host's info
        std::vector<std::string> lines;  // among its output's lines
        std::string error;               // in its output (empty: none expected)
    };
    const Case cases[] = {
        {"only Speaker B has a single instance", WithInstances(2, 1, 2), 0,
         {"channels:      2 inputs, 2 outputs", "driver says:   " + kSpeakerBLeftOut,
          "  out  Speaker A: open, 16 bit integer, 2 ch, 44100 Hz", "  out  Speaker B: in use by another program"},
         {}},
        {"every device has a single instance", WithInstances(1, 1, 1), 4,
         {"  out  Speaker A: in use by another program", "  out  Speaker B: in use by another program",
          "  in   Microphone: in use by another program"},
         kCannotOpen + " Speaker A("},
    };
    WriteSettings(Settings());
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        WriteFileBytes(m_driver.File("kssim.ini"), c.description);
        {
            StreamingHost first;
            ASSERT_TRUE(StartStreaming(first, 1, "volume")) << first.program->Output();
            const ProgramResult info = RunProgram(CommandLine({HostProgramPath(), "info", "TelvaraDriver"}), 60000);
            ASSERT_EQ(info.exitCode, c.exitCode) << info.output;
            for (const std::string& line : c.lines) {
                EXPECT_TRUE(HasLine(info.output, line)) << "missing: " << line << "\n" << info.output;
            }
            if (!c.error.empty()) {
                EXPECT_NE(info.output.find(c.error), std::string::npos) << info.output;
            }
            // The first host still streams: it takes up a change of volume.
            const ProgramResult writer = RunProgram(CommandLine({SettingsWriterPath(64), "volume", "0.500000"}));
            ASSERT_EQ(writer.exitCode, 0L) << writer.output;
            EXPECT_EQ(first.program->Wait(60000), std::optional<long>(kHelperOk)) << first.program->Output();
        }
        // Ended, the first host holds nothing: the second opens every device.
        const ProgramResult after = RunProgram(CommandLine({HostProgramPath(), "info", "TelvaraDriver"}), 60000);
        ASSERT_EQ(after.exitCode, 0L) << after.output;
        EXPECT_TRUE(HasLine(after.output, "  out  Speaker B: open, 16 bit integer, 2 ch, 44100 Hz")) << after.output;
    }
}

TEST_F(TwoHostTest, TheInstancesOfAHostThatWasKilledAreFreeAgain)
{
    WriteFileBytes(m_driver.File("kssim.ini"), WithInstances(1, 1, 1));
    WriteSettings(Settings());
    StreamingHost first;
    ASSERT_TRUE(StartStreaming(first, 1, "volume")) << first.program->Output();
    ASSERT_TRUE(TerminateProcess(first.program->Handle(), 99));
    ASSERT_EQ(WaitForSingleObject(first.program->Handle(), 10000), WAIT_OBJECT_0);

    const ProgramResult info = RunProgram(CommandLine({HostProgramPath(), "info", "TelvaraDriver"}), 60000);
    ASSERT_EQ(info.exitCode, 0L) << info.output;
    for (const char* line : {"  out  Speaker A: open, 16 bit integer, 2 ch, 44100 Hz",
                             "  out  Speaker B: open, 16 bit integer, 2 ch, 44100 Hz",
                             "  in   Microphone: open, 16 bit integer, 2 ch, 44100 Hz"}) {
        EXPECT_TRUE(HasLine(info.output, line)) << "missing: " << line << "\n" << info.output;
    }
}
