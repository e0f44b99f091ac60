// Property requests on filter and pin handles, synchronous and asynchronous.

#include "kssim_test_support.h"

#include <cstring>
#include <thread>

using namespace kssimtest;

namespace {

class Properties : public SimulationTest {
protected:
    void Install(kssim::DeviceModel device)
    {
        Sim().Reset({device});
        m_filter = OpenFilter(device.devicePath);
    }
    void TearDown() override
    {
        if (m_filter && m_filter != INVALID_HANDLE_VALUE) {
            KsSystem::CloseHandle(m_filter);
        }
        SimulationTest::TearDown();
    }
    template <typename T>
    T Get(ULONG pinId, ULONG id)
    {
        T value{};
        const IoResult result = PinProperty(m_filter, pinId, id, &value, sizeof value);
        EXPECT_TRUE(result.ok) << "property " << id << " error " << result.error;
        EXPECT_EQ(result.bytes, sizeof(T));
        return value;
    }
    std::vector<uint8_t> GetBlock(ULONG pinId, ULONG id)
    {
        const IoResult size = PinProperty(m_filter, pinId, id, nullptr, 0);
        EXPECT_FALSE(size.ok);
        EXPECT_EQ(size.error, static_cast<DWORD>(ERROR_MORE_DATA));
        std::vector<uint8_t> block(size.bytes);
        const IoResult read = PinProperty(m_filter, pinId, id, block.data(), static_cast<DWORD>(block.size()));
        EXPECT_TRUE(read.ok) << read.error;
        EXPECT_EQ(read.bytes, block.size());
        return block;
    }
    HANDLE m_filter = nullptr;
};

KSMULTIPLE_ITEM HeaderOf(const std::vector<uint8_t>& block)
{
    KSMULTIPLE_ITEM header{};
    std::memcpy(&header, block.data(), sizeof header);
    return header;
}

IoResult TopologyProperty(HANDLE filter, ULONG id, void* buffer, DWORD size)
{
    KSPROPERTY request{};
    request.Set = KSPROPSETID_Topology;
    request.Id = id;
    request.Flags = KSPROPERTY_TYPE_GET;
    return Property(filter, &request, sizeof request, buffer, size);
}

}  // namespace

TEST_F(Properties, PinCountCommunicationAndDataFlow)
{
    Install(kssim::RenderDevice("Speakers", kRenderPath));
    EXPECT_EQ(Get<ULONG>(0, KSPROPERTY_PIN_CTYPES), 2u);
    EXPECT_EQ(Get<ULONG>(0, KSPROPERTY_PIN_COMMUNICATION), static_cast<ULONG>(KSPIN_COMMUNICATION_SINK));
    EXPECT_EQ(Get<ULONG>(0, KSPROPERTY_PIN_DATAFLOW), static_cast<ULONG>(KSPIN_DATAFLOW_IN));
    EXPECT_EQ(Get<ULONG>(1, KSPROPERTY_PIN_COMMUNICATION), static_cast<ULONG>(KSPIN_COMMUNICATION_BRIDGE));
    EXPECT_EQ(Get<ULONG>(1, KSPROPERTY_PIN_DATAFLOW), static_cast<ULONG>(KSPIN_DATAFLOW_OUT));
    EXPECT_EQ(Get<GUID>(0, KSPROPERTY_PIN_CATEGORY), KSCATEGORY_AUDIO);
    EXPECT_EQ(Get<GUID>(1, KSPROPERTY_PIN_CATEGORY), KSNODETYPE_SPEAKER);
}

TEST_F(Properties, SizeQueriesAndTooSmallBuffersOfFixedSizeProperties)
{
    Install(kssim::RenderDevice("Speakers", kRenderPath));
    IoResult result = PinProperty(m_filter, 0, KSPROPERTY_PIN_CINSTANCES, nullptr, 0);
    EXPECT_FALSE(result.ok);
    EXPECT_EQ(result.error, static_cast<DWORD>(ERROR_MORE_DATA));
    EXPECT_EQ(result.bytes, sizeof(KSPIN_CINSTANCES));

    uint8_t small[4] = {0xAA, 0xAA, 0xAA, 0xAA};
    result = PinProperty(m_filter, 0, KSPROPERTY_PIN_CINSTANCES, small, sizeof small);
    EXPECT_FALSE(result.ok);
    EXPECT_EQ(result.error, static_cast<DWORD>(ERROR_INSUFFICIENT_BUFFER));
    EXPECT_EQ(result.bytes, 0u);
    EXPECT_EQ(small[0], 0xAA);

    // A larger buffer gets the value and the value's size.
    uint8_t large[32] = {};
    result = PinProperty(m_filter, 0, KSPROPERTY_PIN_CTYPES, large, sizeof large);
    EXPECT_TRUE(result.ok);
    EXPECT_EQ(result.bytes, 4u);
    EXPECT_EQ(large[0], 2);
}

