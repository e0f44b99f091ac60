// Samples through the driver library, end to end: for each form of the
// host's buffers (16, 24, 32-bit integers and float), simulated devices that
// each take one format only (16, 24, 24 in 32, 32-bit integers and float)
// play what the host wrote and record into the host's inputs. Every sample
// is checked against the nearest value of the other form: exact between
// integer forms (16 -> 16 and 24 -> 24 in 32 among them), within one step of
// the integer form between integers and float, and exact at full scale,
// where a float host's +-1.5 saturates instead of wrapping.
#include "appdata_redirect.h"
#include "asio.h"
#include "e2e_support.h"
#include "telvara_driver.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <cstring>
#include <iterator>
#include <limits>
#include <memory>
#include <string>
#include <vector>

namespace {

using namespace e2e;

constexpr const char* kOnlyAsChild = "runs in a child process started by the test of the same name without DISABLED_";

enum class Form { Int16, Int24, Int24In32, Int32, Float32 };

size_t BytesOf(Form form)
{
    return form == Form::Int16 ? 2 : form == Form::Int24 ? 3 : 4;
}

bool IsFloat(Form form)
{
    return form == Form::Float32;
}

// One step of the form at full scale, as a real number.
double Step(Form form)
{
    switch (form) {
    case Form::Int16: return std::ldexp(1.0, -15);
    case Form::Int24:
    case Form::Int24In32: return std::ldexp(1.0, -23);
    case Form::Int32: return std::ldexp(1.0, -31);
    default: return std::ldexp(1.0, -24);
    }
}

int32_t Load32(const uint8_t* p)
{
    int32_t value;
    std::memcpy(&value, p, 4);
    return value;
}

// A sample of the form as a real number, full scale +-1; float is clipped
// there and NaN is silence.
double Real(Form form, const uint8_t* p)
{
    switch (form) {
    case Form::Int16: {
        int16_t value;
        std::memcpy(&value, p, 2);
        return value / 32768.0;
    }
    case Form::Int24: {
        const auto value = static_cast<int32_t>((static_cast<uint32_t>(p[0]) << 8) | (static_cast<uint32_t>(p[1]) << 16) |
                                                (static_cast<uint32_t>(p[2]) << 24));
        return value / 2147483648.0;
    }
    case Form::Int24In32:
        return static_cast<int32_t>(static_cast<uint32_t>(Load32(p)) & 0xFFFFFF00u) / 2147483648.0;
    case Form::Int32:
        return Load32(p) / 2147483648.0;
    default: {
        float value;
        std::memcpy(&value, p, 4);
        if (std::isnan(value)) {
            return 0.0;
        }
        return std::clamp(static_cast<double>(value), -1.0, 1.0);
    }
    }
}

// The value of the form nearest x (halves rounded up, saturated).
std::vector<uint8_t> Nearest(Form form, double x)
{
    std::vector<uint8_t> bytes(BytesOf(form));
    if (IsFloat(form)) {
        const auto value = static_cast<float>(x);
        std::memcpy(bytes.data(), &value, 4);
        return bytes;
    }
    const int bits = form == Form::Int16 ? 16 : form == Form::Int32 ? 32 : 24;
    const double top = std::ldexp(1.0, bits - 1);
    const double rounded = std::clamp(std::floor(x * top + 0.5), -top, top - 1);
    auto value = static_cast<int64_t>(rounded);
    if (form == Form::Int24In32) {
        value *= 256;
    }
    for (size_t i = 0; i < bytes.size(); ++i) {
        bytes[i] = static_cast<uint8_t>(static_cast<uint64_t>(value) >> (8 * i));
    }
    return bytes;
}

// Whether `actual` (of form `to`) is what a sample x of form `from` must
// become: exact between integers and at full scale, within one step of the
// integer form where float is on one side.
bool Matches(Form from, Form to, double x, const uint8_t* actual)
{
    const std::vector<uint8_t> expected = Nearest(to, x);
    if (std::memcmp(expected.data(), actual, expected.size()) == 0) {
        return true;
    }
    if ((!IsFloat(from) && !IsFloat(to)) || std::fabs(x) >= 1.0) {
        return false;
    }
    const double tolerance = std::max(IsFloat(from) ? 0.0 : Step(from), IsFloat(to) ? Step(Form::Float32) : Step(to));
    return std::fabs(Real(to, actual) - Real(to, expected.data())) <= tolerance * 1.000001;
}

// The devices, one of each format, in the byte-wise order of their names.
struct Device {
    const char* id;
    Form form;
    const char* pin;  // the keys of the streaming pin that leave it this one format
};
const Device kDevices[] = {
    {"f32", Form::Float32, "range = channels=2 bits=32 rate=8000-48000 sub=float\n"},
    {"i16", Form::Int16, "range = channels=2 bits=16 rate=8000-48000\n"},
    {"i24", Form::Int24, "range = channels=2 bits=24 rate=8000-48000\n"},
    {"i2432", Form::Int24In32, "range = channels=2 bits=32 rate=8000-48000\nvalid-bits = 24\nlayouts = extensible\n"},
    {"i32", Form::Int32, "range = channels=2 bits=32 rate=8000-48000\nvalid-bits = 32\n"},
};
constexpr size_t kDeviceCount = std::size(kDevices);

std::string Description()
{
    std::string text = "[kssim]\nclock = fast\n";
    for (const Device& device : kDevices) {
        const std::string id = device.id;
        text += "[device.r_" + id + "]\ntype = render\npath = \\\\?\\sim#render#r_" + id + "\nname = R " + id +
                "\nrender-file = r_" + id + ".wav\n[device.r_" + id + ".pin.0]\n" + device.pin;
        text += "[device.c_" + id + "]\ntype = capture\npath = \\\\?\\sim#capture#c_" + id + "\nname = C " + id +
                "\nsignal = wav\ncapture-file = clip.wav\n[device.c_" + id + ".pin.0]\n" + device.pin;
    }
    return text;
}

// The microphones' clip: 32-bit stereo, left-aligned. Channel 0 holds the
// edges (both full scales, halves between steps of 16 and 24 bits), channel
// 1 a sequence that tells every frame apart; frame 0 is loud in every form.
constexpr size_t kClipFrames = 61;
int32_t ClipSample(size_t frame, int channel)
{
    static const int32_t edges[] = {INT32_MAX, INT32_MIN, 0x12345678, -0x12345678, 0x00008000, 0x00007FFF, -0x8000,
                                    0x7FFF8000, 0x00000080, -1, 0x40000000, 0};
    if (channel == 0) {
        return edges[frame % std::size(edges)];
    }
    return static_cast<int32_t>(static_cast<uint32_t>(frame) * 0x01000193u + 0x10000000u);
}

std::string ClipFile()
{
    std::string data;
    for (size_t f = 0; f < kClipFrames; ++f) {
        for (int c = 0; c < 2; ++c) {
            const int32_t sample = ClipSample(f, c);
            data.append(reinterpret_cast<const char*>(&sample), 4);
        }
    }
    const auto u32 = [](uint32_t v) { return std::string(reinterpret_cast<const char*>(&v), 4); };
    const auto u16 = [](uint16_t v) { return std::string(reinterpret_cast<const char*>(&v), 2); };
    std::string fmt = u16(1) + u16(2) + u32(48000) + u32(48000 * 8) + u16(8) + u16(32);
    return "RIFF" + u32(static_cast<uint32_t>(4 + 8 + fmt.size() + 8 + data.size())) + "WAVE" + "fmt " +
           u32(static_cast<uint32_t>(fmt.size())) + fmt + "data" + u32(static_cast<uint32_t>(data.size())) + data;
}

// What a microphone of the form holds for a clip sample (kssim's rule: cut
// to the container, float the sample over 2^31).
std::vector<uint8_t> DeviceSample(Form form, int32_t aligned)
{
    std::vector<uint8_t> bytes(BytesOf(form));
    uint32_t value = static_cast<uint32_t>(aligned);
    switch (form) {
    case Form::Int16: value >>= 16; break;
    case Form::Int24: value >>= 8; break;
    case Form::Int24In32: value &= 0xFFFFFF00u; break;
    case Form::Float32: {
        const float sample = static_cast<float>(aligned) / 2147483648.0f;
        std::memcpy(&value, &sample, 4);
        break;
    }
    default: break;
    }
    for (size_t i = 0; i < bytes.size(); ++i) {
        bytes[i] = static_cast<uint8_t>(value >> (8 * i));
    }
    return bytes;
}

// What the host writes on output `channel` in `frame`, in its form.
// Channel 0 holds the edges, channel 1 a sequence that tells frames apart.
std::vector<uint8_t> HostSample(Form form, int channel, size_t frame)
{
    std::vector<uint8_t> bytes(BytesOf(form));
    int64_t value = 0;
    switch (form) {
    case Form::Int16: {
        static const int64_t edges[] = {32767, -32768, 1, -1, 0x1234, -0x1234, 16384, 0};
        value = channel == 0 ? edges[frame % std::size(edges)] : static_cast<int64_t>(frame * 37 % 65536) - 32768;
        break;
    }
    case Form::Int24: {
        static const int64_t edges[] = {0x7FFFFF, -0x800000, 0x000080, 0x00007F, -0x80, -0x81, 0x123456, -1, 0};
        value = channel == 0 ? edges[frame % std::size(edges)] : static_cast<int64_t>(frame * 4099 % 16777216) - 8388608;
        break;
    }
    case Form::Int32: {
        static const int64_t edges[] = {INT32_MAX, INT32_MIN, 0x7FFF8000, 0x00008000, -0x8000, 0x12345680, 0x1234567F, -1, 0};
        value = channel == 0 ? edges[frame % std::size(edges)]
                             : static_cast<int32_t>(static_cast<uint32_t>(frame) * 0x01003001u);
        break;
    }
    default: {
        static const float edges[] = {1.5f, -1.5f, 1.0f, -1.0f, 0.5f, -0.25f, 3e-5f,
                                      std::numeric_limits<float>::quiet_NaN(), 0.7f, 0.0f};
        const float sample = channel == 0 ? edges[frame % std::size(edges)]
                                          : static_cast<float>(static_cast<double>(frame * 37 % 4001) / 2000.0 - 1.0);
        std::memcpy(bytes.data(), &sample, 4);
        return bytes;
    }
    }
    for (size_t i = 0; i < bytes.size(); ++i) {
        bytes[i] = static_cast<uint8_t>(static_cast<uint64_t>(value) >> (8 * i));
    }
    return bytes;
}

Form FormOfType(ASIOSampleType type)
{
    switch (type) {
    case ASIOSTInt24LSB: return Form::Int24;
    case ASIOSTInt32LSB: return Form::Int32;
    case ASIOSTFloat32LSB: return Form::Float32;
    default: return Form::Int16;
    }
}

// The data chunk of a WAV file.
std::string DataOf(const std::string& file)
{
    size_t at = 12;
    while (at + 8 <= file.size()) {
        uint32_t size;
        std::memcpy(&size, file.data() + at + 4, 4);
        if (file.compare(at, 4, "data") == 0) {
            return file.substr(at + 8, std::min<size_t>(size, file.size() - at - 8));
        }
        at += 8 + size + (size & 1);
    }
    return {};
}

// ---- the host of the child process --------------------------------------

constexpr long kFrames = 64;
constexpr long kCallbacks = 24;
constexpr size_t kInputs = 2 * kDeviceCount;

struct ChildHost {
    Form form = Form::Int16;
    ASIOBufferInfo buffers[2 + kInputs] = {};
    std::vector<uint8_t> captured[kInputs];  // every input sample the host got, in order
    long callbacks = 0;
    HANDLE done = nullptr;
};
ChildHost* g_host = nullptr;

void FillHalf(long index, long block)
{
    const size_t bytes = BytesOf(g_host->form);
    for (int c = 0; c < 2; ++c) {
        auto* half = static_cast<uint8_t*>(g_host->buffers[c].buffers[index]);
        for (long f = 0; f < kFrames; ++f) {
            const std::vector<uint8_t> sample = HostSample(g_host->form, c, static_cast<size_t>(block * kFrames + f));
            std::memcpy(half + f * bytes, sample.data(), bytes);
        }
    }
}

void BufferSwitch(long index, ASIOBool)
{
    if (g_host->callbacks >= kCallbacks) {
        return;
    }
    const size_t bytes = BytesOf(g_host->form) * kFrames;
    for (size_t i = 0; i < kInputs; ++i) {
        const auto* half = static_cast<const uint8_t*>(g_host->buffers[2 + i].buffers[index]);
        g_host->captured[i].insert(g_host->captured[i].end(), half, half + bytes);
    }
    // The half just handed over plays after the two filled before the start.
    FillHalf(index, g_host->callbacks + 2);
    if (++g_host->callbacks == kCallbacks) {
        SetEvent(g_host->done);
    }
}
void NoRateChange(double) {}
long NoMessages(long, long, void*, double*)
{
    return 0;
}

const char* const kHostSettings[] = {"BitSpersample=16\n", "BitSpersample=24\n", "BitSpersample=32\n",
                                     "BitSpersample=16\nSampleFormat=float\n"};

}  // namespace

