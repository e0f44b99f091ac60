// KsCreatePin against the pins' formats and rules, instance limits, and
// the handles it gives.

#include "kssim_test_support.h"

#include <cstring>

using namespace kssimtest;

namespace {

class PinCreation : public SimulationTest {
protected:
    void Install(kssim::DeviceModel device)
    {
        Sim().Reset({device});
        m_filter = OpenFilter(device.devicePath);
    }
    void TearDown() override
    {
        for (HANDLE pin : m_pins) {
            KsSystem::CloseHandle(pin);
        }
        if (m_filter && m_filter != INVALID_HANDLE_VALUE) {
            KsSystem::CloseHandle(m_filter);
        }
        SimulationTest::TearDown();
    }
    DWORD Create(const WAVEFORMATEX& format, ULONG pinId = 0, bool looped = false)
    {
        std::vector<uint8_t> block = ConnectBlock(pinId, format, looped);
        return Create(block);
    }
    DWORD Create(std::vector<uint8_t>& block)
    {
        HANDLE pin = reinterpret_cast<HANDLE>(0x1234);
        const DWORD result = CreatePin(m_filter, block, &pin);
        if (result == ERROR_SUCCESS) {
            m_pins.push_back(pin);
        } else {
            EXPECT_EQ(pin, reinterpret_cast<HANDLE>(0x1234)) << "a failed creation must not hand out a handle";
        }
        return result;
    }
    KSDATAFORMAT* DataFormatOf(std::vector<uint8_t>& block)
    {
        return reinterpret_cast<KSDATAFORMAT*>(block.data() + sizeof(KSPIN_CONNECT));
    }
    WAVEFORMATEXTENSIBLE* WaveOf(std::vector<uint8_t>& block)
    {
        return reinterpret_cast<WAVEFORMATEXTENSIBLE*>(block.data() + sizeof(KSPIN_CONNECT) + sizeof(KSDATAFORMAT));
    }
    HANDLE m_filter = nullptr;
    std::vector<HANDLE> m_pins;
};

constexpr DWORD kOk = ERROR_SUCCESS;
constexpr DWORD kRefused = ERROR_INVALID_PARAMETER;

}  // namespace

TEST_F(PinCreation, PlainPcmAndExtensibleInsideTheRangeAreAccepted)
{
    Install(kssim::RenderDevice("Speakers", kRenderPath));  // 2 channels, 16 bits, 8000..48000 Hz
    std::vector<uint8_t> block = ConnectBlock(0, PcmFormat(2, 48000, 16));
    ASSERT_EQ(Create(block), kOk);
    EXPECT_EQ(block.size(), sizeof(KSPIN_CONNECT) + 82);
    EXPECT_EQ(Sim().LastPinConnect(kRenderPath, 0), block);
    EXPECT_EQ(Sim().OpenPinInstances(kRenderPath, 0), 1);
    EXPECT_EQ(Sim().PinState(kRenderPath, 0), KSSTATE_STOP);
    EXPECT_EQ(GetState(m_pins.back()), KSSTATE_STOP);
    KsSystem::CloseHandle(m_pins.back());
    m_pins.pop_back();
    EXPECT_EQ(Sim().OpenPinInstances(kRenderPath, 0), 0);

    const WAVEFORMATEXTENSIBLE extensible = ExtensibleFormat(2, 8000, 16, 16);
    block = ConnectBlock(0, extensible.Format);
    ASSERT_EQ(Create(block), kOk);
    EXPECT_EQ(block.size(), sizeof(KSPIN_CONNECT) + 104);
    EXPECT_EQ(Sim().LastPinConnect(kRenderPath, 0), block);
    KsSystem::CloseHandle(m_pins.back());
    m_pins.pop_back();
    EXPECT_EQ(Create(PcmFormat(1, 44100, 16)), kOk);
}

TEST_F(PinCreation, FormatsOutsideTheRangesAreRefused)
{
    Install(kssim::RenderDevice("Speakers", kRenderPath));
    EXPECT_EQ(Create(PcmFormat(3, 48000, 16)), kRefused);
    EXPECT_EQ(Create(PcmFormat(2, 48000, 24)), kRefused);
    EXPECT_EQ(Create(PcmFormat(2, 48000, 8)), kRefused);
    EXPECT_EQ(Create(PcmFormat(2, 96000, 16)), kRefused);
    EXPECT_EQ(Create(PcmFormat(2, 7999, 16)), kRefused);
    EXPECT_EQ(Create(ExtensibleFormat(2, 96000, 16, 16).Format), kRefused);
    EXPECT_EQ(Sim().OpenPinInstances(kRenderPath, 0), 0);
    EXPECT_TRUE(Sim().LastPinConnect(kRenderPath, 0).empty());
}

