#include "appdata_redirect.h"
#include "message_box_log.h"
#include "settings_file.h"
#include "settings_paths.h"
#include "trace_capture.h"

#include <gtest/gtest.h>

#include <map>
#include <optional>
#include <set>
#include <windows.h>

#include <memory>
#include <string>

namespace {

class SettingsFileTest : public testing::Test {
protected:
    void SetUp() override { ClearLoggedMessageBoxes(); }

    // Writes config.ini (and its folder) with the given text.
    void WriteConfig(const std::string& text)
    {
        CreateDirectoryA(m_appData.SettingsFolder().c_str(), nullptr);
        WriteFileBytes(m_appData.SettingsFile(), text);
    }

    std::unique_ptr<SettingsFile> Open()
    {
        return std::make_unique<SettingsFile>(SettingsFailureAction::Continue);
    }

    // Runs a load and returns what it traced. Nothing may reach the
    // standard output or error: they belong to the host, which may stream
    // its data there.
    static std::string LoadTracing(SettingsFile& file, DriverSettings** settings = nullptr)
    {
        TraceCapture trace;
        testing::internal::CaptureStdout();
        testing::internal::CaptureStderr();
        DriverSettings* loaded = file.LoadSettings();
        EXPECT_EQ(testing::internal::GetCapturedStderr(), "");
        EXPECT_EQ(testing::internal::GetCapturedStdout(), "");
        if (settings) {
            *settings = loaded;
        }
        std::string traced;
        for (const std::string& line : trace.Lines()) {
            traced += line;
        }
        return traced;
    }

    AppDataRedirect m_appData;
};

void ExpectDefaults(const DriverSettings& s)
{
    EXPECT_EQ(s.blockFrames, 512);
    EXPECT_EQ(s.bitsPerSample, 16);
    EXPECT_EQ(s.sampleRate, 44100);
    EXPECT_EQ(s.inputLatency, 0);
    EXPECT_EQ(s.outputLatency, 0);
    EXPECT_FLOAT_EQ(s.volume, 1.0f);
    EXPECT_TRUE(s.driftCompensation);
    EXPECT_EQ(s.clockMaster, "");
    EXPECT_TRUE(s.uncompensatedOutputs.empty());
    EXPECT_TRUE(s.uncompensatedInputs.empty());
}

}  // namespace

TEST_F(SettingsFileTest, PathsNameTheZqvFolderOfApplicationData)
{
    EXPECT_EQ(SettingsFolderPath(), m_appData.SettingsFolder());
    EXPECT_EQ(SettingsFilePath(), m_appData.SettingsFile());
}

TEST_F(SettingsFileTest, MissingFolderAndFileAreCreatedAndEveryKeyTakesItsDefault)
{
    ASSERT_EQ(GetFileAttributesA(m_appData.SettingsFolder().c_str()), INVALID_FILE_ATTRIBUTES);
    auto file = Open();
    EXPECT_TRUE(file->IsUsable());
    EXPECT_EQ(ReadFileBytes(m_appData.SettingsFile()), "");
    DriverSettings* settings = nullptr;
    EXPECT_EQ(LoadTracing(*file, &settings), "");
    ExpectDefaults(*settings);
    EXPECT_TRUE(settings->inputDevices.empty());
    EXPECT_TRUE(settings->outputDevices.empty());
    EXPECT_EQ(file->m_strPath, m_appData.SettingsFile());
    EXPECT_TRUE(LoggedMessageBoxes().empty());
}

TEST_F(SettingsFileTest, AnExistingFileIsReadAsItIs)
{
    WriteConfig("[default]\r\nBlockFrames=256\r\nBitSpersample=24\r\nSampleRate=48000\r\nInputLatency=20\r\n"
                "OutputLatency=30\r\nVolume=0.500000\r\n");
    auto file = Open();
    DriverSettings* s = file->LoadSettings();
    EXPECT_EQ(s->blockFrames, 256);
    EXPECT_EQ(s->bitsPerSample, 24);
    EXPECT_EQ(s->sampleRate, 48000);
    EXPECT_EQ(s->inputLatency, 20);
    EXPECT_EQ(s->outputLatency, 30);
    EXPECT_FLOAT_EQ(s->volume, 0.5f);
}

