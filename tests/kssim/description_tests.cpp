// The INI description of a device model: parsing, errors with file and
// line, loading in code and automatically beside the module.

#include "child_process.h"
#include "description_file.h"
#include "kssim_test_support.h"
#include "trace_capture.h"

#include <stdexcept>

using namespace kssimtest;
using kssim::detail::ParseDescription;

namespace {

constexpr const char* kFull = R"(; a full description
[kssim]
clock = fast
ksuser = present

[device.usb]
type = render
path = \\?\usb#vid_1234&pid_5678#render
name = "  USB Audio  "
location = Port_#0001.Hub_#0002
alias.capture = removed
nodes = dac, volume, {00000000-1111-2222-3333-444455556666}
clock-ppm = -25.5
buffer-ms = 4
render-file = played.wav

[device.usb.pin.0]
range = channels=2 bits=16-24 rate=44100-48000
range = channels=1 bits=16 rate=8000 sub=any size=96
range = channels=2 bits=32 rate=8000-192000 sub=float
layouts = pcm
valid-bits = 24
refused-bits = 24, 32
instances = 2/1
failing-properties = name, 8

[device.usb.pin.2]
communication = both
dataflow = out
interfaces = standard, looped, {11111111-2222-3333-4444-555555555555}:7
mediums = none
name = Mixer
category = microphone
looped = refuse
every-format = refuse
unclaimed-formats = accept

# a capture device with every failure switched on
[device.mic]
type = capture
path = \\?\hdaudio#mic
signal = clicks
signal-frequency = 480
properties = async
open = fails
pin-count = fails
topology = fails
classes = audio, capture
)";

struct Malformed {
    const char* text;
    int line;
    const char* reason;
};

std::string ErrorOf(const std::string& text, const std::string& path = "C:\\desc\\kssim.ini")
{
    try {
        ParseDescription(text, path);
    } catch (const std::runtime_error& error) {
        return error.what();
    }
    return "no error";
}

std::string ExeFolder()
{
    char path[MAX_PATH];
    const DWORD length = GetModuleFileNameA(nullptr, path, MAX_PATH);
    std::string folder(path, length);
    return folder.substr(0, folder.find_last_of('\\') + 1);
}

// A kssim.ini beside this program for as long as it lives.
class DescriptionBesideProgram {
public:
    explicit DescriptionBesideProgram(const std::string& text) : m_path(ExeFolder() + "kssim.ini")
    {
        WriteBytes(m_path, std::vector<uint8_t>(text.begin(), text.end()));
    }
    ~DescriptionBesideProgram() { DeleteFileA(m_path.c_str()); }
    const std::string& Path() const { return m_path; }

private:
    std::string m_path;
};

constexpr const char* kBeside = "[kssim]\nclock = fast\n\n[device.one]\ntype = render\npath = \\\\?\\sim#beside\n"
                                "name = Beside the program\n";

}  // namespace