TEST_F(Properties, InstanceCountsFollowOpenPins)
{
    kssim::DeviceModel device = kssim::RenderDevice("Speakers", kRenderPath);
    device.pins[0].instances = {2, 0};
    device.pins[0].globalInstances = {4, 1};
    Install(device);
    KSPIN_CINSTANCES local = Get<KSPIN_CINSTANCES>(0, KSPROPERTY_PIN_CINSTANCES);
    KSPIN_CINSTANCES global = Get<KSPIN_CINSTANCES>(0, KSPROPERTY_PIN_GLOBALCINSTANCES);
    EXPECT_EQ(local.PossibleCount, 2u);
    EXPECT_EQ(local.CurrentCount, 0u);
    EXPECT_EQ(global.PossibleCount, 4u);
    EXPECT_EQ(global.CurrentCount, 1u);
    HANDLE pin = OpenPin(m_filter, 0, PcmFormat(2, 48000, 16));
    local = Get<KSPIN_CINSTANCES>(0, KSPROPERTY_PIN_CINSTANCES);
    global = Get<KSPIN_CINSTANCES>(0, KSPROPERTY_PIN_GLOBALCINSTANCES);
    EXPECT_EQ(local.CurrentCount, 1u);
    EXPECT_EQ(global.CurrentCount, 2u);
    KsSystem::CloseHandle(pin);
    EXPECT_EQ(Get<KSPIN_CINSTANCES>(0, KSPROPERTY_PIN_CINSTANCES).CurrentCount, 0u);
}

TEST_F(Properties, InterfacesAndMediumsAreMultipleItemBlocks)
{
    kssim::DeviceModel device = kssim::RenderDevice("Speakers", kRenderPath);
    KSIDENTIFIER custom{};
    custom.Set = KSCATEGORY_AUDIO;
    custom.Id = 7;
    custom.Flags = 9;
    device.pins[0].interfaces.push_back(custom);
    Install(device);

    const std::vector<uint8_t> interfaces = GetBlock(0, KSPROPERTY_PIN_INTERFACES);
    ASSERT_EQ(interfaces.size(), sizeof(KSMULTIPLE_ITEM) + 2 * sizeof(KSIDENTIFIER));
    EXPECT_EQ(HeaderOf(interfaces).Size, interfaces.size());
    EXPECT_EQ(HeaderOf(interfaces).Count, 2u);
    KSIDENTIFIER items[2];
    std::memcpy(items, interfaces.data() + sizeof(KSMULTIPLE_ITEM), sizeof items);
    EXPECT_EQ(items[0].Set, KSINTERFACESETID_Standard);
    EXPECT_EQ(items[0].Id, static_cast<ULONG>(KSINTERFACE_STANDARD_STREAMING));
    EXPECT_EQ(items[1].Set, KSCATEGORY_AUDIO);
    EXPECT_EQ(items[1].Id, 7u);
    EXPECT_EQ(items[1].Flags, 9u);

    const std::vector<uint8_t> mediums = GetBlock(0, KSPROPERTY_PIN_MEDIUMS);
    ASSERT_EQ(mediums.size(), sizeof(KSMULTIPLE_ITEM) + sizeof(KSIDENTIFIER));
    std::memcpy(items, mediums.data() + sizeof(KSMULTIPLE_ITEM), sizeof(KSIDENTIFIER));
    EXPECT_EQ(items[0].Set, KSMEDIUMSETID_Standard);
    EXPECT_EQ(items[0].Id, static_cast<ULONG>(KSMEDIUM_TYPE_ANYINSTANCE));
}

TEST_F(Properties, MultipleItemBlocksAnswerTheirSizeOrHeaderAlone)
{
    Install(kssim::RenderDevice("Speakers", kRenderPath));
    const ULONG full = sizeof(KSMULTIPLE_ITEM) + sizeof(KSDATARANGE_AUDIO);
    ULONG size = 0;
    IoResult result = PinProperty(m_filter, 0, KSPROPERTY_PIN_DATARANGES, &size, sizeof size);
    EXPECT_TRUE(result.ok);
    EXPECT_EQ(result.bytes, 4u);
    EXPECT_EQ(size, full);

    KSMULTIPLE_ITEM header{};
    result = PinProperty(m_filter, 0, KSPROPERTY_PIN_DATARANGES, &header, sizeof header);
    EXPECT_TRUE(result.ok);
    EXPECT_EQ(result.bytes, 8u);
    EXPECT_EQ(header.Size, full);
    EXPECT_EQ(header.Count, 1u);

    std::vector<uint8_t> short12(12, 0xCC);
    result = PinProperty(m_filter, 0, KSPROPERTY_PIN_DATARANGES, short12.data(), 12);
    EXPECT_FALSE(result.ok);
    EXPECT_EQ(result.error, static_cast<DWORD>(ERROR_INSUFFICIENT_BUFFER));
    EXPECT_EQ(result.bytes, 0u);
    EXPECT_EQ(short12, std::vector<uint8_t>(12, 0xCC));
}

