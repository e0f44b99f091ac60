// Damaged, hand-edited and hostile config.ini files: every value read is the
// documented one or kept inside the documented limits, and a driver given
// such a file either streams or says at init why not.
#include "settings_file.h"

#include "appdata_redirect.h"
#include "kssim.h"
#include "process_resources.h"
#include "settings_fuzz_cases.h"
#include "settings_fuzz_driver.h"
#include "settings_limits.h"
#include "trace_capture.h"

#include <gtest/gtest.h>
#include <windows.h>

#include <cmath>
#include <functional>
#include <limits>

namespace {

class SettingsFuzzTest : public testing::Test {
protected:
    void SetUp() override
    {
        CreateDirectoryA(m_appData.SettingsFolder().c_str(), nullptr);
        SettingsFuzz::UseValidFileDevices();
    }
    void TearDown() override { kssim::Simulation::Instance().Reset(); }

    AppDataRedirect m_appData;
};

std::string Default(const std::string& lines)
{
    return "[default]\r\n" + lines + "\r\n";
}

std::string Devices(const std::string& keys)
{
    return "[default]\r\nout=Spk A\r\n[Spk A]\r\noutMaximumChannels=2\r\n" + keys + "\r\n";
}

std::string ManyNames(int count)
{
    std::string list = "[default]\r\nout=";
    for (int i = 0; i < count; ++i) {
        list += (i ? ";Dev " : "Dev ") + std::to_string(i);
    }
    return list + "\r\n";
}

void StoppedAtVolume(const DriverSettings& s)
{
    EXPECT_EQ(s.volume, 1.0f);
    EXPECT_EQ(s.requestsInFlight, 2) << "RequestsInFlight comes after Volume";
}

struct CorpusCase {
    const char* name;
    std::string file;
    std::function<void(const DriverSettings&)> expect;
};

}  // namespace