TEST(DescriptionFile, ReadsEveryPartOfTheModel)
{
    const kssim::detail::Description description = ParseDescription(kFull, "C:\\desc\\kssim.ini");
    EXPECT_EQ(description.clockMode, kssim::ClockMode::Fast);
    EXPECT_FALSE(description.ksUserMissing);
    ASSERT_EQ(description.devices.size(), 2u);

    const kssim::DeviceModel& usb = description.devices[0];
    EXPECT_EQ(usb.devicePath, "\\\\?\\usb#vid_1234&pid_5678#render");
    EXPECT_EQ(usb.friendlyName, std::optional<std::string>("  USB Audio  "));
    EXPECT_EQ(usb.location, std::optional<std::string>("Port_#0001.Hub_#0002"));
    EXPECT_EQ(usb.interfaceClasses, std::vector<GUID>{KSCATEGORY_AUDIO});
    ASSERT_EQ(usb.aliases.size(), 2u);
    EXPECT_EQ(usb.aliases.at(KSCATEGORY_RENDER), static_cast<DWORD>(SPINT_ACTIVE));
    EXPECT_EQ(usb.aliases.at(KSCATEGORY_CAPTURE), static_cast<DWORD>(SPINT_REMOVED));
    const GUID custom = {0x00000000, 0x1111, 0x2222, {0x33, 0x33, 0x44, 0x44, 0x55, 0x55, 0x66, 0x66}};
    EXPECT_EQ(usb.nodes, (std::vector<GUID>{KSNODETYPE_DAC, KSNODETYPE_VOLUME, custom}));
    EXPECT_DOUBLE_EQ(usb.clockPpm, -25.5);
    EXPECT_DOUBLE_EQ(usb.deviceBufferMs, 4.0);
    EXPECT_EQ(usb.renderFile, "C:\\desc\\played.wav");
    ASSERT_EQ(usb.pins.size(), 3u);

    const kssim::PinModel& sink = usb.pins[0];
    EXPECT_EQ(sink.communication, static_cast<ULONG>(KSPIN_COMMUNICATION_SINK));
    EXPECT_EQ(sink.dataFlow, static_cast<ULONG>(KSPIN_DATAFLOW_IN));
    ASSERT_EQ(sink.ranges.size(), 3u);
    EXPECT_EQ(sink.ranges[0].maximumChannels, 2u);
    EXPECT_EQ(sink.ranges[0].minimumBitsPerSample, 16u);
    EXPECT_EQ(sink.ranges[0].maximumBitsPerSample, 24u);
    EXPECT_EQ(sink.ranges[0].minimumSampleFrequency, 44100u);
    EXPECT_EQ(sink.ranges[0].maximumSampleFrequency, 48000u);
    EXPECT_EQ(sink.ranges[1].subFormat, GUID_NULL);
    EXPECT_EQ(sink.ranges[1].formatSize, 96u);
    EXPECT_EQ(sink.ranges[1].minimumSampleFrequency, 8000u);
    EXPECT_EQ(sink.ranges[1].maximumSampleFrequency, 8000u);
    EXPECT_EQ(sink.ranges[2].subFormat, KSDATAFORMAT_SUBTYPE_IEEE_FLOAT);
    EXPECT_EQ(sink.ranges[2].maximumSampleFrequency, 192000u);
    EXPECT_EQ(sink.acceptedLayouts, kssim::FormatLayouts::PcmOnly);
    EXPECT_EQ(sink.requiredValidBits, 24);
    EXPECT_EQ(sink.refusedBits, (std::set<WORD>{24, 32}));
    EXPECT_EQ(sink.instances.PossibleCount, 2u);
    EXPECT_EQ(sink.instances.CurrentCount, 1u);
    EXPECT_EQ(sink.failingProperties, (std::set<ULONG>{KSPROPERTY_PIN_NAME, KSPROPERTY_PIN_GLOBALCINSTANCES}));
    EXPECT_EQ(sink.name, std::optional<std::wstring>(L"Playback"));  // from the render type

    const kssim::PinModel& added = usb.pins[2];
    EXPECT_EQ(added.communication, static_cast<ULONG>(KSPIN_COMMUNICATION_BOTH));
    EXPECT_EQ(added.dataFlow, static_cast<ULONG>(KSPIN_DATAFLOW_OUT));
    ASSERT_EQ(added.interfaces.size(), 3u);
    EXPECT_EQ(added.interfaces[1].Id, static_cast<ULONG>(KSINTERFACE_STANDARD_LOOPED_STREAMING));
    EXPECT_EQ(added.interfaces[2].Id, 7u);
    EXPECT_TRUE(added.mediums.empty());
    EXPECT_TRUE(added.ranges.empty());
    EXPECT_EQ(added.name, std::optional<std::wstring>(L"Mixer"));
    EXPECT_EQ(added.category, KSNODETYPE_MICROPHONE);
    EXPECT_FALSE(added.acceptsLooped);
    EXPECT_TRUE(added.refusesEveryFormat);
    EXPECT_TRUE(added.acceptsUnclaimedFormats);

    const kssim::DeviceModel& mic = description.devices[1];
    EXPECT_EQ(mic.captureSignal, kssim::Signal::Clicks);
    EXPECT_EQ(mic.signalFrequency, 480u);
    EXPECT_TRUE(mic.asynchronousProperties && mic.openFails && mic.pinCountFails && mic.topologyFails);
    EXPECT_FALSE(mic.friendlyName.has_value());
    EXPECT_EQ(mic.interfaceClasses, (std::vector<GUID>{KSCATEGORY_AUDIO, KSCATEGORY_CAPTURE}));
    EXPECT_EQ(mic.aliases.at(KSCATEGORY_CAPTURE), static_cast<DWORD>(SPINT_ACTIVE));
    EXPECT_EQ(mic.pins[0].dataFlow, static_cast<ULONG>(KSPIN_DATAFLOW_OUT));
}