TEST_F(Properties, DataRangesLieBackToBackEachFormatSizeLong)
{
    kssim::DeviceModel device = kssim::RenderDevice("Speakers", kRenderPath);
    kssim::AudioRange first;
    first.maximumChannels = 6;
    first.minimumBitsPerSample = 16;
    first.maximumBitsPerSample = 24;
    first.minimumSampleFrequency = 44100;
    first.maximumSampleFrequency = 96000;
    kssim::AudioRange padded = first;
    padded.formatSize = 96;
    padded.subFormat = GUID_NULL;
    kssim::AudioRange cut;
    cut.formatSize = sizeof(KSDATARANGE);
    cut.subFormat = KSDATAFORMAT_SUBTYPE_ANALOG;
    device.pins[0].ranges = {first, padded, cut};
    Install(device);

    const std::vector<uint8_t> block = GetBlock(0, KSPROPERTY_PIN_DATARANGES);
    ASSERT_EQ(block.size(), 8u + 88 + 96 + 64);
    EXPECT_EQ(HeaderOf(block).Count, 3u);
    KSDATARANGE_AUDIO range{};
    std::memcpy(&range, block.data() + 8, sizeof range);
    EXPECT_EQ(range.DataRange.FormatSize, 88u);
    EXPECT_EQ(range.DataRange.MajorFormat, KSDATAFORMAT_TYPE_AUDIO);
    EXPECT_EQ(range.DataRange.SubFormat, KSDATAFORMAT_SUBTYPE_PCM);
    EXPECT_EQ(range.DataRange.Specifier, KSDATAFORMAT_SPECIFIER_WAVEFORMATEX);
    EXPECT_EQ(range.MaximumChannels, 6u);
    EXPECT_EQ(range.MinimumBitsPerSample, 16u);
    EXPECT_EQ(range.MaximumBitsPerSample, 24u);
    EXPECT_EQ(range.MinimumSampleFrequency, 44100u);
    EXPECT_EQ(range.MaximumSampleFrequency, 96000u);
    std::memcpy(&range, block.data() + 8 + 88, sizeof range);
    EXPECT_EQ(range.DataRange.FormatSize, 96u);
    EXPECT_EQ(range.DataRange.SubFormat, GUID_NULL);
    EXPECT_EQ(range.MaximumSampleFrequency, 96000u);
    EXPECT_EQ(std::vector<uint8_t>(block.begin() + 8 + 88 + 88, block.begin() + 8 + 88 + 96), std::vector<uint8_t>(8, 0));
    KSDATARANGE shortRange{};
    std::memcpy(&shortRange, block.data() + 8 + 88 + 96, sizeof shortRange);
    EXPECT_EQ(shortRange.FormatSize, 64u);
    EXPECT_EQ(shortRange.SubFormat, KSDATAFORMAT_SUBTYPE_ANALOG);
}

TEST_F(Properties, NameIsANulTerminatedWideString)
{
    kssim::DeviceModel device = kssim::RenderDevice("Speakers", kRenderPath);
    device.pins[1].name.reset();
    device.pins.push_back(device.pins[0]);
    device.pins[2].name = std::wstring(200, L'n');
    Install(device);

    IoResult result = PinProperty(m_filter, 0, KSPROPERTY_PIN_NAME, nullptr, 0);
    EXPECT_EQ(result.error, static_cast<DWORD>(ERROR_MORE_DATA));
    EXPECT_EQ(result.bytes, sizeof(L"Playback"));
    wchar_t name[130];
    std::fill(std::begin(name), std::end(name), L'#');
    result = PinProperty(m_filter, 0, KSPROPERTY_PIN_NAME, name, 259);
    EXPECT_TRUE(result.ok);
    EXPECT_EQ(result.bytes, sizeof(L"Playback"));
    EXPECT_EQ(std::wstring(name), L"Playback");
    result = PinProperty(m_filter, 0, KSPROPERTY_PIN_NAME, name, 10);
    EXPECT_FALSE(result.ok);
    EXPECT_EQ(result.error, static_cast<DWORD>(ERROR_INSUFFICIENT_BUFFER));
    EXPECT_EQ(result.bytes, 0u);

    result = PinProperty(m_filter, 1, KSPROPERTY_PIN_NAME, name, 259);
    EXPECT_FALSE(result.ok);
    EXPECT_EQ(result.error, static_cast<DWORD>(ERROR_NOT_FOUND));
    // 402 bytes do not fit the 259 the pin class offers.
    result = PinProperty(m_filter, 2, KSPROPERTY_PIN_NAME, name, 259);
    EXPECT_FALSE(result.ok);
    EXPECT_EQ(result.error, static_cast<DWORD>(ERROR_INSUFFICIENT_BUFFER));
}

