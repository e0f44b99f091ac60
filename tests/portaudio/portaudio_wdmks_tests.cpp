// PortAudio's WDM-KS host API, an independent kernel-streaming client,
// against the simulated devices: it must find them under the names a real
// wave filter gives, open their pins and stream both ways with exactly the
// samples kssim plays and records. It drives kssim through the same seam as
// our kernel-streaming classes (ks_adapter.cpp), but with its own reading of
// kernel streaming.

#include "kssim.h"

#include <portaudio.h>

#include <gtest/gtest.h>

#include <atomic>
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

constexpr int kRate = 48000;
constexpr int kChannels = 2;

kssim::Simulation& Sim()
{
    return kssim::Simulation::Instance();
}

// The devices every test sees: a USB speaker and an onboard microphone as
// the builders make them (16-bit stereo up to 48 kHz), an eight-channel
// speaker of 16 and 24 bits, and a topology filter without the render or
// capture alias, which clients must pass over.
std::vector<kssim::DeviceModel> Devices()
{
    kssim::DeviceModel surround = kssim::RenderDevice("Rear Speakers", kSurroundRenderPath);
    surround.pins[0].ranges[0].maximumChannels = 8;
    surround.pins[0].ranges[0].maximumBitsPerSample = 24;
    surround.pins[1].name = L"Line Out";
    kssim::DeviceModel topology = kssim::RenderDevice("Realtek Topology", kTopologyOnlyPath);
    topology.aliases.clear();
    return {kssim::RenderDevice("USB Audio Device", kUsbRenderPath),
            kssim::CaptureDevice("Onboard Mic", kOnboardCapturePath), surround, topology};
}