TEST(DescriptionFile, DeviceTextsComeInTheAnsiCodePagePinNamesInUtf16)
{
    // "Lautsprecher Ä" and a pin name "Mikrofon µ", written in UTF-8.
    const kssim::detail::Description description = ParseDescription(
        "[device.a]\ntype = render\npath = x\nname = Lautsprecher \xC3\x84\nlocation = \xC3\x84\n"
        "[device.a.pin.0]\nname = Mikrofon \xC2\xB5\n",
        "x.ini");
    char expected[32] = {};
    WideCharToMultiByte(CP_ACP, 0, L"Lautsprecher \u00C4", -1, expected, sizeof expected, nullptr, nullptr);
    EXPECT_EQ(description.devices[0].friendlyName, std::optional<std::string>(expected));
    WideCharToMultiByte(CP_ACP, 0, L"\u00C4", -1, expected, sizeof expected, nullptr, nullptr);
    EXPECT_EQ(description.devices[0].location, std::optional<std::string>(expected));
    EXPECT_EQ(description.devices[0].pins[0].name, std::optional<std::wstring>(L"Mikrofon \u00B5"));
    EXPECT_NE(ErrorOf("[device.a]\npath = x\nname = \xFF\xFE\n").find(":3: 'name' is not valid UTF-8"), std::string::npos);
}

TEST(DescriptionFile, MalformedDescriptionsNameFileAndLine)
{
    const Malformed cases[] = {
        {"[device.a]\npath = x\nfoo = 1\n", 3, "unknown key 'foo'"},
        {"[devices]\n", 1, "unknown section"},
        {"[device.a]\npath x\n", 2, "expected 'key = value'"},
        {"[device.a]\nname = A\n", 1, "has no path"},
        {"[device.a]\npath = X\n\n[device.b]\npath = x\n", 5, "used by another device"},
        {"[device.a]\npath = x\n[device.a.pin.1]\nname = q\n", 3, "numbered from 0"},
        {"[device.a.pin.0]\n[device.a]\npath = x\n", 1, "comes before its device"},
        {"[device.a]\ntype = render\npath = x\n[device.a.pin.0]\ninstances = two\n", 5, "not a whole number"},
        {"[device.a]\npath = x\nclasses = {1234}\n", 3, "not a GUID"},
        {"[device.a]\ntype = render\npath = x\n[device.a.pin.0]\nrange = bits=16 rate=48000\n", 5, "needs channels="},
        {"[device.a]\ntype = render\npath = x\n[device.a.pin.0]\nrange = channels=2 bits=24-16 rate=48000\n", 5,
         "runs backwards"},
        {"[device.a]\npath = x\nsignal = noise\n", 3, "is not one of"},
        {"[device.a]\npath = x\npath = y\n", 3, "given twice"},
        {"[device.a]\npath = x\nsignal = wav\n", 1, "no capture-file"},
        {"[device.a]\npath = x\nsignal = wav\ncapture-file = nothing.wav\n", 4, "cannot be opened"},
        {"key = 1\n", 1, "outside a section"},
        {"[device.a\n", 1, "closing"},
        {"[kssim]\nclock = slow\n", 2, "is not one of"},
        {"[device.a]\npath = x\n[device.a.pin.x]\n", 3, "not a whole number"},
        {"[device.a]\npath = x\nclock-ppm = fast\n", 3, "not a number"},
        {"[device a]\n", 1, "unknown section"},
        {"[device.a b]\n", 1, "letters, digits"},
        {"[device.a]\npath = x\nalias.render = maybe\n", 3, "active, removed"},
        {"[device.a]\npath = x\nheld = always\n", 3, "'held' is 'yes' or 'no'"},
        {"[device.a]\ntype = render\npath = x\n[device.a.pin.0]\nfailing-properties = colour\n", 5, "is not one of"},
        {"\r\n[device.a]\r\npath = x\r\nnodes = dac,,adc\r\n", 4, "empty item"},
    };
    for (const Malformed& malformed : cases) {
        const std::string error = ErrorOf(malformed.text);
        const std::string prefix = "C:\\desc\\kssim.ini:" + std::to_string(malformed.line) + ": ";
        EXPECT_EQ(error.rfind(prefix, 0), 0u) << malformed.text << " gave: " << error;
        EXPECT_NE(error.find(malformed.reason), std::string::npos) << malformed.text << " gave: " << error;
    }
}