TEST_F(Properties, FailingPropertiesPinIdsAndUnknownRequests)
{
    kssim::DeviceModel device = kssim::RenderDevice("Speakers", kRenderPath);
    device.pins[0].failingProperties = {KSPROPERTY_PIN_DATARANGES, KSPROPERTY_PIN_CATEGORY};
    device.pins[1].category = GUID_NULL;
    Install(device);
    ULONG value = 0;
    EXPECT_EQ(PinProperty(m_filter, 0, KSPROPERTY_PIN_DATARANGES, nullptr, 0).error, static_cast<DWORD>(ERROR_NOT_FOUND));
    EXPECT_EQ(PinProperty(m_filter, 0, KSPROPERTY_PIN_CATEGORY, nullptr, 0).error, static_cast<DWORD>(ERROR_NOT_FOUND));
    EXPECT_EQ(PinProperty(m_filter, 1, KSPROPERTY_PIN_CATEGORY, nullptr, 0).error, static_cast<DWORD>(ERROR_NOT_FOUND));
    EXPECT_TRUE(PinProperty(m_filter, 0, KSPROPERTY_PIN_DATAFLOW, &value, 4).ok);
    EXPECT_EQ(PinProperty(m_filter, 2, KSPROPERTY_PIN_DATAFLOW, &value, 4).error, static_cast<DWORD>(ERROR_INVALID_PARAMETER));
    EXPECT_EQ(PinProperty(m_filter, 0, KSPROPERTY_PIN_PHYSICALCONNECTION, &value, 4).error, static_cast<DWORD>(ERROR_NOT_FOUND));

    KSP_PIN request{};
    request.Property.Set = KSPROPSETID_Audio;
    request.Property.Id = 1;
    request.Property.Flags = KSPROPERTY_TYPE_GET;
    EXPECT_EQ(Property(m_filter, &request, sizeof request, &value, 4).error, static_cast<DWORD>(ERROR_SET_NOT_FOUND));
    request.Property.Set = KSPROPSETID_Connection;
    request.Property.Id = KSPROPERTY_CONNECTION_STATE;
    EXPECT_EQ(Property(m_filter, &request, sizeof request, &value, 4).error, static_cast<DWORD>(ERROR_SET_NOT_FOUND));
    request.Property.Set = KSPROPSETID_Pin;
    request.Property.Id = KSPROPERTY_PIN_DATAFLOW;
    request.Property.Flags = KSPROPERTY_TYPE_SET;
    EXPECT_EQ(Property(m_filter, &request, sizeof request, &value, 4).error, static_cast<DWORD>(ERROR_INVALID_FUNCTION));
    request.Property.Flags = KSPROPERTY_TYPE_GET;
    EXPECT_EQ(Property(m_filter, &request, 16, &value, 4).error, static_cast<DWORD>(ERROR_INVALID_USER_BUFFER));
    EXPECT_EQ(Property(m_filter, &request, 24, &value, 4).error, static_cast<DWORD>(ERROR_INVALID_USER_BUFFER));

    kssim::DeviceModel noCount = kssim::RenderDevice("Speakers", kRenderPath);
    noCount.pinCountFails = true;
    KsSystem::CloseHandle(m_filter);
    Install(noCount);
    EXPECT_EQ(PinProperty(m_filter, 0, KSPROPERTY_PIN_CTYPES, &value, 4).error, static_cast<DWORD>(ERROR_NOT_FOUND));
    EXPECT_TRUE(PinProperty(m_filter, 0, KSPROPERTY_PIN_DATAFLOW, &value, 4).ok);
}