TEST_F(PinCreation, LayoutRulesPickPlainOrExtensible)
{
    kssim::DeviceModel device = kssim::RenderDevice("Speakers", kRenderPath);
    device.pins[0].instances = {8, 0};
    device.pins[0].globalInstances = {8, 0};
    device.pins.push_back(device.pins[0]);
    device.pins.push_back(device.pins[0]);
    device.pins[0].acceptedLayouts = kssim::FormatLayouts::PcmOnly;
    device.pins[2].acceptedLayouts = kssim::FormatLayouts::ExtensibleOnly;
    Install(device);
    const WAVEFORMATEX pcm = PcmFormat(2, 48000, 16);
    const WAVEFORMATEXTENSIBLE extensible = ExtensibleFormat(2, 48000, 16, 16);
    EXPECT_EQ(Create(pcm, 0), kOk);
    EXPECT_EQ(Create(extensible.Format, 0), kRefused);
    EXPECT_EQ(Create(pcm, 2), kRefused);
    EXPECT_EQ(Create(extensible.Format, 2), kOk);
    EXPECT_EQ(Create(pcm, 3), kOk);
    EXPECT_EQ(Create(extensible.Format, 3), kOk);
    // The render fallback sends plain PCM with cbSize 18; only 18 bytes go.
    WAVEFORMATEX fallback = pcm;
    fallback.cbSize = 18;
    EXPECT_EQ(Create(fallback, 0), kOk);
}

// IEEE float (plain or extensible, the data format naming it too), 24 valid
// bits in a 32-bit container, and pins that take one of them only or refuse
// a depth their ranges claim.
TEST_F(PinCreation, FloatTwentyFourInThirtyTwoAndRefusedDepthsFollowThePinsRules)
{
    kssim::DeviceModel device = WideRenderDevice();
    kssim::AudioRange floats = device.pins[0].ranges[0];
    floats.subFormat = KSDATAFORMAT_SUBTYPE_IEEE_FLOAT;
    floats.minimumBitsPerSample = 32;
    device.pins[0].ranges.push_back(floats);
    device.pins[0].instances = {16, 0};
    device.pins[0].globalInstances = {16, 0};
    device.pins.push_back(device.pins[0]);  // 2: 24 valid bits only, extensible only
    device.pins[2].requiredValidBits = 24;
    device.pins[2].acceptedLayouts = kssim::FormatLayouts::ExtensibleOnly;
    device.pins.push_back(device.pins[0]);  // 3: claims 24 bits, refuses them
    device.pins[3].refusedBits = {24};
    device.pins.push_back(device.pins[0]);  // 4: float only
    device.pins[4].ranges = {floats};
    Install(device);

    enum Kind { FloatExtensible, FloatPlain, FloatNamedPcm, Float16Plain, Pcm24In32, Pcm32, Pcm32Plain, Pcm24, Pcm24Plain, Pcm16 };
    const auto block = [this](Kind kind, ULONG pin) {
        WAVEFORMATEXTENSIBLE wave{};
        bool floatData = kind == FloatExtensible || kind == FloatPlain || kind == Float16Plain;
        switch (kind) {
        case FloatExtensible:
        case FloatNamedPcm:
            wave = ExtensibleFormat(2, 48000, 32, 32);
            wave.SubFormat = KSDATAFORMAT_SUBTYPE_IEEE_FLOAT;
            break;
        case FloatPlain: wave.Format = PcmFormat(2, 48000, 32); wave.Format.wFormatTag = WAVE_FORMAT_IEEE_FLOAT; break;
        case Float16Plain: wave.Format = PcmFormat(2, 48000, 16); wave.Format.wFormatTag = WAVE_FORMAT_IEEE_FLOAT; break;
        case Pcm24In32: wave = ExtensibleFormat(2, 48000, 32, 24); break;
        case Pcm32: wave = ExtensibleFormat(2, 48000, 32, 32); break;
        case Pcm32Plain: wave.Format = PcmFormat(2, 48000, 32); break;
        case Pcm24: wave = ExtensibleFormat(2, 48000, 24, 24); break;
        case Pcm24Plain: wave.Format = PcmFormat(2, 48000, 24); break;
        case Pcm16: wave = ExtensibleFormat(2, 48000, 16, 16); break;
        }
        std::vector<uint8_t> bytes = ConnectBlock(pin, wave.Format);
        if (floatData) {
            DataFormatOf(bytes)->SubFormat = KSDATAFORMAT_SUBTYPE_IEEE_FLOAT;
        }
        return bytes;
    };
    struct Row {
        ULONG pin;
        Kind kind;
        DWORD expected;
    };
    const Row rows[] = {
        {0, FloatExtensible, kOk}, {0, FloatPlain, kOk},       {0, FloatNamedPcm, kRefused}, {0, Float16Plain, kRefused},
        {0, Pcm24In32, kOk},       {0, Pcm32Plain, kOk},       {2, Pcm24In32, kOk},          {2, Pcm32, kRefused},
        {2, Pcm32Plain, kRefused}, {2, FloatExtensible, kRefused}, {3, Pcm24, kRefused},     {3, Pcm24Plain, kRefused},
        {3, Pcm16, kOk},           {3, Pcm32, kOk},            {4, FloatExtensible, kOk},    {4, Pcm32, kRefused},
        {4, Pcm24In32, kRefused},
    };
    for (const Row& row : rows) {
        std::vector<uint8_t> bytes = block(row.kind, row.pin);
        EXPECT_EQ(Create(bytes), row.expected) << "pin " << row.pin << ", format " << row.kind;
    }
}