TEST(DescriptionFile, AnEmptyDescriptionIsValid)
{
    const kssim::detail::Description description = ParseDescription("\xEF\xBB\xBF; nothing here\n\n# at all\n", "x.ini");
    EXPECT_TRUE(description.devices.empty());
    EXPECT_EQ(description.clockMode, kssim::ClockMode::RealTime);
}

class LoadingDescriptions : public SimulationTest {};

TEST_F(LoadingDescriptions, LoadDescriptionReplacesTheModelAndAppliesTheSwitches)
{
    const std::string folder = TempFolder();
    const std::string text = std::string("[kssim]\nclock = fast\n\n[device.a]\ntype = render\npath = ") + kRenderPath +
                             "\nname = Described\nrender-file = out.wav\n";
    WriteBytes(folder + "model.ini", std::vector<uint8_t>(text.begin(), text.end()));
    Sim().Reset({WideCaptureDevice()});
    Sim().LoadDescription(folder + "model.ini");

    HANDLE filter = OpenFilter(kRenderPath);
    EXPECT_EQ(KsSystem::CreateFileA(kCapturePath, GENERIC_READ, 0, nullptr, OPEN_EXISTING, 0, nullptr), INVALID_HANDLE_VALUE);
    HANDLE pin = OpenPin(filter, 0, PcmFormat(2, 48000, 16));
    ASSERT_TRUE(SetState(pin, KSSTATE_RUN).ok);
    StreamRequest write(400);
    ASSERT_EQ(write.Write(pin), static_cast<DWORD>(ERROR_IO_PENDING));
    EXPECT_TRUE(write.Done(0));  // the description asked for the fast clock
    KsSystem::CloseHandle(pin);
    KsSystem::CloseHandle(filter);
    EXPECT_EQ(ReadBytes(folder + "out.wav").size(), 44u + 400u);  // the render file sits beside the description
}

TEST_F(LoadingDescriptions, AHeldDeviceIsBusyUntilReleasedAndRangesReach192kHz)
{
    const std::string folder = TempFolder();
    const std::string text = std::string("[device.a]\ntype = render\npath = ") + kRenderPath +
                             "\nname = Held\nheld = yes\n[device.a.pin.0]\nrange = channels=2 bits=16-32 "
                             "rate=44100-192000\n\n[device.b]\ntype = capture\nheld = no\npath = " + kCapturePath +
                             "\n[device.b.pin.0]\nrange = channels=2 bits=24 rate=96000\n";
    WriteBytes(folder + "model.ini", std::vector<uint8_t>(text.begin(), text.end()));
    Sim().LoadDescription(folder + "model.ini");

    HANDLE held = OpenFilter(kRenderPath);
    KSPIN_CINSTANCES instances{};
    ASSERT_TRUE(PinProperty(held, 0, KSPROPERTY_PIN_CINSTANCES, &instances, sizeof instances).ok);
    EXPECT_EQ(instances.CurrentCount, instances.PossibleCount);
    std::vector<uint8_t> block = ConnectBlock(0, PcmFormat(2, 192000, 32));
    HANDLE pin = nullptr;
    EXPECT_EQ(CreatePin(held, block, &pin), static_cast<DWORD>(ERROR_BAD_COMMAND));
    Sim().ReleaseInstances(kRenderPath, -1);
    pin = OpenPin(held, 0, PcmFormat(2, 192000, 32));
    KsSystem::CloseHandle(pin);
    KsSystem::CloseHandle(held);

    HANDLE notHeld = OpenFilter(kCapturePath);
    ASSERT_TRUE(PinProperty(notHeld, 0, KSPROPERTY_PIN_CINSTANCES, &instances, sizeof instances).ok);
    EXPECT_EQ(instances.CurrentCount, 0u);
    pin = OpenPin(notHeld, 0, PcmFormat(2, 96000, 24));
    KsSystem::CloseHandle(pin);
    KsSystem::CloseHandle(notHeld);
}

