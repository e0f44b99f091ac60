// Which format each device is opened with, for each form of the host's
// buffers: devices that take one format only, and one that advertises a
// depth it then refuses, opened together.
#include "device_test_support.h"

#include "trace_capture.h"

#include <algorithm>
#include <cstring>
#include <iterator>

namespace {

struct PinConnect {
    KSDATAFORMAT dataFormat{};
    WAVEFORMATEXTENSIBLE format{};
};

PinConnect LastConnect(const std::string& path)
{
    const std::vector<uint8_t> bytes = kssim::Simulation::Instance().LastPinConnect(path, 0);
    PinConnect result;
    const size_t head = sizeof(KSPIN_CONNECT) + sizeof(KSDATAFORMAT);
    EXPECT_GE(bytes.size(), head + sizeof(WAVEFORMATEX)) << path;
    if (bytes.size() >= head + sizeof(WAVEFORMATEX)) {
        std::memcpy(&result.dataFormat, bytes.data() + sizeof(KSPIN_CONNECT), sizeof(KSDATAFORMAT));
        std::memcpy(&result.format, bytes.data() + head, std::min(bytes.size() - head, sizeof(WAVEFORMATEXTENSIBLE)));
    }
    return result;
}

// The devices, each with one streaming pin (2 channels, 8-192 kHz).
kssim::DeviceModel WithRange(kssim::DeviceModel model, const GUID& sub, ULONG minimumBits, ULONG maximumBits)
{
    kssim::AudioRange& range = model.pins[0].ranges.at(0);
    range.subFormat = sub;
    range.minimumBitsPerSample = minimumBits;
    range.maximumBitsPerSample = maximumBits;
    range.maximumSampleFrequency = 192000;
    return model;
}

// Extensible only, 16 to 24 bits.
kssim::DeviceModel ExtensibleOnly(kssim::DeviceModel model)
{
    model = WithRange(std::move(model), KSDATAFORMAT_SUBTYPE_PCM, 16, 24);
    model.pins[0].acceptedLayouts = kssim::FormatLayouts::ExtensibleOnly;
    return model;
}

// 24 valid bits in a 32-bit container and nothing else.
kssim::DeviceModel Only24In32(kssim::DeviceModel model)
{
    model = WithRange(std::move(model), KSDATAFORMAT_SUBTYPE_PCM, 32, 32);
    model.pins[0].acceptedLayouts = kssim::FormatLayouts::ExtensibleOnly;
    model.pins[0].requiredValidBits = 24;
    return model;
}

kssim::DeviceModel OnlyFloat(kssim::DeviceModel model)
{
    return WithRange(std::move(model), KSDATAFORMAT_SUBTYPE_IEEE_FLOAT, 32, 32);
}

// Float in the plain WAVE_FORMAT_IEEE_FLOAT layout only.
kssim::DeviceModel OnlyPlainFloat(kssim::DeviceModel model)
{
    model = OnlyFloat(std::move(model));
    model.pins[0].acceptedLayouts = kssim::FormatLayouts::PcmOnly;
    return model;
}

// Claims 16 to 24 bits, refuses 24.
kssim::DeviceModel Refuses24(kssim::DeviceModel model)
{
    model = WithRange(std::move(model), KSDATAFORMAT_SUBTYPE_PCM, 16, 24);
    model.pins[0].refusedBits = {24};
    return model;
}

struct Expected {
    const char* text;  // DescribeEndpointFormat
    WORD tag;
    WORD validBits;    // of an extensible format
    bool isFloat;
};

constexpr Expected kExt16 = {"16 bit integer, 2 ch, 96000 Hz", WAVE_FORMAT_EXTENSIBLE, 16, false};
constexpr Expected kExt24 = {"24 bit integer, 2 ch, 96000 Hz", WAVE_FORMAT_EXTENSIBLE, 24, false};
constexpr Expected k24In32 = {"24-in-32 bit integer, 2 ch, 96000 Hz", WAVE_FORMAT_EXTENSIBLE, 24, false};
constexpr Expected kExtFloat = {"32 bit float, 2 ch, 96000 Hz", WAVE_FORMAT_EXTENSIBLE, 32, true};
constexpr Expected kPlainFloat = {"32 bit float, 2 ch, 96000 Hz", WAVE_FORMAT_IEEE_FLOAT, 0, true};

struct HostCase {
    SampleFormat host;
    Expected extensibleOnly, only24In32, onlyFloat, onlyPlainFloat, refuses24;
};

const HostCase kHosts[] = {
    {SampleFormat::Int16, kExt16, k24In32, kExtFloat, kPlainFloat, kExt16},
    {SampleFormat::Int24, kExt24, k24In32, kExtFloat, kPlainFloat, kExt16},
    {SampleFormat::Int32, kExt24, k24In32, kExtFloat, kPlainFloat, kExt16},
    {SampleFormat::Float32, kExt24, k24In32, kExtFloat, kPlainFloat, kExt16},
};

const char* const kNames[] = {"A Extensible", "B Only 24 in 32", "C Only float", "D Only plain float", "E Refuses 24"};

void CheckOpened(const CEndpoint& endpoint, const std::string& path, const Expected& expected)
{
    SCOPED_TRACE(endpoint.Name());
    EXPECT_EQ(DescribeEndpointFormat(endpoint.Format()), expected.text);
    const PinConnect pin = LastConnect(path);
    EXPECT_EQ(pin.format.Format.wFormatTag, expected.tag);
    const GUID sub = expected.isFloat ? KSDATAFORMAT_SUBTYPE_IEEE_FLOAT : KSDATAFORMAT_SUBTYPE_PCM;
    EXPECT_TRUE(IsEqualGUID(pin.dataFormat.SubFormat, sub)) << "the data format names the samples";
    EXPECT_EQ(pin.format.Format.nBlockAlign, endpoint.Format().bytesPerSample * 2);
    EXPECT_EQ(pin.format.Format.nAvgBytesPerSec, 96000u * pin.format.Format.nBlockAlign);
    if (expected.tag == WAVE_FORMAT_EXTENSIBLE) {
        EXPECT_EQ(pin.format.Format.cbSize, 22);
        EXPECT_EQ(pin.format.Samples.wValidBitsPerSample, expected.validBits);
        EXPECT_EQ(pin.format.dwChannelMask, 3u);
        EXPECT_TRUE(IsEqualGUID(pin.format.SubFormat, sub));
    } else {
        EXPECT_EQ(pin.format.Format.cbSize, 0);
    }
}

using FormatChoiceTest = DeviceSetTest;

}  // namespace