TEST_F(Properties, TopologyNodesAndCategories)
{
    kssim::DeviceModel device = kssim::RenderDevice("Speakers", kRenderPath);
    Install(device);
    std::vector<uint8_t> block(256);
    IoResult result = TopologyProperty(m_filter, KSPROPERTY_TOPOLOGY_NODES, nullptr, 0);
    EXPECT_EQ(result.error, static_cast<DWORD>(ERROR_MORE_DATA));
    EXPECT_EQ(result.bytes, 8u + 3 * sizeof(GUID));
    result = TopologyProperty(m_filter, KSPROPERTY_TOPOLOGY_NODES, block.data(), 256);
    ASSERT_TRUE(result.ok);
    EXPECT_EQ(HeaderOf(block).Count, 3u);
    GUID nodes[3];
    std::memcpy(nodes, block.data() + 8, sizeof nodes);
    EXPECT_EQ(nodes[0], KSNODETYPE_SRC);
    EXPECT_EQ(nodes[1], KSNODETYPE_VOLUME);
    EXPECT_EQ(nodes[2], KSNODETYPE_DAC);

    result = TopologyProperty(m_filter, KSPROPERTY_TOPOLOGY_CATEGORIES, block.data(), 256);
    ASSERT_TRUE(result.ok);
    ASSERT_EQ(HeaderOf(block).Count, 2u);
    std::memcpy(nodes, block.data() + 8, 2 * sizeof(GUID));
    EXPECT_EQ(nodes[0], KSCATEGORY_AUDIO);
    EXPECT_EQ(nodes[1], KSCATEGORY_RENDER);
    EXPECT_EQ(TopologyProperty(m_filter, KSPROPERTY_TOPOLOGY_NAME, block.data(), 256).error,
              static_cast<DWORD>(ERROR_NOT_FOUND));

    KsSystem::CloseHandle(m_filter);
    device.nodes.clear();
    Install(device);
    result = TopologyProperty(m_filter, KSPROPERTY_TOPOLOGY_NODES, nullptr, 0);
    EXPECT_EQ(result.bytes, 8u);  // an empty list is a header, never nothing
    KsSystem::CloseHandle(m_filter);
    device.topologyFails = true;
    Install(device);
    EXPECT_EQ(TopologyProperty(m_filter, KSPROPERTY_TOPOLOGY_NODES, nullptr, 0).error, static_cast<DWORD>(ERROR_NOT_FOUND));
}

// The data path of a wave filter: render from the streaming pin through the
// nodes to the bridge pin, capture from the bridge pin through the nodes to
// the streaming pin (node pins: 1 in, 0 out), without nodes pin to pin.
TEST_F(Properties, TopologyConnectionsRunFromPinThroughTheNodesToPin)
{
    constexpr ULONG F = KSFILTER_NODE;
    struct Case {
        const char* what;
        kssim::DeviceModel device;
        std::vector<KSTOPOLOGY_CONNECTION> expected;
    };
    kssim::DeviceModel bare = kssim::RenderDevice("Speakers", kRenderPath);
    bare.nodes.clear();
    const Case cases[] = {
        {"render", kssim::RenderDevice("Speakers", kRenderPath), {{F, 0, 0, 1}, {0, 0, 1, 1}, {1, 0, 2, 1}, {2, 0, F, 1}}},
        {"capture", kssim::CaptureDevice("Microphone", kCapturePath), {{F, 1, 0, 1}, {0, 0, 1, 1}, {1, 0, 2, 1}, {2, 0, F, 0}}},
        {"render without nodes", bare, {{F, 0, F, 1}}},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        if (m_filter) {
            KsSystem::CloseHandle(m_filter);
        }
        Install(c.device);
        std::vector<uint8_t> block(256);
        const IoResult result = TopologyProperty(m_filter, KSPROPERTY_TOPOLOGY_CONNECTIONS, block.data(), 256);
        ASSERT_TRUE(result.ok) << result.error;
        ASSERT_EQ(HeaderOf(block).Count, c.expected.size());
        EXPECT_EQ(result.bytes, 8 + c.expected.size() * sizeof(KSTOPOLOGY_CONNECTION));
        for (size_t i = 0; i < c.expected.size(); ++i) {
            KSTOPOLOGY_CONNECTION got{};
            std::memcpy(&got, block.data() + 8 + i * sizeof got, sizeof got);
            EXPECT_EQ(std::vector<ULONG>({got.FromNode, got.FromNodePin, got.ToNode, got.ToNodePin}),
                      std::vector<ULONG>({c.expected[i].FromNode, c.expected[i].FromNodePin, c.expected[i].ToNode,
                                          c.expected[i].ToNodePin}))
                << "connection " << i;
        }
    }
}