TEST_F(SettingsFileTest, KeysAndSectionsMatchWithoutRegardToCase)
{
    WriteConfig("[DEFAULT]\nblockframes=128\nBITSPERSAMPLE=8\n");
    auto file = Open();
    DriverSettings* s = file->LoadSettings();
    EXPECT_EQ(s->blockFrames, 128);
    EXPECT_EQ(s->bitsPerSample, 8);
}

TEST_F(SettingsFileTest, DevicesWithoutSectionsTakeDefaultsAndPositionLinks)
{
    WriteConfig("[default]\nout=A;B\n");
    auto file = Open();
    DriverSettings* s = file->LoadSettings();
    ASSERT_EQ(s->outputDevices.size(), 2u);
    const DeviceSettings& a = s->outputDevices.at("A");
    const DeviceSettings& b = s->outputDevices.at("B");
    for (const DeviceSettings* d : {&a, &b}) {
        EXPECT_EQ(d->maximumChannels, 0);
        EXPECT_EQ(d->minimumSampleFrequency, 0);
        EXPECT_EQ(d->maximumSampleFrequency, 44100);
        EXPECT_EQ(d->minimumBitsPerSample, 16);
        EXPECT_EQ(d->maximumBitsPerSample, 16);
        EXPECT_FLOAT_EQ(d->outLatency, 0.0f);
    }
    EXPECT_EQ(a.channelLinkLeft, 0);
    EXPECT_EQ(a.channelLinkRight, 1);
    EXPECT_EQ(b.channelLinkLeft, 1);
    EXPECT_EQ(b.channelLinkRight, 2);
    EXPECT_TRUE(s->inputDevices.empty());
}

TEST_F(SettingsFileTest, DeviceSectionsUseTheirDirectionPrefix)
{
    WriteConfig("[default]\nout=Spk\nin=Mic\n"
                "[Spk]\noutMaximumChannels=4\noutMinimumSampleFrequency=8000\noutMaximumSampleFrequency=96000\n"
                "outMinimumBitsPerSample=8\noutMaximumBitsPerSample=32\noutChannelLink=2;3\noutOutLatency=  0.25\n"
                "inMaximumChannels=9\n"
                "[Mic]\ninMaximumChannels=1\ninChannelLink=5\noutMaximumChannels=7\ninOutLatency=0.50\n");
    auto file = Open();
    DriverSettings* s = file->LoadSettings();
    const DeviceSettings& spk = s->outputDevices.at("Spk");
    EXPECT_EQ(spk.maximumChannels, 4);
    EXPECT_EQ(spk.minimumSampleFrequency, 8000);
    EXPECT_EQ(spk.maximumSampleFrequency, 96000);
    EXPECT_EQ(spk.minimumBitsPerSample, 8);
    EXPECT_EQ(spk.maximumBitsPerSample, 32);
    EXPECT_EQ(spk.channelLinkLeft, 2);
    EXPECT_EQ(spk.channelLinkRight, 3);
    EXPECT_FLOAT_EQ(spk.outLatency, 0.25f);
    EXPECT_EQ(static_cast<int>(spk.outLatency * 500), 125) << "a delay of 125 ms";
    const DeviceSettings& mic = s->inputDevices.at("Mic");
    EXPECT_EQ(mic.maximumChannels, 1);
    EXPECT_EQ(mic.channelLinkLeft, 5);
    EXPECT_EQ(mic.channelLinkRight, 0);
    EXPECT_FLOAT_EQ(mic.outLatency, 0.5f) << "read with the \"in\" prefix like every key";
}