TEST_F(PinCreation, UnclaimedFormatsAndPinsThatRefuseEverything)
{
    kssim::DeviceModel device = kssim::RenderDevice("Speakers", kRenderPath);
    device.pins.push_back(device.pins[0]);
    device.pins[0].acceptsUnclaimedFormats = true;
    device.pins[2].refusesEveryFormat = true;
    Install(device);
    EXPECT_EQ(Create(PcmFormat(6, 96000, 24), 0), kOk);
    EXPECT_EQ(Create(PcmFormat(2, 48000, 16), 2), kRefused);
    EXPECT_EQ(Create(PcmFormat(2, 44100, 16), 2), kRefused);
}

TEST_F(PinCreation, InconsistentWaveFormatsAreRefused)
{
    kssim::DeviceModel device = WideRenderDevice();
    device.pins[0].instances = {16, 0};
    device.pins[0].globalInstances = {16, 0};
    Install(device);
    const WAVEFORMATEX good = PcmFormat(2, 48000, 16);
    WAVEFORMATEX format = good;
    format.nBlockAlign = 2;
    EXPECT_EQ(Create(format), kRefused);
    format = good;
    format.nAvgBytesPerSec = 48000;
    EXPECT_EQ(Create(format), kRefused);
    format = good;
    format.wBitsPerSample = 20;
    format.nBlockAlign = 5;
    format.nAvgBytesPerSec = 48000 * 5;
    EXPECT_EQ(Create(format), kRefused);
    format = good;
    format.wFormatTag = 3;  // IEEE float
    EXPECT_EQ(Create(format), kRefused);
    format = good;
    format.nChannels = 0;
    format.nBlockAlign = 0;
    format.nAvgBytesPerSec = 0;
    EXPECT_EQ(Create(format), kRefused);

    WAVEFORMATEXTENSIBLE extensible = ExtensibleFormat(2, 48000, 24, 16);
    EXPECT_EQ(Create(extensible.Format), kOk);  // valid bits below the container
    extensible.Samples.wValidBitsPerSample = 32;
    EXPECT_EQ(Create(extensible.Format), kRefused);
    extensible.Samples.wValidBitsPerSample = 0;
    EXPECT_EQ(Create(extensible.Format), kRefused);
    extensible = ExtensibleFormat(2, 48000, 16, 16);
    extensible.SubFormat = KSDATAFORMAT_SUBTYPE_IEEE_FLOAT;
    EXPECT_EQ(Create(extensible.Format), kRefused);

    // cbSize too small for the extensible part.
    extensible = ExtensibleFormat(2, 48000, 16, 16);
    std::vector<uint8_t> block = ConnectBlock(0, extensible.Format);
    WaveOf(block)->Format.cbSize = 0;
    EXPECT_EQ(Create(block), kRefused);
    // FormatSize that leaves out the extensible part.
    block = ConnectBlock(0, extensible.Format);
    DataFormatOf(block)->FormatSize = sizeof(KSDATAFORMAT) + sizeof(WAVEFORMATEX);
    EXPECT_EQ(Create(block), kRefused);
    // A data format too short for a wave format at all.
    block = ConnectBlock(0, good);
    DataFormatOf(block)->FormatSize = sizeof(KSDATAFORMAT);
    EXPECT_EQ(Create(block), kRefused);
}