TEST_F(SettingsFuzzTest, InterestingFilesReadAsTheDocumentedOrClampedValuesAndInitStreamsOrSaysWhy)
{
    const auto& A = [](const DriverSettings& s) -> const DeviceSettings& { return s.outputDevices.at("Spk A"); };
    const std::vector<CorpusCase> corpus = {
        {"BlockFrames 0 is no setting", Default("BlockFrames=0"), [](auto& s) { EXPECT_EQ(s.blockFrames, 512); }},
        {"BlockFrames INT_MIN", Default("BlockFrames=-2147483648"), [](auto& s) { EXPECT_EQ(s.blockFrames, 512); }},
        {"BlockFrames INT_MAX", Default("BlockFrames=2147483647"), [](auto& s) { EXPECT_EQ(s.blockFrames, 8192); }},
        {"BlockFrames below the least", Default("BlockFrames=15"), [](auto& s) { EXPECT_EQ(s.blockFrames, 16); }},
        {"BlockFrames beyond int stops the load", Default("SampleRate=48000\r\nBlockFrames=99999999999999999999"),
         [](auto& s) {
             EXPECT_EQ(s.blockFrames, 512);
             EXPECT_EQ(s.sampleRate, 44100) << "keys after the failing one are not read";
         }},
        {"SampleRate not offered", Default("SampleRate=192001"), [](auto& s) { EXPECT_EQ(s.sampleRate, 44100); }},
        {"SampleRate 0", Default("SampleRate=0"), [](auto& s) { EXPECT_EQ(s.sampleRate, 44100); }},
        {"BitSpersample 0", Default("BitSpersample=0"), [](auto& s) { EXPECT_EQ(s.bitsPerSample, 16); }},
        {"InputLatency beyond 10 s", Default("InputLatency=480001\r\nOutputLatency=-1"),
         [](auto& s) {
             EXPECT_EQ(s.inputLatency, 480000);
             EXPECT_EQ(s.outputLatency, 0);
         }},
        {"RequestsInFlight INT_MAX", Default("RequestsInFlight=2147483647"),
         [](auto& s) { EXPECT_EQ(s.requestsInFlight, 8); }},
        {"RequestsInFlight INT_MIN", Default("RequestsInFlight=-2147483648"),
         [](auto& s) { EXPECT_EQ(s.requestsInFlight, 2); }},
        // The configuration library reads no NaN and no infinity: the load
        // stops at the key, which keeps its previous value (here the
        // default), and the keys after it are not read.
        {"Volume NaN", Default("Volume=nan\r\nRequestsInFlight=4"), StoppedAtVolume},
        {"Volume inf", Default("Volume=inf\r\nRequestsInFlight=4"), StoppedAtVolume},
        {"Volume -inf", Default("Volume=-inf\r\nRequestsInFlight=4"), StoppedAtVolume},
        {"Volume 1e30", Default("Volume=1e30\r\nRequestsInFlight=4"),
         [](auto& s) {
             EXPECT_EQ(s.volume, 1.0f);
             EXPECT_EQ(s.requestsInFlight, 4);
         }},
        {"Volume -1e30", Default("Volume=-1e30"), [](auto& s) { EXPECT_EQ(s.volume, 0.0f); }},
        // Read as no number: the device being read is not stored.
        {"OutLatency NaN stops the load", Devices("outOutLatency=nan"),
         [](auto& s) { EXPECT_TRUE(s.outputDevices.empty()); }},
        {"OutLatency inf stops the load", Devices("outOutLatency=inf"),
         [](auto& s) { EXPECT_TRUE(s.outputDevices.empty()); }},
        {"OutLatency 1e30 is the longest delay", Devices("outOutLatency=1e30"),
         [&](auto& s) { EXPECT_EQ(A(s).outLatency, 1.0f); }},
        {"OutLatency 2 is the longest delay", Devices("outOutLatency=2"),
         [&](auto& s) { EXPECT_EQ(A(s).outLatency, 1.0f); }},
        {"OutLatency negative is no delay", Devices("outOutLatency=-0.5"),
         [&](auto& s) { EXPECT_EQ(A(s).outLatency, 0.0f); }},
        {"OutLatency as written", Devices("outOutLatency=  0.25"), [&](auto& s) { EXPECT_EQ(A(s).outLatency, 0.25f); }},
        {"MaximumChannels negative is kept for the device layer to skip", Devices("outMaximumChannels=-1"),
         [&](auto& s) { EXPECT_EQ(A(s).maximumChannels, -1); }},
        {"MaximumChannels INT_MAX is kept for the device layer to skip", Devices("outMaximumChannels=2147483647"),
         [&](auto& s) { EXPECT_EQ(A(s).maximumChannels, 2147483647); }},
        {"ChannelLink beyond int saturates", Devices("outChannelLink=2147483648;-2147483649"),
         [&](auto& s) {
             EXPECT_EQ(A(s).channelLinkLeft, 2147483647);
             EXPECT_EQ(A(s).channelLinkRight, -2147483647 - 1);
         }},
        {"5000 devices in a list", ManyNames(5000),
         [](auto& s) {
             EXPECT_EQ(s.outputDevices.size(), 256u) << "the first 256 names";
             EXPECT_EQ(s.outputDevices.count("Dev 255"), 1u);
             EXPECT_EQ(s.outputDevices.count("Dev 256"), 0u);
         }},
        {"a file cut inside a section header", SettingsFuzz::ValidFile().substr(0, SettingsFuzz::ValidFile().find("[Spk A]") + 4),
         [](auto& s) {
             EXPECT_EQ(s.blockFrames, 256);
             ASSERT_EQ(s.outputDevices.size(), 2u);
             EXPECT_EQ(s.outputDevices.at("Spk A").maximumChannels, 0) << "no section read";
         }},
        {"a file of 1 MiB and one byte is refused", Default("BlockFrames=256\r\nVolume=0." + std::string(1 << 20, '5')),
         [](auto& s) { EXPECT_EQ(s.blockFrames, 512); }},
        {"embedded NUL in the device list", Default(std::string("out=Spk A\0;Spk B", 16)),
         [](auto& s) {
             ASSERT_EQ(s.outputDevices.size(), 2u);
             EXPECT_EQ(s.outputDevices.count(std::string("Spk A\0", 6)), 1u) << "names are kept as bytes";
         }},
        {"invalid GBK names", Default("out=\x81;Spk A;\xff\xfe") + "[\x81]\r\noutMaximumChannels=2\r\n",
         [](auto& s) {
             ASSERT_EQ(s.outputDevices.size(), 3u);
             EXPECT_EQ(s.outputDevices.at("\x81").maximumChannels, 2);
         }},
    };
    for (const CorpusCase& c : corpus) {
        SCOPED_TRACE(c.name);
        WriteFileBytes(m_appData.SettingsFile(), c.file);
        SettingsFile file(SettingsFailureAction::Continue);
        const DriverSettings* settings = file.LoadSettings();
        c.expect(*settings);
        EXPECT_EQ(SettingsFuzz::Violation(*settings), "");
        EXPECT_EQ(SettingsFuzz::DriverInitViolation(m_appData.SettingsFile(), c.file), "");
    }
}

TEST_F(SettingsFuzzTest, ASampleOfTheFuzzCampaignKeepsEveryValueInsideItsLimits)
{
    // The full campaign is the settings_fuzz program; this is its first
    // 800 inputs (100 of each kind), every 20th also through driver init.
    constexpr int kInputs = 800;
    constexpr int kDriverEvery = 20;
    SettingsFuzz::Generator generator(20261210);
    WriteFileBytes(m_appData.SettingsFile(), SettingsFuzz::ValidFile());
    SettingsFile file(SettingsFailureAction::Continue);
    ASSERT_TRUE(file.IsUsable());
    const size_t committed = CommittedBytes();
    int initialised = 0;
    for (int i = 0; i < kInputs; ++i) {
        const SettingsFuzz::Input input = generator.Make(static_cast<uint64_t>(i));
        const std::string problem = SettingsFuzz::ReaderViolation(file, m_appData.SettingsFile(), input.bytes);
        ASSERT_EQ(problem, "") << "input " << i << " (" << SettingsFuzz::KindName(input.kind) << ")";
        if (i % kDriverEvery == 0) {
            bool ok = false;
            ASSERT_EQ(SettingsFuzz::DriverInitViolation(m_appData.SettingsFile(), input.bytes, &ok), "")
                << "input " << i << " (" << SettingsFuzz::KindName(input.kind) << ")";
            initialised += ok ? 1 : 0;
        }
    }
    EXPECT_GT(initialised, 0) << "some inputs leave a driver that streams";
    EXPECT_LT(initialised, kInputs / kDriverEvery) << "some inputs leave a driver that cannot";
    EXPECT_LT(CommittedBytes(), committed + (16u << 20)) << "committed memory grew by " << (CommittedBytes() - committed);
}