TEST(SampleFormats, EveryHostFormAndDeviceFormatCarrySamplesExactlyBothWays)
{
    AppDataRedirect appData{L"telvara-e2e-formats"};
    SimDriverFolder driver(Description());
    WriteFileBytes(driver.File("clip.wav"), ClipFile());
    for (const char* settings : kHostSettings) {
        SCOPED_TRACE(settings);
        std::string config = std::string("[default]\n") + settings + "BlockFrames=64\nSampleRate=48000\nout=";
        std::string sections;
        for (size_t d = 0; d < kDeviceCount; ++d) {
            config += std::string(d ? ";" : "") + "R " + kDevices[d].id;
            sections += std::string("[R ") + kDevices[d].id + "]\noutMaximumChannels=2\noutChannelLink=0;1\n";
            sections += std::string("[C ") + kDevices[d].id + "]\ninMaximumChannels=2\n";
        }
        config += "\nin=";
        for (size_t d = 0; d < kDeviceCount; ++d) {
            config += std::string(d ? ";" : "") + "C " + kDevices[d].id;
        }
        WriteSettings(appData.Folder(), config + "\n" + sections);
        EXPECT_EQ(RunDriverChild("SampleFormatsChild.DISABLED_StreamAndCheck", driver.DriverPath()), 0L)
            << "the child test's own output above says what failed";
    }
}