TEST_F(LoadingDescriptions, AFailedLoadLeavesTheModelAsItWas)
{
    Sim().Reset({WideCaptureDevice()});
    const std::string folder = TempFolder();
    WriteBytes(folder + "bad.ini", {'[', 'x', ']', '\n'});
    try {
        Sim().LoadDescription(folder + "bad.ini");
        ADD_FAILURE() << "no error";
    } catch (const std::runtime_error& error) {
        EXPECT_EQ(std::string(error.what()), folder + "bad.ini:1: unknown section [x] ([kssim], [device.ID], [device.ID.pin.N])");
    }
    try {
        Sim().LoadDescription(folder + "missing.ini");
        ADD_FAILURE() << "no error";
    } catch (const std::runtime_error& error) {
        EXPECT_EQ(std::string(error.what()).rfind(folder + "missing.ini:0: cannot be opened", 0), 0u) << error.what();
    }
    HANDLE filter = OpenFilter(kCapturePath);
    EXPECT_TRUE(KsSystem::CloseHandle(filter));
}

// Run as children: nothing installs a model in code, so the first seam call
// reads kssim.ini beside the program.
TEST(KssimAutoLoad, DISABLED_SeesTheDescriptionBesideTheModule)
{
    HANDLE filter = KsSystem::CreateFileA("\\\\?\\SIM#BESIDE", GENERIC_READ | GENERIC_WRITE, 0, nullptr, OPEN_EXISTING,
                                          FILE_FLAG_OVERLAPPED, nullptr);
    ASSERT_NE(filter, INVALID_HANDLE_VALUE);
    HANDLE pin = OpenPin(filter, 0, PcmFormat(2, 48000, 16));
    ASSERT_TRUE(SetState(pin, KSSTATE_RUN).ok);
    StreamRequest write(400);
    ASSERT_EQ(write.Write(pin), static_cast<DWORD>(ERROR_IO_PENDING));
    EXPECT_TRUE(write.Done(0));
    KsSystem::CloseHandle(pin);
    KsSystem::CloseHandle(filter);
}

TEST(KssimAutoLoad, DISABLED_ReportsAMalformedDescriptionAndAnswersFromAnEmptyModel)
{
    TraceCapture trace;
    HDEVINFO set = KsSystem::SetupDiGetClassDevsA(&KSCATEGORY_AUDIO, nullptr, nullptr, DIGCF_PRESENT | DIGCF_DEVICEINTERFACE);
    ASSERT_NE(set, INVALID_HANDLE_VALUE);
    SP_DEVICE_INTERFACE_DATA data{};
    data.cbSize = sizeof data;
    EXPECT_FALSE(KsSystem::SetupDiEnumDeviceInterfaces(set, nullptr, &KSCATEGORY_AUDIO, 0, &data));
    KsSystem::SetupDiDestroyDeviceInfoList(set);
    const std::string expected = "[kssim] description not loaded: " + ExeFolder() + "kssim.ini:3: unknown key 'colour'";
    bool found = false;
    for (const std::string& line : trace.Lines()) {
        found = found || line.rfind(expected, 0) == 0;
    }
    EXPECT_TRUE(found) << expected;
}

TEST(KssimAutoLoad, ADescriptionBesideTheProgramIsLoadedByTheFirstSeamCall)
{
    DescriptionBesideProgram description(kBeside);
    EXPECT_EQ(RunChildTest("KssimAutoLoad.DISABLED_SeesTheDescriptionBesideTheModule"), 0);
}

TEST(KssimAutoLoad, AMalformedDescriptionBesideTheProgramIsTraced)
{
    DescriptionBesideProgram description("[device.a]\npath = x\ncolour = red\n");
    EXPECT_EQ(RunChildTest("KssimAutoLoad.DISABLED_ReportsAMalformedDescriptionAndAnswersFromAnEmptyModel"), 0);
}
