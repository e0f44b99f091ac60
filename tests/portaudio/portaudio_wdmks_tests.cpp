// PortAudio's WDM-KS host API, an independent kernel-streaming client,
// against the simulated devices: it must find them under the names a real
// wave filter gives, open their pins and stream both ways with exactly the
// samples kssim plays and records. It drives kssim through the same seam as
// our kernel-streaming classes (ks_adapter.cpp), but with its own reading of
// kernel streaming.

#include "kssim.h"

#include <portaudio.h>

#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <cstdio>
#include <cstdint>
#include <cstring>
#include <string>
#include <vector>

namespace {

constexpr const char* kUsbRenderPath =
    "\\\\?\\usb#vid_0d8c&pid_0014&mi_00#7&2a1b3c4d&0&0000#{6994ad04-93ef-11d0-a3cc-00a0c9223196}\\global";
constexpr const char* kOnboardCapturePath =
    "\\\\?\\hdaudio#func_01&ven_10ec&dev_0269#4&1a2b3c4d&0&0001#{6994ad04-93ef-11d0-a3cc-00a0c9223196}\\mic";
constexpr const char* kSurroundRenderPath =
    "\\\\?\\hdaudio#func_01&ven_10ec&dev_0269#4&1a2b3c4d&0&0001#{6994ad04-93ef-11d0-a3cc-00a0c9223196}\\rear";
constexpr const char* kTopologyOnlyPath =
    "\\\\?\\hdaudio#func_01&ven_10ec&dev_0269#4&1a2b3c4d&0&0001#{6994ad04-93ef-11d0-a3cc-00a0c9223196}\\topo";

constexpr const char* kLineInPath =
    "\\\\?\\hdaudio#func_01&ven_10ec&dev_0269#4&1a2b3c4d&0&0001#{6994ad04-93ef-11d0-a3cc-00a0c9223196}\\line";

constexpr const char* kWaveRtRenderPath =
    "\\\\?\\hdaudio#func_01&ven_10ec&dev_0295#4&2b3c4d5e&0&0001#{6994ad04-93ef-11d0-a3cc-00a0c9223196}\\elineoutwave";
constexpr const char* kWaveRtCapturePath =
    "\\\\?\\usb#vid_1397&pid_0508&mi_00#8&3c4d5e6f&0&0000#{6994ad04-93ef-11d0-a3cc-00a0c9223196}\\emicinwave";

constexpr int kRate = 48000;

kssim::Simulation& Sim()
{
    return kssim::Simulation::Instance();
}

// The devices every test sees: a USB speaker and an onboard microphone as
// the builders make them (16-bit stereo up to 48 kHz), an eight-channel
// speaker and a four-channel line input of 16 and 24 bits, and a topology
// filter without the render or capture alias, which clients must pass over.
std::vector<kssim::DeviceModel> Devices()
{
    kssim::DeviceModel surround = kssim::RenderDevice("Rear Speakers", kSurroundRenderPath);
    surround.pins[0].ranges[0].maximumChannels = 8;
    surround.pins[0].ranges[0].maximumBitsPerSample = 24;
    surround.pins[1].name = L"Line Out";
    kssim::DeviceModel lineIn = kssim::CaptureDevice("Onboard Line", kLineInPath);
    lineIn.pins[0].ranges[0].maximumChannels = 4;
    lineIn.pins[0].ranges[0].maximumBitsPerSample = 24;
    lineIn.pins[1].name = L"Line In";
    kssim::DeviceModel topology = kssim::RenderDevice("Realtek Topology", kTopologyOnlyPath);
    topology.aliases.clear();
    return {kssim::RenderDevice("USB Audio Device", kUsbRenderPath),
            kssim::CaptureDevice("Onboard Mic", kOnboardCapturePath), surround, lineIn, topology};
}

class PortAudioWdmKs : public testing::Test {
protected:
    void SetUp() override
    {
        Sim().Reset(Devices());
        ASSERT_EQ(Pa_Initialize(), paNoError);
        m_initialized = true;
    }
    void TearDown() override
    {
        if (m_initialized) {
            EXPECT_EQ(Pa_Terminate(), paNoError);
        }
        // PortAudio let go of every filter, pin and device-information set.
        EXPECT_EQ(Sim().OpenHandleCount(), 0);
        EXPECT_EQ(Sim().OpenDeviceInfoSetCount(), 0);
        EXPECT_EQ(Sim().PendingRequestCount(), 0);
        Sim().Reset();
    }