TEST_F(Properties, ConnectionStateAndFormatOnAPin)
{
    Install(kssim::RenderDevice("Speakers", kRenderPath));
    const WAVEFORMATEXTENSIBLE format = ExtensibleFormat(2, 44100, 16, 16);
    std::vector<uint8_t> block = ConnectBlock(0, format.Format);
    HANDLE pin = nullptr;
    ASSERT_EQ(CreatePin(m_filter, block, &pin), static_cast<DWORD>(ERROR_SUCCESS));

    EXPECT_EQ(GetState(pin), KSSTATE_STOP);
    for (KSSTATE state : {KSSTATE_ACQUIRE, KSSTATE_PAUSE, KSSTATE_RUN, KSSTATE_PAUSE, KSSTATE_STOP, KSSTATE_RUN}) {
        EXPECT_TRUE(SetState(pin, state).ok);
        EXPECT_EQ(GetState(pin), state);
        EXPECT_EQ(Sim().PinState(kRenderPath, 0), state);
    }
    KSSTATE bad = static_cast<KSSTATE>(7);
    EXPECT_EQ(SetState(pin, bad).error, static_cast<DWORD>(ERROR_INVALID_PARAMETER));
    KSPROPERTY request{};
    request.Set = KSPROPSETID_Connection;
    request.Id = KSPROPERTY_CONNECTION_STATE;
    request.Flags = KSPROPERTY_TYPE_SET;
    uint16_t tooShort = 0;
    EXPECT_EQ(Property(pin, &request, sizeof request, &tooShort, sizeof tooShort).error,
              static_cast<DWORD>(ERROR_INSUFFICIENT_BUFFER));
    EXPECT_EQ(GetState(pin), KSSTATE_RUN);

    request.Id = KSPROPERTY_CONNECTION_DATAFORMAT;
    request.Flags = KSPROPERTY_TYPE_GET;
    std::vector<uint8_t> dataFormat(200);
    const IoResult result = Property(pin, &request, sizeof request, dataFormat.data(), 200);
    ASSERT_TRUE(result.ok);
    EXPECT_EQ(result.bytes, 104u);
    EXPECT_TRUE(std::equal(block.begin() + sizeof(KSPIN_CONNECT), block.end(), dataFormat.begin()));

    // The pin set lives on the filter, not the pin.
    KSP_PIN pinRequest{};
    pinRequest.Property.Set = KSPROPSETID_Pin;
    pinRequest.Property.Id = KSPROPERTY_PIN_CTYPES;
    pinRequest.Property.Flags = KSPROPERTY_TYPE_GET;
    ULONG value = 0;
    EXPECT_EQ(Property(pin, &pinRequest, sizeof pinRequest, &value, 4).error, static_cast<DWORD>(ERROR_SET_NOT_FOUND));
    KsSystem::CloseHandle(pin);
    EXPECT_EQ(Sim().PinState(kRenderPath, 0), KSSTATE_STOP);
}

TEST_F(Properties, SynchronousAnswersUpdateTheOverlappedAndSignalItsEvent)
{
    Install(kssim::RenderDevice("Speakers", kRenderPath));
    HANDLE event = CreateEventA(nullptr, TRUE, FALSE, nullptr);
    KSP_PIN request{};
    request.Property.Set = KSPROPSETID_Pin;
    request.Property.Id = KSPROPERTY_PIN_CTYPES;
    request.Property.Flags = KSPROPERTY_TYPE_GET;
    ULONG value = 0;
    DWORD bytes = 0;
    OVERLAPPED overlapped{};
    overlapped.hEvent = reinterpret_cast<HANDLE>(reinterpret_cast<uintptr_t>(event) | 1);
    EXPECT_TRUE(KsSystem::DeviceIoControl(m_filter, IOCTL_KS_PROPERTY, &request, sizeof request, &value, 4, &bytes,
                                          &overlapped));
    EXPECT_EQ(bytes, 4u);
    EXPECT_EQ(overlapped.Internal, 0u);
    EXPECT_EQ(overlapped.InternalHigh, 4u);
    EXPECT_EQ(WaitForSingleObject(event, 0), WAIT_OBJECT_0);

    // A size query is a warning: the event is set and the size reported.
    ResetEvent(event);
    request.Property.Id = KSPROPERTY_PIN_DATARANGES;
    EXPECT_FALSE(KsSystem::DeviceIoControl(m_filter, IOCTL_KS_PROPERTY, &request, sizeof request, nullptr, 0, &bytes,
                                           &overlapped));
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_MORE_DATA));
    EXPECT_EQ(bytes, 96u);
    EXPECT_EQ(static_cast<LONG>(overlapped.Internal), kStatusBufferOverflow);
    EXPECT_EQ(WaitForSingleObject(event, 0), WAIT_OBJECT_0);

    // An error leaves both alone.
    ResetEvent(event);
    overlapped.Internal = 0x1234;
    request.PinId = 9;
    EXPECT_FALSE(KsSystem::DeviceIoControl(m_filter, IOCTL_KS_PROPERTY, &request, sizeof request, &value, 4, &bytes,
                                           &overlapped));
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INVALID_PARAMETER));
    EXPECT_EQ(bytes, 0u);
    EXPECT_EQ(overlapped.Internal, 0x1234u);
    EXPECT_EQ(WaitForSingleObject(event, 0), static_cast<DWORD>(WAIT_TIMEOUT));
    CloseHandle(event);
}