TEST_F(SettingsFileTest, EmptyItemsBlanksAndDuplicatesInDeviceLists)
{
    WriteConfig("[default]\nout=A;;B\nin=X;Y;X;\n");
    auto file = Open();
    DriverSettings* s = file->LoadSettings();
    ASSERT_EQ(s->outputDevices.size(), 3u);
    EXPECT_EQ(s->outputDevices.count(""), 1u);
    EXPECT_EQ(s->outputDevices.at("").channelLinkLeft, 1);
    EXPECT_EQ(s->outputDevices.at("B").channelLinkLeft, 2);
    // X stands at positions 0 and 2: the last one wins.
    ASSERT_EQ(s->inputDevices.size(), 2u);
    EXPECT_EQ(s->inputDevices.at("X").channelLinkLeft, 2);
    EXPECT_EQ(s->inputDevices.at("X").channelLinkRight, 3);
}

TEST_F(SettingsFileTest, TablesAreInByteWiseNameOrder)
{
    WriteConfig("[default]\nout=b;B;\xd1\xef;a;1_b\n");
    auto file = Open();
    DriverSettings* s = file->LoadSettings();
    std::vector<std::string> names;
    for (const auto& entry : s->outputDevices) {
        names.push_back(entry.first);
    }
    EXPECT_EQ(names, (std::vector<std::string>{"1_b", "B", "a", "b", "\xd1\xef"}));
}

TEST_F(SettingsFileTest, VeryLongAndGbkDeviceNamesRoundTripThroughTheWriters)
{
    auto file = Open();
    const std::string gbkName = "\xd1\xef\xc9\xf9\xc6\xf7 (USB Audio)";  // 扬声器
    const std::string longName(1000, 'L');
    file->WriteDefaultValue("out", gbkName + ";" + longName);
    file->WriteDeviceInt(gbkName, "out", "MaximumChannels", 2);
    file->WriteDeviceString(gbkName, "out", "ChannelLink", "1;0");
    file->WriteDeviceFloat(longName, "out", "OutLatency", 0.1f);
    DriverSettings* s = file->LoadSettings();
    ASSERT_EQ(s->outputDevices.size(), 2u);
    EXPECT_EQ(s->outputDevices.at(gbkName).maximumChannels, 2);
    EXPECT_EQ(s->outputDevices.at(gbkName).channelLinkLeft, 1);
    EXPECT_EQ(s->outputDevices.at(gbkName).channelLinkRight, 0);
    EXPECT_FLOAT_EQ(s->outputDevices.at(longName).outLatency, 0.1f);
    EXPECT_EQ(s->outputDevices.at(longName).channelLinkLeft, 1);
}

TEST_F(SettingsFileTest, WritersStoreTheExactTexts)
{
    auto file = Open();
    file->WriteDefaultValue("Volume", "0.750000");
    file->WriteDeviceFloat("Spk", "out", "OutLatency", 0.25f);
    file->WriteDeviceInt("Spk", "out", "MaximumChannels", -2);
    const std::string bytes = ReadFileBytes(m_appData.SettingsFile());
    // "%6.2f" gives "  0.25"; the profile writer may drop the leading blanks.
    EXPECT_TRUE(bytes.find("outOutLatency=  0.25\r\n") != std::string::npos ||
                bytes.find("outOutLatency=0.25\r\n") != std::string::npos)
        << bytes;
    EXPECT_NE(bytes.find("outMaximumChannels=-2"), std::string::npos) << bytes;
    EXPECT_NE(bytes.find("[default]"), std::string::npos) << bytes;
    EXPECT_NE(bytes.find("Volume=0.750000"), std::string::npos) << bytes;
    EXPECT_FLOAT_EQ(file->LoadLiveValues().volume.value_or(-1.0f), 0.75f);
}

TEST_F(SettingsFileTest, EveryDelayStepTheWriterStoresReadsBackAsWritten)
{
    auto file = Open();
    file->WriteDefaultValue("out", "Spk");
    for (int step = 0; step <= 100; ++step) {
        const float written = static_cast<float>(step) / 100.0f;
        file->WriteDeviceFloat("Spk", "out", "OutLatency", written);
        EXPECT_FLOAT_EQ(file->LoadSettings()->outputDevices.at("Spk").outLatency, written) << step;
    }
}