TEST_F(PinCreation, DataFormatGuidsMustBeAudioPcmWaveFormatEx)
{
    Install(WideRenderDevice());
    std::vector<uint8_t> block = ConnectBlock(0, PcmFormat(2, 48000, 16));
    DataFormatOf(block)->MajorFormat = KSDATAFORMAT_TYPE_MUSIC;
    EXPECT_EQ(Create(block), kRefused);
    block = ConnectBlock(0, PcmFormat(2, 48000, 16));
    DataFormatOf(block)->Specifier = KSDATAFORMAT_SPECIFIER_DSOUND;
    EXPECT_EQ(Create(block), kRefused);
    block = ConnectBlock(0, PcmFormat(2, 48000, 16));
    DataFormatOf(block)->SubFormat = KSDATAFORMAT_SUBTYPE_IEEE_FLOAT;
    EXPECT_EQ(Create(block), kRefused);
    block = ConnectBlock(0, PcmFormat(2, 48000, 16));
    EXPECT_EQ(Create(block), kOk);
}

TEST_F(PinCreation, InterfacesAndMediumsMustBeOffered)
{
    kssim::DeviceModel device = WideRenderDevice();
    device.pins[0].instances = {8, 0};
    device.pins[0].globalInstances = {8, 0};
    Install(device);
    std::vector<uint8_t> block = ConnectBlock(0, PcmFormat(2, 48000, 16));
    reinterpret_cast<KSPIN_CONNECT*>(block.data())->Interface.Id = KSINTERFACE_STANDARD_CONTROL;
    EXPECT_EQ(Create(block), static_cast<DWORD>(ERROR_NO_MATCH));
    block = ConnectBlock(0, PcmFormat(2, 48000, 16));
    reinterpret_cast<KSPIN_CONNECT*>(block.data())->Interface.Set = KSMEDIUMSETID_Standard;
    EXPECT_EQ(Create(block), static_cast<DWORD>(ERROR_NO_MATCH));
    block = ConnectBlock(0, PcmFormat(2, 48000, 16));
    reinterpret_cast<KSPIN_CONNECT*>(block.data())->Medium.Id = 3;
    EXPECT_EQ(Create(block), static_cast<DWORD>(ERROR_NO_MATCH));
    EXPECT_EQ(Create(PcmFormat(2, 48000, 16), 0, true), kOk);
    EXPECT_EQ(Create(PcmFormat(2, 48000, 16), 0, false), kOk);
}

TEST_F(PinCreation, LoopedStreamingOnlyWhereTheDriverTakesIt)
{
    kssim::DeviceModel device = WideCaptureDevice();
    device.pins[0].acceptsLooped = false;
    Install(device);
    EXPECT_EQ(Create(PcmFormat(2, 48000, 16), 0, true), static_cast<DWORD>(ERROR_NO_MATCH));
    EXPECT_EQ(Create(PcmFormat(2, 48000, 16), 0, false), kOk);
}

TEST_F(PinCreation, InstanceLimitsMakeABusyPin)
{
    kssim::DeviceModel device = WideRenderDevice();
    device.pins.push_back(device.pins[0]);
    device.pins[2].instances = {1, 1};  // taken by someone else already
    device.pins[2].globalInstances = {4, 1};
    Install(device);
    const WAVEFORMATEX format = PcmFormat(2, 48000, 16);
    ASSERT_EQ(Create(format, 0), kOk);
    EXPECT_EQ(Create(format, 0), static_cast<DWORD>(ERROR_BAD_COMMAND));
    EXPECT_EQ(Sim().OpenPinInstances(kRenderPath, 0), 1);
    KsSystem::CloseHandle(m_pins.back());
    m_pins.pop_back();
    EXPECT_EQ(Create(format, 0), kOk);
    EXPECT_EQ(Create(format, 2), static_cast<DWORD>(ERROR_BAD_COMMAND));
    // The bridge pin has no instances at all.
    EXPECT_EQ(Create(format, 1), static_cast<DWORD>(ERROR_BAD_COMMAND));
    EXPECT_EQ(Create(format, 3), kRefused);  // no such pin
}