TEST(SampleFormatsChild, DISABLED_StreamAndCheck)
{
    const std::string path = ChildDriverPath();
    if (path.empty()) {
        GTEST_SKIP() << kOnlyAsChild;
    }
    auto library = std::make_unique<DriverLibrary>(path);
    IClassFactory* factory = nullptr;
    ASSERT_EQ(library->GetClassObject(CLSID_TelvaraDriver, IID_IClassFactory, reinterpret_cast<void**>(&factory)), S_OK);
    IASIO* driver = nullptr;
    ASSERT_EQ(factory->CreateInstance(nullptr, CLSID_TelvaraDriver, reinterpret_cast<void**>(&driver)), S_OK);
    factory->Release();
    ASSERT_EQ(driver->init(nullptr), ASIOTrue);
    long inputs = 0;
    long outputs = 0;
    ASSERT_EQ(driver->getChannels(&inputs, &outputs), ASE_OK);
    ASSERT_EQ(inputs, static_cast<long>(kInputs));
    ASSERT_EQ(outputs, static_cast<long>(2 * kDeviceCount));

    ChildHost host;
    g_host = &host;
    ASIOChannelInfo info{};
    ASSERT_EQ(driver->getChannelInfo(&info), ASE_OK);
    host.form = FormOfType(info.type);
    host.done = CreateEventA(nullptr, TRUE, FALSE, nullptr);
    host.buffers[0] = {ASIOFalse, 0, {}};
    host.buffers[1] = {ASIOFalse, 1, {}};
    for (size_t i = 0; i < kInputs; ++i) {
        host.buffers[2 + i] = {ASIOTrue, static_cast<long>(i), {}};
        host.captured[i].reserve(BytesOf(host.form) * kFrames * (kCallbacks + 1));
    }
    ASIOCallbacks callbacks{BufferSwitch, NoRateChange, NoMessages, nullptr};
    ASSERT_EQ(driver->createBuffers(host.buffers, static_cast<long>(std::size(host.buffers)), kFrames, &callbacks), ASE_OK);
    FillHalf(0, 0);
    FillHalf(1, 1);
    ASSERT_EQ(driver->start(), ASE_OK);
    EXPECT_EQ(WaitForSingleObject(host.done, 20000), WAIT_OBJECT_0);
    EXPECT_EQ(driver->stop(), ASE_OK);
    EXPECT_EQ(driver->disposeBuffers(), ASE_OK);
    driver->Release();
    CloseHandle(host.done);
    g_host = nullptr;

    const Form hostForm = host.form;
    const size_t hostBytes = BytesOf(hostForm);
    const std::string folder = FolderOf(path);
    for (size_t d = 0; d < kDeviceCount; ++d) {
        const Device& device = kDevices[d];
        SCOPED_TRACE(testing::Message() << "host form " << static_cast<int>(hostForm) << ", device " << device.id);
        const size_t deviceBytes = BytesOf(device.form);

        // What the speaker played: every frame of the first kCallbacks blocks.
        const std::string played = DataOf(ReadFileBytes(folder + "r_" + device.id + ".wav"));
        const size_t frames = static_cast<size_t>(kCallbacks * kFrames);
        ASSERT_GE(played.size(), frames * 2 * deviceBytes);
        size_t wrong = 0;
        for (size_t f = 0; f < frames; ++f) {
            for (int c = 0; c < 2; ++c) {
                const std::vector<uint8_t> written = HostSample(hostForm, c, f);
                const double x = Real(hostForm, written.data());
                const auto* actual = reinterpret_cast<const uint8_t*>(played.data()) + (f * 2 + c) * deviceBytes;
                if (!Matches(hostForm, device.form, x, actual) && wrong++ < 4) {
                    ADD_FAILURE() << "played frame " << f << " channel " << c << ": " << Real(device.form, actual)
                                  << " for " << x;
                }
            }
        }
        EXPECT_EQ(wrong, 0u) << "played samples off";

        // What the host got from the microphone: the clip from its first
        // frame on, after whatever silence came before the first read.
        for (int c = 0; c < 2; ++c) {
            const std::vector<uint8_t>& got = host.captured[2 * d + static_cast<size_t>(c)];
            const size_t count = got.size() / hostBytes;
            const std::vector<uint8_t> silence(hostBytes, 0);
            size_t start = 0;
            while (start < count && std::memcmp(got.data() + start * hostBytes, silence.data(), hostBytes) == 0 &&
                   c == 0) {
                ++start;
            }
            if (c == 1) {
                start = 0;
                while (start < count && std::memcmp(host.captured[2 * d].data() + start * hostBytes, silence.data(),
                                                    hostBytes) == 0) {
                    ++start;
                }
            }
            ASSERT_LT(start, count / 2) << "the microphone stayed silent";
            ASSERT_EQ(start % kFrames, 0u) << "silence only in whole blocks before the first read";
            wrong = 0;
            for (size_t t = start; t < count; ++t) {
                const std::vector<uint8_t> recorded = DeviceSample(device.form, ClipSample((t - start) % kClipFrames, c));
                const double x = Real(device.form, recorded.data());
                if (!Matches(device.form, hostForm, x, got.data() + t * hostBytes) && wrong++ < 4) {
                    ADD_FAILURE() << "recorded frame " << t - start << " channel " << c << ": "
                                  << Real(hostForm, got.data() + t * hostBytes) << " for " << x;
                }
            }
            EXPECT_EQ(wrong, 0u) << "recorded samples off, channel " << c;
        }
    }
}