TEST_F(Properties, RequestsOnHandlesThatAreNotFiltersOrPins)
{
    Install(kssim::RenderDevice("Speakers", kRenderPath));
    HANDLE event = CreateEventA(nullptr, TRUE, FALSE, nullptr);
    HDEVINFO set = KsSystem::SetupDiGetClassDevsA(&KSCATEGORY_AUDIO, nullptr, nullptr, DIGCF_PRESENT | DIGCF_DEVICEINTERFACE);
    ULONG value = 0;
    for (HANDLE bad : {static_cast<HANDLE>(nullptr), INVALID_HANDLE_VALUE, event, static_cast<HANDLE>(set)}) {
        EXPECT_EQ(PinProperty(bad, 0, KSPROPERTY_PIN_CTYPES, &value, 4).error, static_cast<DWORD>(ERROR_INVALID_HANDLE));
    }
    KSPROPERTY request{};
    request.Set = KSPROPSETID_Pin;
    DWORD bytes = 0;
    OVERLAPPED overlapped{};
    overlapped.hEvent = event;
    EXPECT_FALSE(KsSystem::DeviceIoControl(m_filter, 0x2F0007, &request, sizeof request, &value, 4, &bytes, &overlapped));
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INVALID_FUNCTION));
    KsSystem::SetupDiDestroyDeviceInfoList(set);
    CloseHandle(event);
}

TEST_F(Properties, AsynchronousDeviceCompletesLaterAndClearsTheCompletionPortBit)
{
    kssim::DeviceModel device = kssim::RenderDevice("Speakers", kRenderPath);
    device.asynchronousProperties = true;
    Install(device);
    Sim().HoldPropertyCompletions(true);

    HANDLE event = CreateEventA(nullptr, TRUE, FALSE, nullptr);
    OVERLAPPED overlapped{};
    overlapped.hEvent = reinterpret_cast<HANDLE>(reinterpret_cast<uintptr_t>(event) | 1);
    KSP_PIN request{};
    request.Property.Set = KSPROPSETID_Pin;
    request.Property.Id = KSPROPERTY_PIN_CTYPES;
    request.Property.Flags = KSPROPERTY_TYPE_GET;
    ULONG count = 0xDEAD;
    DWORD bytes = 0;
    EXPECT_FALSE(KsSystem::DeviceIoControl(m_filter, IOCTL_KS_PROPERTY, &request, sizeof request, &count, 4, &bytes,
                                           &overlapped));
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_IO_PENDING));
    // Nothing has happened yet: the caller returned first.
    EXPECT_EQ(static_cast<LONG>(overlapped.Internal), kStatusPending);
    EXPECT_EQ(WaitForSingleObject(event, 0), static_cast<DWORD>(WAIT_TIMEOUT));
    EXPECT_EQ(count, 0xDEADu);
    EXPECT_EQ(Sim().PendingRequestCount(), 1);

    Sim().HoldPropertyCompletions(false);
    ASSERT_EQ(WaitForSingleObject(event, 5000), WAIT_OBJECT_0);
    EXPECT_EQ(count, 2u);
    EXPECT_EQ(overlapped.Internal, 0u);
    EXPECT_EQ(overlapped.InternalHigh, 4u);
    EXPECT_EQ(Sim().PendingRequestCount(), 0);
    DWORD transferred = 0;
    EXPECT_TRUE(GetOverlappedResult(m_filter, &overlapped, &transferred, FALSE));
    EXPECT_EQ(transferred, 4u);

    // A size query pends too and completes with the size as a warning.
    ResetEvent(event);
    request.Property.Id = KSPROPERTY_PIN_DATARANGES;
    EXPECT_FALSE(KsSystem::DeviceIoControl(m_filter, IOCTL_KS_PROPERTY, &request, sizeof request, nullptr, 0, &bytes,
                                           &overlapped));
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_IO_PENDING));
    ASSERT_EQ(WaitForSingleObject(event, 5000), WAIT_OBJECT_0);
    EXPECT_EQ(static_cast<LONG>(overlapped.Internal), kStatusBufferOverflow);
    EXPECT_EQ(overlapped.InternalHigh, 96u);
    EXPECT_FALSE(GetOverlappedResult(m_filter, &overlapped, &transferred, FALSE));
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_MORE_DATA));
    CloseHandle(event);
}