TEST_F(PinCreation, AnotherProgramHoldsEveryFreeInstanceUntilItLetsGo)
{
    // What CINSTANCES and GLOBALCINSTANCES report while the other program
    // holds the pin, and whether this process can still create one.
    struct Case {
        const char* what;
        KSPIN_CINSTANCES local;
        KSPIN_CINSTANCES global;
        int openedBefore;  // instances this process opens before the hold
        ULONG heldLocal;   // CurrentCount of CINSTANCES during the hold
        ULONG heldGlobal;
        bool busy;
    };
    const Case cases[] = {
        {"one instance", {1, 0}, {1, 0}, 0, 1, 1, true},
        {"two of which one is ours", {2, 0}, {2, 0}, 1, 2, 2, true},
        {"the global limit is the tighter", {4, 0}, {2, 1}, 0, 1, 2, true},
        {"no limit: one held, the pin stays free", {KSINSTANCE_INDETERMINATE, 0}, {KSINSTANCE_INDETERMINATE, 0}, 0,
         1, 1, false},
    };
    const WAVEFORMATEX format = PcmFormat(2, 48000, 16);
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        kssim::DeviceModel device = WideRenderDevice();
        device.pins[0].instances = c.local;
        device.pins[0].globalInstances = c.global;
        Install(device);
        for (int i = 0; i < c.openedBefore; ++i) {
            ASSERT_EQ(Create(format), kOk);
        }
        Sim().HoldInstances(kRenderPath, -1);
        KSPIN_CINSTANCES local{}, global{};
        ASSERT_TRUE(PinProperty(m_filter, 0, KSPROPERTY_PIN_CINSTANCES, &local, sizeof local).ok);
        ASSERT_TRUE(PinProperty(m_filter, 0, KSPROPERTY_PIN_GLOBALCINSTANCES, &global, sizeof global).ok);
        EXPECT_EQ(local.PossibleCount, c.local.PossibleCount);
        EXPECT_EQ(local.CurrentCount, c.heldLocal);
        EXPECT_EQ(global.CurrentCount, c.heldGlobal);
        EXPECT_EQ(Create(format), c.busy ? static_cast<DWORD>(ERROR_BAD_COMMAND) : kOk);
        // Holding again takes nothing more; the bridge pin has nothing to take.
        Sim().HoldInstances(kRenderPath, 0);
        Sim().HoldInstances(kRenderPath, 1);
        Sim().ReleaseInstances(kRenderPath, 0);
        ASSERT_TRUE(PinProperty(m_filter, 0, KSPROPERTY_PIN_CINSTANCES, &local, sizeof local).ok);
        EXPECT_EQ(local.CurrentCount, static_cast<ULONG>(m_pins.size()) + c.local.CurrentCount);
        if (c.busy) {
            EXPECT_EQ(Create(format), kOk) << "freed again";
        }
        for (HANDLE pin : m_pins) {
            KsSystem::CloseHandle(pin);
        }
        m_pins.clear();
        KsSystem::CloseHandle(m_filter);
        m_filter = nullptr;
    }
    EXPECT_THROW(Sim().HoldInstances(kRenderPath, 2), std::invalid_argument);
    EXPECT_THROW(Sim().ReleaseInstances("no such path", -1), std::invalid_argument);
}

TEST_F(PinCreation, MissingKsUserAndBadHandles)
{
    Install(WideRenderDevice());
    Sim().SetKsUserMissing(true);
    EXPECT_EQ(Create(PcmFormat(2, 48000, 16)), static_cast<DWORD>(ERROR_FILE_NOT_FOUND));
    Sim().SetKsUserMissing(false);
    ASSERT_EQ(Create(PcmFormat(2, 48000, 16)), kOk);

    std::vector<uint8_t> block = ConnectBlock(0, PcmFormat(2, 48000, 16));
    HANDLE pin = nullptr;
    EXPECT_EQ(KsSystem::KsCreatePin(m_pins.back(), reinterpret_cast<PKSPIN_CONNECT>(block.data()), GENERIC_READ, &pin),
              static_cast<DWORD>(ERROR_INVALID_HANDLE));
    EXPECT_EQ(KsSystem::KsCreatePin(INVALID_HANDLE_VALUE, reinterpret_cast<PKSPIN_CONNECT>(block.data()), GENERIC_READ, &pin),
              static_cast<DWORD>(ERROR_INVALID_HANDLE));
    EXPECT_EQ(KsSystem::KsCreatePin(m_filter, nullptr, GENERIC_READ, &pin), kRefused);
    Sim().RemoveDevice(kRenderPath);
    EXPECT_EQ(KsSystem::KsCreatePin(m_filter, reinterpret_cast<PKSPIN_CONNECT>(block.data()), GENERIC_READ, &pin),
              static_cast<DWORD>(ERROR_DEVICE_REMOVED));
}