// Five devices of different formats open side by side in both directions,
// each in the best format it takes for the host's form.
TEST_F(FormatChoiceTest, EachDeviceOpensInTheBestFormatItTakesForTheHostsForm)
{
    kssim::DeviceModel (*const shapes[])(kssim::DeviceModel) = {ExtensibleOnly, Only24In32, OnlyFloat, OnlyPlainFloat,
                                                                Refuses24};
    std::vector<kssim::DeviceModel> devices;
    ConfigText config;
    for (size_t i = 0; i < std::size(kNames); ++i) {
        devices.push_back(shapes[i](SimRender(kNames[i])));
        devices.push_back(shapes[i](SimCapture(kNames[i])));
        config.Out(kNames[i], 2).In(kNames[i], 2);
    }
    for (const HostCase& host : kHosts) {
        SCOPED_TRACE(testing::Message() << "host form " << static_cast<int>(host.host));
        Sim().Reset(devices);
        WriteConfig(config);
        OpenRequest render = RenderRequest(96000.0, 16);
        render.hostFormat = host.host;
        OpenRequest capture = CaptureRequest(96000.0, 16);
        capture.hostFormat = host.host;
        TraceCapture traces;
        CDeviceSet& set = MakeSet();
        ASSERT_TRUE(set.OpenRender(render));
        ASSERT_TRUE(set.OpenCapture(capture));
        ASSERT_EQ(set.Render().size(), std::size(kNames));
        ASSERT_EQ(set.Capture().size(), std::size(kNames));
        const Expected* expected[] = {&host.extensibleOnly, &host.only24In32, &host.onlyFloat, &host.onlyPlainFloat,
                                      &host.refuses24};
        for (size_t i = 0; i < std::size(kNames); ++i) {
            CheckOpened(Render(i), RenderPath(kNames[i]), *expected[i]);
            CheckOpened(Capture(i), CapturePath(kNames[i]), *expected[i]);
            // Traced at the open with the device's name and the layout.
            const std::string line = std::string(kNames[i]) + ": opened with " + expected[i]->text + " (" +
                                     (expected[i]->tag == WAVE_FORMAT_EXTENSIBLE ? "WAVEFORMATEXTENSIBLE" : "WAVEFORMATEX") +
                                     ")\n";
            EXPECT_TRUE(traces.Contains("[TELVARA]" + line)) << line;
        }
    }
}

// A 16-bit-only device opened for a float host ends at 16 bits; a device
// that takes none of the candidates is left out and the others open.
TEST_F(FormatChoiceTest, ADeviceTakingNoCandidateIsLeftOutAndTheOthersOpen)
{
    kssim::DeviceModel narrow = SimRender("Narrow");
    narrow.pins[0].ranges.at(0).maximumSampleFrequency = 192000;
    kssim::DeviceModel none = OnlyFloat(SimRender("None"));
    none.pins[0].refusesEveryFormat = true;
    Sim().Reset({narrow, none});
    WriteConfig(ConfigText().Out("Narrow", 2).Out("None", 2));
    OpenRequest request = RenderRequest(96000.0, 16);
    request.hostFormat = SampleFormat::Float32;
    ASSERT_TRUE(MakeSet().OpenRender(request));
    ASSERT_EQ(m_set->Render().size(), 1u);
    EXPECT_EQ(DescribeEndpointFormat(Render(0).Format()), "16 bit integer, 2 ch, 96000 Hz");
    EXPECT_EQ(LastConnect(RenderPath("Narrow")).format.Format.wBitsPerSample, 16);
    EXPECT_TRUE(Sim().LastPinConnect(RenderPath("None"), 0).empty()) << "a pin was made of a refusing device";
}