TEST_F(SettingsFileTest, LiveValuesAreReadAfreshAndWhatCannotBeReadIsLeftOut)
{
    auto file = Open();
    const struct {
        const char* text;
        std::optional<float> volume;
        std::map<std::string, float> delays;
    } cases[] = {
        {"", std::nullopt, {}},
        {"[default]\nVolume=0.25\nBlockFrames=64\nout=A;B\n[A]\noutOutLatency=  0.20\n", 0.25f, {{"A", 0.2f}}},
        // Half written by the panel, or not numbers: left out, never 0.
        {"[default]\nVolume=loud\nout=A;B\n[A]\noutOutLatency=x\n[B]\noutOutLatency=0.10\n", std::nullopt, {{"B", 0.1f}}},
        {"[default]\nVolume=7\nout=A\n[A]\noutOutLatency=\n", 1.0f, {}},
    };
    for (const auto& c : cases) {
        WriteConfig(c.text);
        const LiveValues values = file->LoadLiveValues();
        EXPECT_EQ(values.volume, c.volume) << c.text;
        EXPECT_EQ(values.outputDelays, c.delays) << c.text;
    }
}

TEST_F(SettingsFileTest, EveryLoadRereadsTheFileAndKeepsThePointer)
{
    auto file = Open();
    DriverSettings* first = file->LoadSettings();
    WriteConfig("[default]\nSampleRate=8000\nout=A\n");
    DriverSettings* second = file->LoadSettings();
    EXPECT_EQ(first, second);
    EXPECT_EQ(second->sampleRate, 8000);
    EXPECT_EQ(second->outputDevices.size(), 1u);
    WriteConfig("[default]\n");
    file->LoadSettings();
    EXPECT_EQ(second->sampleRate, 44100) << "a removed key takes its default again";
    EXPECT_TRUE(second->outputDevices.empty());
}

TEST_F(SettingsFileTest, ARateOfTheListIsKeptUpTo192kHzAnyOtherTakesTheDefault)
{
    auto file = Open();
    const std::pair<int, int> cases[] = {
        {8000, 8000},     {16000, 16000},   {32000, 32000},   {44100, 44100},   {48000, 48000},
        {88200, 88200},   {96000, 96000},   {176400, 176400}, {192000, 192000}, {22050, 44100},
        {96001, 44100},   {384000, 44100},  {0, 44100},       {-48000, 44100},
    };
    for (const auto& [stored, read] : cases) {
        WriteConfig("[default]\nSampleRate=" + std::to_string(stored) + "\n");
        EXPECT_EQ(file->LoadSettings()->sampleRate, read) << stored;
    }
}

TEST_F(SettingsFileTest, ABadNumberStopsTheLoadAtThatKey)
{
    WriteConfig("[default]\nBlockFrames=100\nBitSpersample=8\nSampleRate=8000\nInputLatency=5\nOutputLatency=6\n"
                "Volume=0.5\nin=Mic\nout=Spk\n");
    auto file = Open();
    file->LoadSettings();
    WriteConfig("[default]\nBlockFrames=200\nBitSpersample=24\nSampleRate=abc\nInputLatency=7\nOutputLatency=8\n"
                "Volume=0.25\nin=Mic\nout=Spk\n");
    DriverSettings* s = nullptr;
    const std::string out = LoadTracing(*file, &s);
    EXPECT_EQ(out.rfind("[TELVARA]System exception:", 0), 0u) << out;
    EXPECT_NE(out.find("abc"), std::string::npos) << out;
    EXPECT_EQ(out.back(), '\n');
    EXPECT_EQ(s->blockFrames, 200);
    EXPECT_EQ(s->bitsPerSample, 24);
    EXPECT_EQ(s->sampleRate, 8000);
    EXPECT_EQ(s->inputLatency, 5);
    EXPECT_EQ(s->outputLatency, 6);
    EXPECT_FLOAT_EQ(s->volume, 0.5f);
    EXPECT_TRUE(s->inputDevices.empty());
    EXPECT_TRUE(s->outputDevices.empty());
}