TEST_F(PinCreation, CaptureTakesAWideContainerWithSixteenValidBits)
{
    Install(WideCaptureDevice());
    const WAVEFORMATEXTENSIBLE format = ExtensibleFormat(2, 44100, 24, 16);
    ASSERT_EQ(Create(format.Format), kOk);
    const std::vector<uint8_t> connect = Sim().LastPinConnect(kCapturePath, 0);
    WAVEFORMATEXTENSIBLE recorded{};
    std::memcpy(&recorded, connect.data() + sizeof(KSPIN_CONNECT) + sizeof(KSDATAFORMAT), sizeof recorded);
    EXPECT_EQ(recorded.Samples.wValidBitsPerSample, 16);
    EXPECT_EQ(recorded.dwChannelMask, 3u);
}

TEST_F(PinCreation, FilterHandlesAreKernelObjectsAndNeverRealHandles)
{
    Sim().Reset({kssim::RenderDevice("Speakers", kRenderPath)});
    const DWORD before = HandleCount();
    HANDLE first = OpenFilter(kRenderPath);
    // Device paths are matched without regard to case.
    std::string upper = kRenderPath;
    for (char& c : upper) {
        c = static_cast<char>(toupper(static_cast<unsigned char>(c)));
    }
    HANDLE second = OpenFilter(upper);
    EXPECT_NE(first, second);
    EXPECT_EQ(HandleCount(), before + 2);
    EXPECT_EQ(Sim().OpenHandleCount(), 2);
    EXPECT_TRUE(KsSystem::CloseHandle(first));
    EXPECT_EQ(HandleCount(), before + 1);

    // A second close of the same value must not reach an object that took
    // its place in the process's handle table.
    std::vector<HANDLE> events;
    for (int i = 0; i < 16; ++i) {
        events.push_back(CreateEventA(nullptr, TRUE, FALSE, nullptr));
    }
    EXPECT_FALSE(KsSystem::CloseHandle(first));
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INVALID_HANDLE));
    for (HANDLE event : events) {
        EXPECT_EQ(WaitForSingleObject(event, 0), static_cast<DWORD>(WAIT_TIMEOUT));
        // Other handles are closed by Windows through the same function.
        EXPECT_TRUE(KsSystem::CloseHandle(event));
        EXPECT_EQ(WaitForSingleObject(event, 0), WAIT_FAILED);
    }
    EXPECT_TRUE(KsSystem::CloseHandle(second));
    EXPECT_EQ(HandleCount(), before);
}

TEST_F(PinCreation, OpeningUnknownRemovedOrFailingDevices)
{
    kssim::DeviceModel locked = kssim::RenderDevice("Locked", "\\\\?\\sim#locked");
    locked.openFails = true;
    Sim().Reset({kssim::RenderDevice("Speakers", kRenderPath), locked});
    auto open = [](const char* path) {
        return KsSystem::CreateFileA(path, GENERIC_READ | GENERIC_WRITE, 0, nullptr, OPEN_EXISTING,
                                     FILE_ATTRIBUTE_NORMAL | FILE_FLAG_OVERLAPPED, nullptr);
    };
    EXPECT_EQ(open("\\\\?\\sim#nothing"), INVALID_HANDLE_VALUE);
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_FILE_NOT_FOUND));
    EXPECT_EQ(open("\\\\?\\sim#locked"), INVALID_HANDLE_VALUE);
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_ACCESS_DENIED));
    Sim().RemoveDevice(kRenderPath);
    EXPECT_EQ(open(kRenderPath), INVALID_HANDLE_VALUE);
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_FILE_NOT_FOUND));
    EXPECT_EQ(Sim().OpenHandleCount(), 0);
}