class PortAudioWdmKs : public testing::Test {
protected:
    void SetUp() override
    {
        Sim().Reset(Devices());
        Sim().SetClockMode(kssim::ClockMode::Fast);
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

// The 16-bit render signal: frame n, channel c. Never 0 for the frames
// streamed, so silence the device played in between is told apart.
int16_t RenderSample(int64_t n, int c)
{
    return static_cast<int16_t>(static_cast<uint16_t>(n + 1 + 0x1000 * c));
}

// kssim's capture ramp at 16 bits.
int16_t CaptureRampSample(int64_t n, int c)
{
    return static_cast<int16_t>(static_cast<uint16_t>(n + 0x1000 * c));
}

// The callback writes the signal's first framesToPlay frames, then silence
// until the test stops the stream. It never ends the stream itself: PortAudio
// 19.6.0 leaves the last write of a standard-streaming render pin pending
// when a callback returns paComplete (the completion event of the write
// before it is manual-reset and stays signalled once no write follows, so it
// is counted twice) and stops the pin over it, which cancels it as Windows
// does; the silence after the signal keeps that loss out of the check.
struct RenderState {
    int64_t framesToPlay = 0;
    std::atomic<int64_t> framesWritten{0};
};

int RenderCallback(const void*, void* output, unsigned long frames, const PaStreamCallbackTimeInfo*,
                   PaStreamCallbackFlags, void* user)
{
    auto* state = static_cast<RenderState*>(user);
    auto* samples = static_cast<int16_t*>(output);
    int64_t n = state->framesWritten.load();
    for (unsigned long f = 0; f < frames; ++f, ++n) {
        for (int c = 0; c < kChannels; ++c) {
            samples[f * kChannels + c] = n < state->framesToPlay ? RenderSample(n, c) : 0;
        }
    }
    state->framesWritten = n;
    return paContinue;
}

struct CaptureState {
    size_t framesToTake = 0;
    std::vector<int16_t> samples;  // interleaved; filled only by the callback until it says paComplete
    PaStreamCallbackFlags flags = 0;  // every status flag PortAudio passed
};

int CaptureCallback(const void* input, void*, unsigned long frames, const PaStreamCallbackTimeInfo*,
                    PaStreamCallbackFlags flags, void* user)
{
    auto* state = static_cast<CaptureState*>(user);
    state->flags |= flags;
    const auto* samples = static_cast<const int16_t*>(input);
    const size_t have = state->samples.size() / kChannels;
    const size_t take = std::min<size_t>(frames, state->framesToTake - have);
    state->samples.insert(state->samples.end(), samples, samples + take * kChannels);
    return have + take >= state->framesToTake ? paComplete : paContinue;
}

PaStreamParameters StreamParameters(PaDeviceIndex device, double latency)
{
    PaStreamParameters parameters{};
    parameters.device = device;
    parameters.channelCount = kChannels;
    parameters.sampleFormat = paInt16;
    parameters.suggestedLatency = latency;
    return parameters;
}

// The frames a render pin played, 16-bit stereo.
std::vector<std::vector<int16_t>> PlayedFrames(const std::string& path)
{
    const std::vector<uint8_t> bytes = Sim().RenderedBytes(path, 0);
    std::vector<std::vector<int16_t>> frames(bytes.size() / (kChannels * 2), std::vector<int16_t>(kChannels));
    for (size_t f = 0; f < frames.size(); ++f) {
        std::memcpy(frames[f].data(), bytes.data() + f * kChannels * 2, kChannels * 2);
    }
    return frames;
}

bool IsSilent(const std::vector<int16_t>& frame)
{
    return frame[0] == 0 && frame[1] == 0;
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

// Under the fast clock every write completes as it is queued, so the pin
// never runs dry; under the real-time clock it may, when this machine stalls
// the stream thread (Wine: up to ~30 ms), and then plays silence that kssim
// counts. Either way every frame the callback wrote is played once, in
// order, and any silence between them is counted underrun silence.
TEST_F(PortAudioWdmKs, RenderPlaysExactlyWhatTheCallbackWrote)
{
    for (const kssim::ClockMode clock : {kssim::ClockMode::Fast, kssim::ClockMode::RealTime}) {
        const bool fast = clock == kssim::ClockMode::Fast;
        SCOPED_TRACE(fast ? "fast clock" : "real-time clock");
        Sim().SetClockMode(clock);
        Sim().ClearRendered(kUsbRenderPath, 0);
        const int64_t underrunBefore = Sim().UnderrunFrames(kUsbRenderPath, 0);
        const PaDeviceIndex device = DeviceNamed("Speakers (USB Audio Device)");
        ASSERT_NE(device, paNoDevice);
        RenderState state;
        state.framesToPlay = kRate / 2;
        const PaStreamParameters output = StreamParameters(device, 0.05);
        PaStream* stream = nullptr;
        ASSERT_EQ(Pa_OpenStream(&stream, nullptr, &output, kRate, 480, paClipOff, RenderCallback, &state), paNoError);
        EXPECT_EQ(Sim().OpenPinInstances(kUsbRenderPath, 0), 1);
        // The pin PortAudio made: 16-bit stereo at 48 kHz.
        const std::vector<uint8_t> connect = Sim().LastPinConnect(kUsbRenderPath, 0);
        ASSERT_GE(connect.size(), sizeof(KSPIN_CONNECT) + sizeof(KSDATAFORMAT) + sizeof(WAVEFORMATEX));
        WAVEFORMATEX format;
        std::memcpy(&format, connect.data() + sizeof(KSPIN_CONNECT) + sizeof(KSDATAFORMAT), sizeof format);
        EXPECT_EQ(format.nChannels, kChannels);
        EXPECT_EQ(format.nSamplesPerSec, static_cast<DWORD>(kRate));
        EXPECT_EQ(format.wBitsPerSample, 16);
        ASSERT_EQ(Pa_StartStream(stream), paNoError);
        // The signal and 0.25 s of silence after it (a few of PortAudio's
        // writes), bounded: ten seconds are far more than that takes.
        const int64_t enough = state.framesToPlay + kRate / 4;
        for (int i = 0; i < 1000 && state.framesWritten < enough; ++i) {
            Pa_Sleep(10);
        }
        ASSERT_GE(state.framesWritten, enough) << "the callback was not called for 10 s";
        EXPECT_EQ(Pa_StopStream(stream), paNoError);
        EXPECT_EQ(Pa_CloseStream(stream), paNoError);
        EXPECT_EQ(Sim().OpenPinInstances(kUsbRenderPath, 0), 0);
        const int64_t underrun = Sim().UnderrunFrames(kUsbRenderPath, 0) - underrunBefore;
        if (fast) {
            EXPECT_EQ(underrun, 0);
        }

        // What the pin played: every frame of the signal in order (after
        // silence, should PortAudio prime the pin with it), then silence.
        const auto played = PlayedFrames(kUsbRenderPath);
        size_t f = 0;
        while (f < played.size() && IsSilent(played[f])) {
            ++f;
        }
        int64_t silenceBetween = 0;
        for (int64_t n = 0; n < state.framesToPlay; ++n, ++f) {
            while (n > 0 && f < played.size() && IsSilent(played[f])) {
                ++silenceBetween;
                ++f;
            }
            ASSERT_LT(f, played.size()) << "the pin played only " << n << " of the callback's frames (" << played.size() << " frames played, " << underrun << " underrun, " << state.framesWritten << " written)";
            ASSERT_EQ(played[f], (std::vector<int16_t>{RenderSample(n, 0), RenderSample(n, 1)})) << "frame " << n;
        }
        EXPECT_LE(silenceBetween, underrun) << "silence between written frames that the device did not count";
        for (; f < played.size(); ++f) {
            ASSERT_TRUE(IsSilent(played[f])) << "played frame " << f << " after the last one written";
        }
    }
}

TEST_F(PortAudioWdmKs, CaptureDeliversTheDevicesRampFromItsFirstFrame)
{
    const PaDeviceIndex device = DeviceNamed("Microphone (Onboard Mic)");
    ASSERT_NE(device, paNoDevice);
    // The real-time clock: under the fast one reads complete as they are
    // queued, faster than any device delivers, and PortAudio's own ring
    // buffer between its capture packets and the callback overflows.
    Sim().SetClockMode(kssim::ClockMode::RealTime);
    CaptureState state;
    state.framesToTake = kRate / 2;
    const PaStreamParameters input = StreamParameters(device, 0.05);
    PaStream* stream = nullptr;
    ASSERT_EQ(Pa_OpenStream(&stream, &input, nullptr, kRate, 480, paClipOff, CaptureCallback, &state), paNoError);
    ASSERT_EQ(Pa_StartStream(stream), paNoError);
    WaitUntilFinished(stream);
    EXPECT_EQ(Pa_StopStream(stream), paNoError);
    EXPECT_EQ(Pa_CloseStream(stream), paNoError);
    EXPECT_EQ(Sim().OpenPinInstances(kOnboardCapturePath, 0), 0);

    // The ramp from the pin's first frame on; where this machine stalled
    // the stream thread long enough for the device to lose frames, the ramp
    // jumps by exactly the frames kssim counted as lost.
    ASSERT_EQ(state.samples.size(), state.framesToTake * kChannels);
    int64_t lost = 0;
    for (size_t n = 0; n < state.framesToTake; ++n) {
        const int64_t expected = static_cast<int64_t>(n) + lost;
        if (state.samples[n * kChannels] != CaptureRampSample(expected, 0)) {
            lost += static_cast<uint16_t>(state.samples[n * kChannels] - CaptureRampSample(expected, 0));
        }
        for (int c = 0; c < kChannels; ++c) {
            ASSERT_EQ(state.samples[n * kChannels + c], CaptureRampSample(static_cast<int64_t>(n) + lost, c))
                << "frame " << n << " channel " << c;
        }
    }
    EXPECT_EQ(lost, Sim().OverrunFrames(kOnboardCapturePath, 0)) << "frames missing from the ramp that the device did not count";
    EXPECT_EQ(state.flags & paInputOverflow, 0u);
}

}  // namespace