TEST_F(Properties, AsynchronousStateChangesApplyWhenTheyComplete)
{
    kssim::DeviceModel device = kssim::RenderDevice("Speakers", kRenderPath);
    device.asynchronousProperties = true;
    Install(device);
    HANDLE pin = OpenPin(m_filter, 0, PcmFormat(2, 48000, 16));
    Sim().HoldPropertyCompletions(true);
    HANDLE event = CreateEventA(nullptr, TRUE, FALSE, nullptr);
    OVERLAPPED overlapped{};
    overlapped.hEvent = event;
    KSPROPERTY request{};
    request.Set = KSPROPSETID_Connection;
    request.Id = KSPROPERTY_CONNECTION_STATE;
    request.Flags = KSPROPERTY_TYPE_SET;
    KSSTATE state = KSSTATE_PAUSE;
    DWORD bytes = 0;
    EXPECT_FALSE(KsSystem::DeviceIoControl(pin, IOCTL_KS_PROPERTY, &request, sizeof request, &state, sizeof state, &bytes,
                                           &overlapped));
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_IO_PENDING));
    EXPECT_EQ(Sim().PinState(kRenderPath, 0), KSSTATE_STOP);
    Sim().HoldPropertyCompletions(false);
    ASSERT_EQ(WaitForSingleObject(event, 5000), WAIT_OBJECT_0);
    EXPECT_EQ(overlapped.Internal, 0u);
    EXPECT_EQ(Sim().PinState(kRenderPath, 0), KSSTATE_PAUSE);
    CloseHandle(event);
    KsSystem::CloseHandle(pin);
}

TEST_F(Properties, HeldAsynchronousRequestsAreCancelledByCancelOrClose)
{
    kssim::DeviceModel device = kssim::RenderDevice("Speakers", kRenderPath);
    device.asynchronousProperties = true;
    Install(device);
    Sim().HoldPropertyCompletions(true);
    HANDLE events[2] = {CreateEventA(nullptr, TRUE, FALSE, nullptr), CreateEventA(nullptr, TRUE, FALSE, nullptr)};
    OVERLAPPED overlapped[2] = {};
    ULONG values[2] = {};
    KSP_PIN request{};
    request.Property.Set = KSPROPSETID_Pin;
    request.Property.Id = KSPROPERTY_PIN_CTYPES;
    request.Property.Flags = KSPROPERTY_TYPE_GET;
    for (int i = 0; i < 2; ++i) {
        overlapped[i].hEvent = reinterpret_cast<HANDLE>(reinterpret_cast<uintptr_t>(events[i]) | 1);
        DWORD bytes = 0;
        KsSystem::DeviceIoControl(m_filter, IOCTL_KS_PROPERTY, &request, sizeof request, &values[i], 4, &bytes, &overlapped[i]);
    }
    EXPECT_TRUE(KsSystem::CancelIoEx(m_filter, &overlapped[0]));
    EXPECT_EQ(WaitForSingleObject(events[0], 0), WAIT_OBJECT_0);
    EXPECT_EQ(static_cast<LONG>(overlapped[0].Internal), kStatusCancelled);
    EXPECT_EQ(WaitForSingleObject(events[1], 0), static_cast<DWORD>(WAIT_TIMEOUT));
    EXPECT_TRUE(KsSystem::CloseHandle(m_filter));
    m_filter = nullptr;
    EXPECT_EQ(WaitForSingleObject(events[1], 0), WAIT_OBJECT_0);
    EXPECT_EQ(static_cast<LONG>(overlapped[1].Internal), kStatusCancelled);
    EXPECT_EQ(values[1], 0u);
    EXPECT_EQ(Sim().PendingRequestCount(), 0);
    CloseHandle(events[0]);
    CloseHandle(events[1]);
}

TEST_F(Properties, AsynchronousRequestsFromSeveralThreadsAllComplete)
{
    kssim::DeviceModel device = kssim::RenderDevice("Speakers", kRenderPath);
    device.asynchronousProperties = true;
    Install(device);
    std::vector<std::thread> threads;
    std::vector<int> wrong(4, 0);
    for (int t = 0; t < 4; ++t) {
        threads.emplace_back([&, t]() {
            for (int i = 0; i < 50; ++i) {
                const ULONG pinId = static_cast<ULONG>(i % 2);
                ULONG dataFlow = 0;
                const IoResult result = PinProperty(m_filter, pinId, KSPROPERTY_PIN_DATAFLOW, &dataFlow, 4);
                const ULONG expected = pinId == 0 ? KSPIN_DATAFLOW_IN : KSPIN_DATAFLOW_OUT;
                if (!result.ok || dataFlow != expected || result.bytes != 4) {
                    ++wrong[t];
                }
            }
        });
    }
    for (auto& thread : threads) {
        thread.join();
    }
    EXPECT_EQ(wrong, std::vector<int>(4, 0));
    EXPECT_EQ(Sim().PendingRequestCount(), 0);
}