TEST_F(SettingsFileTest, AVolumeTheLibraryCannotReadIsTracedAndKeepsTheVolumeBefore)
{
    WriteConfig("[default]\nVolume=0.5\n");
    auto file = Open();
    file->LoadSettings();
    WriteConfig("[default]\nVolume=nan\nout=Spk\n");
    DriverSettings* s = nullptr;
    const std::string out = LoadTracing(*file, &s);
    EXPECT_EQ(out.rfind("[TELVARA]System exception:", 0), 0u) << out;
    EXPECT_NE(out.find("nan"), std::string::npos) << out;
    EXPECT_EQ(out.back(), '\n');
    EXPECT_FLOAT_EQ(s->volume, 0.5f);
    EXPECT_TRUE(s->outputDevices.empty());
}

TEST_F(SettingsFileTest, AnEmptyNumericValueIsAParseFailureAndAMissingKeyIsNot)
{
    WriteConfig("[default]\nBlockFrames=\n");
    auto file = Open();
    DriverSettings* s = nullptr;
    EXPECT_EQ(LoadTracing(*file, &s).rfind("[TELVARA]System exception:", 0), 0u);
    ExpectDefaults(*s);
}

TEST_F(SettingsFileTest, ABadDeviceValueKeepsTheDevicesStoredBeforeIt)
{
    WriteConfig("[default]\nin=Mic\nout=A;B;C\n[B]\noutMaximumChannels=two\n");
    auto file = Open();
    DriverSettings* s = nullptr;
    EXPECT_EQ(LoadTracing(*file, &s).rfind("[TELVARA]System exception:", 0), 0u);
    EXPECT_EQ(s->inputDevices.size(), 1u);
    ASSERT_EQ(s->outputDevices.size(), 1u);
    EXPECT_EQ(s->outputDevices.count("A"), 1u);
}

TEST_F(SettingsFileTest, AReadOnlyFileIsReadNormally)
{
    WriteConfig("[default]\nBlockFrames=64\n");
    SetFileAttributesA(m_appData.SettingsFile().c_str(), FILE_ATTRIBUTE_READONLY);
    auto file = Open();
    EXPECT_TRUE(file->IsUsable());
    EXPECT_EQ(file->LoadSettings()->blockFrames, 64);
    SetFileAttributesA(m_appData.SettingsFile().c_str(), FILE_ATTRIBUTE_NORMAL);
}