    // Another set of devices: PortAudio enumerates once, at Pa_Initialize.
    void Reinstall(std::vector<kssim::DeviceModel> devices)
    {
        m_initialized = false;
        ASSERT_EQ(Pa_Terminate(), paNoError);
        Sim().Reset(std::move(devices));
        ASSERT_EQ(Pa_Initialize(), paNoError);
        m_initialized = true;
    }

    static PaDeviceIndex DeviceNamed(const std::string& name)
    {
        for (PaDeviceIndex i = 0; i < Pa_GetDeviceCount(); ++i) {
            if (name == Pa_GetDeviceInfo(i)->name) {
                return i;
            }
        }
        ADD_FAILURE() << "PortAudio has no device named '" << name << "'";
        return paNoDevice;
    }

    bool m_initialized = false;
};

// A stream's shape: channels and container bits (16: paInt16, 24: paInt24,
// PortAudio's packed 3 bytes, which the pin takes as it is).
struct Shape {
    int channels = 2;
    int bits = 16;
    int BytesPerSample() const { return bits / 8; }
    PaSampleFormat Format() const { return bits == 24 ? paInt24 : paInt16; }
};

PaStreamParameters StreamParameters(PaDeviceIndex device, const Shape& shape)
{
    PaStreamParameters parameters{};
    parameters.device = device;
    parameters.channelCount = shape.channels;
    parameters.sampleFormat = shape.Format();
    parameters.suggestedLatency = 0.05;
    return parameters;
}

void PutSample(uint8_t* at, uint32_t value, int bytes)
{
    for (int b = 0; b < bytes; ++b) {
        at[b] = static_cast<uint8_t>(value >> (8 * b));
    }
}

uint32_t GetSample(const uint8_t* at, int bytes)
{
    uint32_t value = 0;
    for (int b = 0; b < bytes; ++b) {
        value |= static_cast<uint32_t>(at[b]) << (8 * b);
    }
    return value;
}

// The render signal, frame n, channel c, as the container's bytes read
// little-endian: a 16-bit ramp per channel offset by 0x1000 * c; at 24 bits
// that ramp in the top two bytes and c + 1 in the low one. Never 0 for the
// frames streamed, so silence the device played in between is told apart.
uint32_t RenderSample(const Shape& shape, int64_t n, int c)
{
    const auto ramp = static_cast<uint32_t>((n + 1 + 0x1000 * c) & 0xFFFF);
    return shape.bits == 24 ? (ramp << 8) | static_cast<uint32_t>(c + 1) : ramp;
}

// kssim's capture ramp in the container: 16 bits (n + 0x1000 * c) mod 65536,
// 24 bits the same shifted left by 8.
uint32_t CaptureRampSample(const Shape& shape, int64_t n, int c)
{
    const auto ramp = static_cast<uint32_t>((n + 0x1000 * c) & 0xFFFF);
    return shape.bits == 24 ? ramp << 8 : ramp;
}

// Waits until a stream whose callback said paComplete has finished;
// bounded: five seconds are far more than the few blocks the tests stream
// take even with the real-time clock.
void WaitUntilFinished(PaStream* stream)
{
    for (int i = 0; i < 500 && Pa_IsStreamActive(stream) == 1; ++i) {
        Pa_Sleep(10);
    }
    EXPECT_EQ(Pa_IsStreamActive(stream), 0) << "the stream did not finish within 5 s";
}

// The callback writes the signal's first framesToPlay frames, then silence
// until the test stops the stream. It never ends the stream itself: PortAudio
// 19.6.0 leaves the last write of a standard-streaming render pin pending
// when a callback returns paComplete (the completion event of the write
// before it is manual-reset and stays signalled once no write follows, so it
// is counted twice) and stops the pin over it, which cancels it as Windows
// does; the silence after the signal keeps that loss out of the check.
struct RenderState {
    Shape shape;
    int64_t framesToPlay = 0;
    std::atomic<int64_t> framesWritten{0};
};

int RenderCallback(const void*, void* output, unsigned long frames, const PaStreamCallbackTimeInfo*,
                   PaStreamCallbackFlags, void* user)
{
    auto* state = static_cast<RenderState*>(user);
    const int bytes = state->shape.BytesPerSample();
    auto* out = static_cast<uint8_t*>(output);
    int64_t n = state->framesWritten.load();
    for (unsigned long f = 0; f < frames; ++f, ++n) {
        for (int c = 0; c < state->shape.channels; ++c) {
            PutSample(out, n < state->framesToPlay ? RenderSample(state->shape, n, c) : 0, bytes);
            out += bytes;
        }
    }
    state->framesWritten = n;
    return paContinue;
}

struct CaptureState {
    Shape shape;
    size_t framesToTake = 0;
    std::vector<uint8_t> bytes;  // interleaved; filled only by the callback until it says paComplete
    PaStreamCallbackFlags flags = 0;  // every status flag PortAudio passed
};

int CaptureCallback(const void* input, void*, unsigned long frames, const PaStreamCallbackTimeInfo*,
                    PaStreamCallbackFlags flags, void* user)
{
    auto* state = static_cast<CaptureState*>(user);
    state->flags |= flags;
    const size_t frameBytes = static_cast<size_t>(state->shape.channels * state->shape.BytesPerSample());
    const size_t have = state->bytes.size() / frameBytes;
    const size_t take = std::min<size_t>(frames, state->framesToTake - have);
    const auto* in = static_cast<const uint8_t*>(input);
    state->bytes.insert(state->bytes.end(), in, in + take * frameBytes);
    return have + take >= state->framesToTake ? paComplete : paContinue;
}

// The frames a render pin played, one sample value per channel.
std::vector<std::vector<uint32_t>> PlayedFrames(const std::string& path, const Shape& shape)
{
    const std::vector<uint8_t> bytes = Sim().RenderedBytes(path, 0);
    const int sample = shape.BytesPerSample();
    std::vector<std::vector<uint32_t>> frames(bytes.size() / static_cast<size_t>(shape.channels * sample));
    for (size_t f = 0; f < frames.size(); ++f) {
        for (int c = 0; c < shape.channels; ++c) {
            frames[f].push_back(GetSample(bytes.data() + (f * shape.channels + c) * sample, sample));
        }
    }
    return frames;
}

bool IsSilent(const std::vector<uint32_t>& frame)
{
    return std::all_of(frame.begin(), frame.end(), [](uint32_t v) { return v == 0; });
}

// The streaming interface of the pin PortAudio made last on a device.
ULONG PinInterface(const std::string& path)
{
    const std::vector<uint8_t> connect = Sim().LastPinConnect(path, 0);
    KSPIN_CONNECT pin{};
    if (connect.size() >= sizeof pin) {
        std::memcpy(&pin, connect.data(), sizeof pin);
    }
    return pin.Interface.Id;
}

// The wave format of the pin PortAudio made last on a device.
WAVEFORMATEX PinFormat(const std::string& path)
{
    WAVEFORMATEX format{};
    const std::vector<uint8_t> connect = Sim().LastPinConnect(path, 0);
    EXPECT_GE(connect.size(), sizeof(KSPIN_CONNECT) + sizeof(KSDATAFORMAT) + sizeof(WAVEFORMATEX));
    if (connect.size() >= sizeof(KSPIN_CONNECT) + sizeof(KSDATAFORMAT) + sizeof(WAVEFORMATEX)) {
        std::memcpy(&format, connect.data() + sizeof(KSPIN_CONNECT) + sizeof(KSDATAFORMAT), sizeof format);
    }
    return format;
}

TEST_F(PortAudioWdmKs, FindsEveryRenderAndCaptureFilterUnderItsJackAndFilterName)
{
    const PaHostApiIndex api = Pa_HostApiTypeIdToHostApiIndex(paWDMKS);
    ASSERT_GE(api, 0);
    EXPECT_EQ(Pa_GetHostApiCount(), 1);
    struct Expected {
        const char* name;
        int inputs;
        int outputs;
    };
    // The jack's (bridge pin's) name, then the filter's friendly name; the
    // topology filter is not a device.
    const Expected expected[] = {
        {"Speakers (USB Audio Device)", 0, 2},
        {"Microphone (Onboard Mic)", 2, 0},
        {"Line Out (Rear Speakers)", 0, 8},
        {"Line In (Onboard Line)", 4, 0},
    };
    ASSERT_EQ(Pa_GetDeviceCount(), static_cast<int>(std::size(expected)));
    for (int i = 0; i < Pa_GetDeviceCount(); ++i) {
        const PaDeviceInfo* info = Pa_GetDeviceInfo(i);
        SCOPED_TRACE(expected[i].name);
        EXPECT_STREQ(info->name, expected[i].name);
        EXPECT_EQ(info->hostApi, api);
        EXPECT_EQ(info->maxInputChannels, expected[i].inputs);
        EXPECT_EQ(info->maxOutputChannels, expected[i].outputs);
    }
    // Enumeration closed what it opened.
    EXPECT_EQ(Sim().OpenHandleCount(), 0);
    EXPECT_EQ(Sim().OpenDeviceInfoSetCount(), 0);
}

// Streams the render signal through a device's pin and checks what the pin
// played: every frame the callback wrote, once and in order (after silence,
// should PortAudio prime the pin with it), then silence. Under the fast
// clock every write completes as it is queued, so the pin never runs dry;
// under the real-time clock it may, when this machine stalls the stream
// thread (Wine: up to ~30 ms): a standard pin then plays silence, a WaveRT
// buffer plays its old data again, and kssim counts either as underrun, so
// frames between the signal's are allowed only as far as it counted them.
void PlayAndCheck(const char* name, const char* path, const Shape& shape, kssim::ClockMode clock, bool waveRt)
{
    Sim().SetClockMode(clock);
    Sim().ClearRendered(path, 0);
    const int64_t underrunBefore = Sim().UnderrunFrames(path, 0);
    PaDeviceIndex device = paNoDevice;
    for (PaDeviceIndex i = 0; i < Pa_GetDeviceCount(); ++i) {
        device = std::string(name) == Pa_GetDeviceInfo(i)->name ? i : device;
    }
    ASSERT_NE(device, paNoDevice) << "PortAudio has no device named '" << name << "'";
    RenderState state;
    state.shape = shape;
    state.framesToPlay = kRate / 2;
    const PaStreamParameters output = StreamParameters(device, shape);
    PaStream* stream = nullptr;
    ASSERT_EQ(Pa_OpenStream(&stream, nullptr, &output, kRate, 480, paClipOff | paDitherOff, RenderCallback, &state),
              paNoError);
    EXPECT_EQ(Sim().OpenPinInstances(path, 0), 1);
    EXPECT_EQ(PinInterface(path),
              static_cast<ULONG>(waveRt ? KSINTERFACE_STANDARD_LOOPED_STREAMING : KSINTERFACE_STANDARD_STREAMING));
    const WAVEFORMATEX format = PinFormat(path);
    EXPECT_EQ(format.nChannels, shape.channels);
    EXPECT_EQ(format.nSamplesPerSec, static_cast<DWORD>(kRate));
    EXPECT_EQ(format.wBitsPerSample, shape.bits);
    ASSERT_EQ(Pa_StartStream(stream), paNoError);
    // The signal and 0.25 s of silence after it (more than PortAudio keeps
    // in flight or in a WaveRT buffer), bounded: ten seconds are far more
    // than that takes.
    const int64_t enough = state.framesToPlay + kRate / 4;
    for (int i = 0; i < 1000 && state.framesWritten < enough; ++i) {
        Pa_Sleep(10);
    }
    EXPECT_GE(state.framesWritten, enough) << "the callback was not called for 10 s";
    EXPECT_EQ(Pa_StopStream(stream), paNoError);
    EXPECT_EQ(Pa_CloseStream(stream), paNoError);
    EXPECT_EQ(Sim().OpenPinInstances(path, 0), 0);
    const int64_t underrun = Sim().UnderrunFrames(path, 0) - underrunBefore;
    if (clock == kssim::ClockMode::Fast) {
        EXPECT_EQ(underrun, 0);
    }

    const auto played = PlayedFrames(path, shape);
    size_t f = 0;
    while (f < played.size() && IsSilent(played[f])) {
        ++f;
    }
    int64_t between = 0;
    for (int64_t n = 0; n < state.framesToPlay; ++f) {
        ASSERT_LT(f, played.size()) << "the pin played only " << n << " of the callback's frames ("
                                    << played.size() << " frames played, " << underrun << " underrun)";
        std::vector<uint32_t> expected;
        for (int ch = 0; ch < shape.channels; ++ch) {
            expected.push_back(RenderSample(shape, n, ch));
        }
        if (played[f] == expected) {
            ++n;
            continue;
        }
        // Only silence (standard) or old data (WaveRT) may come between.
        ASSERT_TRUE(waveRt || IsSilent(played[f])) << "frame " << n << " of the signal played as something else";
        ASSERT_LE(++between, underrun) << "played frame " << f << " between the signal's frames " << n - 1
                                       << " and " << n << " is neither the signal nor counted as underrun";
    }
    for (; f < played.size(); ++f) {
        ASSERT_TRUE(IsSilent(played[f])) << "played frame " << f << " after the last one written";
    }
}

// Streams a capture device's ramp into the callback and checks it: the
// ramp from the pin's first frame on, every channel of every frame, in order,
// nothing repeated. Where this machine stalled the stream thread for longer
// than the client's buffers hold (Wine: up to ~30 ms, more on a loaded
// machine), frames are lost: the ramp may then jump forward. A standard
// device counts what it lost (kssim: OverrunFrames), and PortAudio flags
// what its own ring lost (paInputOverflow), so there every jump must be
// accounted for; a WaveRT device overwrites what nobody took without
// knowing it (as hardware does), and PortAudio's event mode loses a whole
// half buffer when two notifications fall into one wait, so there the jumps
// are only counted. The real-time clock: under the fast one reads complete
// as they are queued, faster than any device delivers, and PortAudio's own
// ring buffer between its capture packets and the callback overflows.
void RecordAndCheck(const char* name, const char* path, const Shape& shape, bool waveRt)
{
    Sim().SetClockMode(kssim::ClockMode::RealTime);
    PaDeviceIndex device = paNoDevice;
    for (PaDeviceIndex i = 0; i < Pa_GetDeviceCount(); ++i) {
        device = std::string(name) == Pa_GetDeviceInfo(i)->name ? i : device;
    }
    ASSERT_NE(device, paNoDevice) << "PortAudio has no device named '" << name << "'";
    const int64_t overrunBefore = Sim().OverrunFrames(path, 0);
    CaptureState state;
    state.shape = shape;
    state.framesToTake = kRate / 2;
    const PaStreamParameters input = StreamParameters(device, shape);
    PaStream* stream = nullptr;
    ASSERT_EQ(Pa_OpenStream(&stream, &input, nullptr, kRate, 480, paClipOff | paDitherOff, CaptureCallback, &state),
              paNoError);
    EXPECT_EQ(PinInterface(path),
              static_cast<ULONG>(waveRt ? KSINTERFACE_STANDARD_LOOPED_STREAMING : KSINTERFACE_STANDARD_STREAMING));
    const WAVEFORMATEX format = PinFormat(path);
    EXPECT_EQ(format.nChannels, shape.channels);
    EXPECT_EQ(format.wBitsPerSample, shape.bits);
    ASSERT_EQ(Pa_StartStream(stream), paNoError);
    WaitUntilFinished(stream);
    EXPECT_EQ(Pa_StopStream(stream), paNoError);
    EXPECT_EQ(Pa_CloseStream(stream), paNoError);
    EXPECT_EQ(Sim().OpenPinInstances(path, 0), 0);

    const int sample = shape.BytesPerSample();
    ASSERT_EQ(state.bytes.size(), state.framesToTake * shape.channels * sample);
    auto at = [&](size_t n, int ch) {
        return GetSample(state.bytes.data() + (n * shape.channels + ch) * sample, sample);
    };
    int64_t lost = 0;
    for (size_t n = 0; n < state.framesToTake; ++n) {
        const int64_t expected = static_cast<int64_t>(n) + lost;
        if (at(n, 0) != CaptureRampSample(shape, expected, 0)) {
            const uint32_t got = shape.bits == 24 ? at(n, 0) >> 8 : at(n, 0);
            const uint16_t jump = static_cast<uint16_t>(got - CaptureRampSample({2, 16}, expected, 0));
            ASSERT_LT(jump, 0x8000) << "frame " << n << " goes back in the ramp (a frame delivered twice)";
            lost += jump;
        }
        for (int ch = 0; ch < shape.channels; ++ch) {
            ASSERT_EQ(at(n, ch), CaptureRampSample(shape, static_cast<int64_t>(n) + lost, ch))
                << "frame " << n << " channel " << ch;
        }
    }
    const int64_t counted = Sim().OverrunFrames(path, 0) - overrunBefore;
    if (waveRt) {
        if (lost > 0) {
            std::printf("[ note ] %s: %lld frames lost to a stall (a WaveRT device cannot count them)\n", name,
                        static_cast<long long>(lost));
        }
    } else if (state.flags & paInputOverflow) {
        EXPECT_GE(lost, counted) << "PortAudio's ring overflowed; the device's own losses must still show";
    } else {
        EXPECT_EQ(lost, counted) << "frames missing from the ramp that the device did not count";
    }
}

TEST_F(PortAudioWdmKs, RenderPlaysExactlyWhatTheCallbackWrote)
{
    struct Case {
        const char* device;
        const char* path;
        Shape shape;
        kssim::ClockMode clock;
    };
    const Case cases[] = {
        {"Speakers (USB Audio Device)", kUsbRenderPath, {2, 16}, kssim::ClockMode::Fast},
        {"Speakers (USB Audio Device)", kUsbRenderPath, {2, 16}, kssim::ClockMode::RealTime},
        {"Line Out (Rear Speakers)", kSurroundRenderPath, {8, 24}, kssim::ClockMode::RealTime},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(std::string(c.device) + ", " + std::to_string(c.shape.channels) + " channels of " +
                     std::to_string(c.shape.bits) + " bits, " +
                     (c.clock == kssim::ClockMode::Fast ? "fast clock" : "real-time clock"));
        PlayAndCheck(c.device, c.path, c.shape, c.clock, false);
    }
}

TEST_F(PortAudioWdmKs, CaptureDeliversTheDevicesRampFromItsFirstFrame)
{
    struct Case {
        const char* device;
        const char* path;
        Shape shape;
    };
    const Case cases[] = {
        {"Microphone (Onboard Mic)", kOnboardCapturePath, {2, 16}},
        {"Line In (Onboard Line)", kLineInPath, {4, 24}},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(std::string(c.device) + ", " + std::to_string(c.shape.channels) + " channels of " +
                     std::to_string(c.shape.bits) + " bits");
        RecordAndCheck(c.device, c.path, c.shape, false);
    }
}

// WaveRT devices (the inbox HD Audio and USB Audio 2.0 drivers): PortAudio
// takes the filter's real-time alias to mean a looped pin with a cyclic
// buffer that it fills or empties by the device's position, woken by the
// buffer's notification event, or by its own timer where the driver offers
// none; it maps the position register, or reads the position property where
// there is none, and asks again with an aligned size where the driver
// refuses one. Each case streams both ways through a render and a capture
// device of those rules.
struct WaveRtCase {
    const char* what;
    void (*rules)(kssim::WaveRtModel&);
};

class PortAudioWaveRt : public PortAudioWdmKs {
protected:
    void StreamBothWays(const WaveRtCase& c)
    {
        SCOPED_TRACE(c.what);
        kssim::DeviceModel render = kssim::WaveRtRenderDevice("Realtek High Definition Audio", kWaveRtRenderPath);
        kssim::DeviceModel capture = kssim::WaveRtCaptureDevice("USB Audio 2.0", kWaveRtCapturePath);
        c.rules(*render.waveRt);
        c.rules(*capture.waveRt);
        // PortAudio's timer mode reads a capture buffer up to the position
        // plus the hardware FIFO, i.e. FIFO bytes the device has not yet
        // written (on HD Audio the DMA writes captured data to memory after
        // the link position has passed it, never before); without a FIFO
        // its reading is the position's.
        capture.waveRt->fifoBytes = 0;
        Reinstall({render, capture});
        ASSERT_EQ(Pa_GetDeviceCount(), 2);
        EXPECT_STREQ(Pa_GetDeviceInfo(0)->name, "Speakers (Realtek High Definition Audio)");
        EXPECT_STREQ(Pa_GetDeviceInfo(1)->name, "Microphone (USB Audio 2.0)");
        PlayAndCheck("Speakers (Realtek High Definition Audio)", kWaveRtRenderPath, {2, 16},
                     kssim::ClockMode::RealTime, true);
        RecordAndCheck("Microphone (USB Audio 2.0)", kWaveRtCapturePath, {2, 16}, true);
    }
};

TEST_F(PortAudioWaveRt, EventModeStreamsBothWaysWithTheExpectedSamples)
{
    const WaveRtCase cases[] = {
        {"position register", [](kssim::WaveRtModel&) {}},
        {"position property only", [](kssim::WaveRtModel& rules) { rules.positionRegister = false; }},
        {"sizes off the driver's alignment refused", [](kssim::WaveRtModel& rules) { rules.roundsSizes = false; }},
    };
    for (const WaveRtCase& c : cases) {
        StreamBothWays(c);
    }
}

// A pin whose only instance another program holds: kssim refuses the
// creation with ERROR_BAD_COMMAND, which PortAudio (like Windows' clients)
// reads as "in use"; once given back, the same stream opens.
TEST_F(PortAudioWdmKs, APinAnotherProgramHoldsIsUnavailableUntilGivenBack)
{
    const PaDeviceIndex device = DeviceNamed("Speakers (USB Audio Device)");
    ASSERT_NE(device, paNoDevice);
    RenderState state;
    const PaStreamParameters output = StreamParameters(device, Shape{});
    PaStream* stream = nullptr;
    Sim().HoldInstances(kUsbRenderPath, 0);
    EXPECT_EQ(Pa_OpenStream(&stream, nullptr, &output, kRate, 480, paClipOff, RenderCallback, &state),
              paDeviceUnavailable);
    EXPECT_EQ(Sim().OpenPinInstances(kUsbRenderPath, 0), 0);
    Sim().ReleaseInstances(kUsbRenderPath, 0);
    ASSERT_EQ(Pa_OpenStream(&stream, nullptr, &output, kRate, 480, paClipOff, RenderCallback, &state), paNoError);
    EXPECT_EQ(Sim().OpenPinInstances(kUsbRenderPath, 0), 1);
    EXPECT_EQ(Pa_CloseStream(stream), paNoError);
}

}  // namespace