TEST_F(SettingsFileTest, AFileLockedByAnotherWriterFailsTheLoadButNotTheCaller)
{
    auto file = Open();
    WriteConfig("[default]\nBlockFrames=64\n");
    file->LoadSettings();
    HANDLE lock = CreateFileA(m_appData.SettingsFile().c_str(), GENERIC_READ | GENERIC_WRITE, 0, nullptr,
                              OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
    ASSERT_NE(lock, INVALID_HANDLE_VALUE);
    DriverSettings* s = nullptr;
    const std::string out = LoadTracing(*file, &s);
    CloseHandle(lock);
    EXPECT_EQ(out.rfind("[TELVARA]System exception:", 0), 0u) << out;
    EXPECT_EQ(s->blockFrames, 64) << "the previous values stay";
    EXPECT_EQ(file->LoadSettings()->blockFrames, 64) << "and the next load works again";
}

TEST_F(SettingsFileTest, AHugeFileIsRefusedWithAClearError)
{
    std::string huge = "[default]\nBlockFrames=64\n";
    huge += "[pad]\n";
    while (huge.size() <= 2 * 1024 * 1024) {
        huge += "key" + std::to_string(huge.size()) + "=" + std::string(100, 'v') + "\n";
    }
    WriteConfig(huge);
    auto file = Open();
    EXPECT_FALSE(file->IsUsable());
    ASSERT_EQ(LoggedMessageBoxes().size(), 1u);
    DriverSettings* s = nullptr;
    const std::string out = LoadTracing(*file, &s);
    EXPECT_NE(out.find("larger than 1 MiB"), std::string::npos) << out;
    ExpectDefaults(*s);
}

TEST_F(SettingsFileTest, DriftCompensationIsOffOnlyWhereAKeyReadsZero)
{
    using Names = std::set<std::string>;
    const struct {
        const char* text;
        bool on;
        Names outputs;
        Names inputs;
        bool traced;
    } cases[] = {
        {"[default]\nout=A\n", true, {}, {}, false},
        {"[default]\nDriftCompensation=0\n", false, {}, {}, false},
        {"[default]\nDriftCompensation=00\n", false, {}, {}, false},
        {"[default]\nDriftCompensation=1\n", true, {}, {}, false},
        {"[default]\nDriftCompensation=-3\n", true, {}, {}, false},
        {"[default]\nDriftCompensation=\n", true, {}, {}, false},
        // Not a number: on, traced, and the load goes on to the devices.
        {"[default]\nDriftCompensation=off\nout=A\n[A]\noutDriftCompensation=0\n", true, {"A"}, {}, true},
        // Each list reads its own prefix; a key without one, or of the other
        // direction, or of a device no list names, changes nothing.
        {"[default]\nout=A;B;C\nin=A;Mic\n"
         "[A]\noutDriftCompensation=0\ninDriftCompensation=1\n"
         "[B]\nDriftCompensation=0\ninDriftCompensation=0\n"
         "[C]\noutDriftCompensation=zero\n"
         "[Mic]\ninDriftCompensation=0\noutDriftCompensation=0\n"
         "[Other]\noutDriftCompensation=0\ninDriftCompensation=0\n",
         true, {"A"}, {"Mic"}, true},
        // Keys match without regard to case, like every key of the file.
        {"[default]\ndriftcompensation=0\nin=Mic\n[Mic]\nINDRIFTCOMPENSATION=0\n", false, {}, {"Mic"}, false},
        // A device whose values stop the load is in no table and no set.
        {"[default]\nout=A;B\n[A]\noutDriftCompensation=0\n[B]\noutMaximumChannels=x\noutDriftCompensation=0\n", true,
         {"A"}, {}, true},
    };
    auto file = Open();
    for (const auto& c : cases) {
        WriteConfig(c.text);
        DriverSettings* s = nullptr;
        const std::string traced = LoadTracing(*file, &s);
        EXPECT_EQ(s->driftCompensation, c.on) << c.text;
        EXPECT_EQ(s->uncompensatedOutputs, c.outputs) << c.text;
        EXPECT_EQ(s->uncompensatedInputs, c.inputs) << c.text;
        EXPECT_EQ(!traced.empty(), c.traced) << c.text << traced;
        for (const auto& name : s->uncompensatedOutputs) {
            EXPECT_EQ(s->outputDevices.count(name), 1u) << name;
        }
    }
}

TEST_F(SettingsFileTest, DriftWritersStoreTheExactBytesAndAGbkMasterReadsBack)
{
    auto file = Open();
    const std::string gbkName = "\xd1\xef\xc9\xf9\xc6\xf7 (USB Audio)";  // 扬声器
    file->WriteDriftCompensation(false);
    file->WriteClockMaster(gbkName);
    EXPECT_EQ(ReadFileBytes(m_appData.SettingsFile()),
              "[default]\r\nDriftCompensation=0\r\nClockMaster=" + gbkName + "\r\n");
    DriverSettings* s = file->LoadSettings();
    EXPECT_FALSE(s->driftCompensation);
    EXPECT_EQ(s->clockMaster, gbkName);

    // Rewritten in place; an empty name clears the master.
    file->WriteDriftCompensation(true);
    file->WriteClockMaster("");
    EXPECT_EQ(ReadFileBytes(m_appData.SettingsFile()), "[default]\r\nDriftCompensation=1\r\nClockMaster=\r\n");
    EXPECT_EQ(file->ReadDefaultText("ClockMaster", "?"), "");
    s = file->LoadSettings();
    EXPECT_TRUE(s->driftCompensation);
    EXPECT_EQ(s->clockMaster, "");
}
