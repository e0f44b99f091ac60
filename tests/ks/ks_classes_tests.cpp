// The kernel-streaming classes over simulated devices: what they read, how
// they classify, which formats they try and who owns which pin.
#include "directks.h"
#include "kssim.h"
#include "ks_system.h"
#include "ks_trace_level_guard.h"
#include "trace_capture.h"

#include <gtest/gtest.h>

#include <cstring>
#include <memory>

namespace {

using kssim::AudioRange;
using kssim::DeviceModel;
using kssim::PinModel;

const GUID kRenderCategories[2] = {KSCATEGORY_AUDIO, KSCATEGORY_RENDER};
const GUID kCaptureCategories[2] = {KSCATEGORY_AUDIO, KSCATEGORY_CAPTURE};
const char* const kPath = "\\\\?\\sim#render#a";

kssim::Simulation& Sim()
{
    return kssim::Simulation::Instance();
}

WAVEFORMATEX Pcm(WORD channels, DWORD rate, WORD bits)
{
    WAVEFORMATEX format{};
    format.wFormatTag = WAVE_FORMAT_PCM;
    format.nChannels = channels;
    format.nSamplesPerSec = rate;
    format.wBitsPerSample = bits;
    format.nBlockAlign = static_cast<WORD>(channels * bits / 8);
    format.nAvgBytesPerSec = rate * format.nBlockAlign;
    return format;
}

WAVEFORMATEXTENSIBLE Extensible(WORD channels, DWORD rate, WORD bits)
{
    WAVEFORMATEXTENSIBLE format{};
    format.Format = Pcm(channels, rate, bits);
    format.Format.wFormatTag = WAVE_FORMAT_EXTENSIBLE;
    format.Format.cbSize = 22;
    format.Samples.wValidBitsPerSample = bits;
    format.dwChannelMask = 3;
    format.SubFormat = KSDATAFORMAT_SUBTYPE_PCM;
    return format;
}

class KsClassesTest : public testing::Test {
protected:
    void TearDown() override { Sim().Reset(); }

    // An opened, enumerated render filter over the one device of the model.
    std::unique_ptr<CKsAudRenFilter> OpenRenderFilter(const DeviceModel& device)
    {
        Sim().Reset({device});
        HRESULT hr = E_FAIL;
        auto filter = std::make_unique<CKsAudRenFilter>(device.devicePath.c_str(), &hr);
        EXPECT_EQ(hr, S_OK);
        EXPECT_EQ(filter->Instantiate(), S_OK);
        EXPECT_EQ(filter->EnumeratePins(), S_OK);
        return filter;
    }
};

PinModel SinkPin(ULONG dataFlow)
{
    PinModel pin;
    pin.communication = KSPIN_COMMUNICATION_SINK;
    pin.dataFlow = dataFlow;
    pin.interfaces = {kssim::StandardStreamingInterface()};
    pin.mediums = {kssim::StandardMedium()};
    pin.ranges = {AudioRange()};
    pin.name = L"Pin";
    return pin;
}

}  // namespace

TEST_F(KsClassesTest, SizeQueryTooSmallBufferAndAsynchronousCompletion)
{
    for (bool asynchronous : {false, true}) {
        DeviceModel device = kssim::RenderDevice("Spk", kPath);
        device.asynchronousProperties = asynchronous;
        Sim().Reset({device});
        HRESULT hr = E_FAIL;
        CKsFilter filter(kPath, &hr);
        ASSERT_EQ(filter.Instantiate(), S_OK);
        KSP_PIN request{};
        request.Property.Set = KSPROPSETID_Pin;
        request.Property.Id = KSPROPERTY_PIN_DATARANGES;
        request.Property.Flags = KSPROPERTY_TYPE_GET;
        ULONG bytes = 0;
        const HRESULT sized = CKsIrpTarget::SyncIoctl(filter.GetHandle(), &request, sizeof request, nullptr, 0, &bytes);
        if (asynchronous) {
            // A pending answer is waited for; its byte count is not fetched.
            EXPECT_EQ(sized, S_OK);
            EXPECT_EQ(bytes, 0u);
            continue;
        }
        EXPECT_EQ(sized, S_OK);
        EXPECT_EQ(bytes, sizeof(KSMULTIPLE_ITEM) + sizeof(KSDATARANGE_AUDIO));
        std::vector<BYTE> small(bytes - 1);
        ULONG smallBytes = 77;
        EXPECT_EQ(CKsIrpTarget::SyncIoctl(filter.GetHandle(), &request, sizeof request, small.data(),
                                          static_cast<ULONG>(small.size()), &smallBytes),
                  E_FAIL);
        EXPECT_EQ(smallBytes, 0u);
        std::vector<BYTE> full(bytes);
        ULONG fullBytes = 0;
        EXPECT_EQ(CKsIrpTarget::SyncIoctl(filter.GetHandle(), &request, sizeof request, full.data(), bytes, &fullBytes),
                  S_OK);
        EXPECT_EQ(fullBytes, bytes);
        EXPECT_EQ(reinterpret_cast<KSMULTIPLE_ITEM*>(full.data())->Count, 1u);
    }
}

TEST_F(KsClassesTest, PendingPropertyAnswersAreWaitedForAndSizeQueriesReadAsEmpty)
{
    DeviceModel device = kssim::RenderDevice("Spk", kPath);
    device.asynchronousProperties = true;
    Sim().Reset({device});
    HRESULT hr = E_FAIL;
    CKsFilter filter(kPath, &hr);
    ASSERT_EQ(filter.Instantiate(), S_OK);
    HRESULT hrPin = E_FAIL;
    CKsPin pin(&filter, 0, &hrPin);
    // The size queries pend and report nothing, so the multiple-item
    // properties read as empty: the pin is still usable.
    EXPECT_EQ(hrPin, S_OK);
    EXPECT_EQ(pin.m_Descriptor.Communication, KSPIN_COMMUNICATION_SINK);
    EXPECT_EQ(pin.m_Descriptor.DataFlow, KSPIN_DATAFLOW_IN);
    EXPECT_EQ(pin.m_Descriptor.DataRangesCount, 0u);
}

TEST_F(KsClassesTest, PinsAreClassifiedByDataFlowAndCommunication)
{
    DeviceModel device = kssim::RenderDevice("Spk", kPath);
    PinModel both = SinkPin(KSPIN_DATAFLOW_OUT);
    both.communication = KSPIN_COMMUNICATION_BOTH;
    PinModel none = SinkPin(KSPIN_DATAFLOW_IN);
    none.communication = KSPIN_COMMUNICATION_NONE;
    PinModel source = SinkPin(KSPIN_DATAFLOW_IN);
    source.communication = KSPIN_COMMUNICATION_SOURCE;
    device.pins = {SinkPin(KSPIN_DATAFLOW_IN), both, none, source, device.pins[1]};  // last: bridge
    Sim().Reset({device});
    KsTraceLevelGuard level(5);
    TraceCapture capture;
    HRESULT hr = E_FAIL;
    CKsFilter filter(kPath, &hr);
    ASSERT_EQ(filter.Instantiate(), S_OK);
    ASSERT_EQ(filter.EnumeratePins(), S_OK);
    ASSERT_EQ(filter.m_Pins.GetCount(), 5);
    auto pinAt = [&](int index) {
        auto* item = filter.m_Pins.m_pHead;
        for (int i = 0; i < index; ++i) {
            item = item->pNext;
        }
        return item->pData;
    };
    EXPECT_EQ(filter.m_RenderSinkPins.GetCount(), 1);
    EXPECT_NE(filter.m_RenderSinkPins.Find(pinAt(0)), nullptr);
    EXPECT_NE(filter.m_CaptureSinkPins.Find(pinAt(1)), nullptr) << "both: sink list";
    EXPECT_NE(filter.m_CaptureSourcePins.Find(pinAt(1)), nullptr) << "and source list";
    EXPECT_NE(filter.m_NoCommunicationPins.Find(pinAt(2)), nullptr);
    EXPECT_NE(filter.m_RenderSourcePins.Find(pinAt(3)), nullptr);
    for (auto* list : {&filter.m_RenderSinkPins, &filter.m_CaptureSinkPins, &filter.m_CaptureSourcePins,
                       &filter.m_RenderSourcePins, &filter.m_NoCommunicationPins}) {
        EXPECT_EQ(list->Find(pinAt(4)), nullptr) << "a bridge pin is classified nowhere";
    }
    EXPECT_EQ(capture.Count("Pin communication type not recognized"), 1u);
    EXPECT_EQ(filter.DestroyLists(), S_OK);
    EXPECT_EQ(filter.m_Pins.GetCount(), 0);
    EXPECT_EQ(filter.m_CaptureSourcePins.GetCount(), 0);
}

TEST_F(KsClassesTest, AFilterWhosePinCountCannotBeReadIsNotViable)
{
    DeviceModel device = kssim::RenderDevice("Spk", kPath);
    device.pinCountFails = true;
    Sim().Reset({device});
    KsTraceLevelGuard level(1);
    TraceCapture capture;
    HRESULT hr = E_FAIL;
    CKsFilter filter(kPath, &hr);
    ASSERT_EQ(filter.Instantiate(), S_OK);
    EXPECT_EQ(filter.EnumeratePins(), E_FAIL);
    EXPECT_TRUE(capture.Contains("Filter is not viable. It has no pins."));
    HRESULT hrAudio = E_FAIL;
    CKsAudRenFilter audio(kPath, &hrAudio);
    ASSERT_EQ(audio.Instantiate(), S_OK);
    capture.Clear();
    EXPECT_EQ(audio.EnumeratePins(), E_FAIL);
    EXPECT_EQ(capture.Lines(), (std::vector<std::string>{"Failed to retrieve count of pins in audio filter",
                                                         "No valid pins found on the filter"}));
}

TEST_F(KsClassesTest, UnreadablePinPropertiesGiveSFalseAndAPinWithoutName)
{
    DeviceModel device = kssim::RenderDevice("Spk", kPath);
    device.pins[0].name.reset();
    device.pins[0].failingProperties = {KSPROPERTY_PIN_CATEGORY};
    Sim().Reset({device});
    KsTraceLevelGuard level(3);
    TraceCapture capture;
    HRESULT hr = E_FAIL;
    CKsFilter filter(kPath, &hr);
    ASSERT_EQ(filter.Instantiate(), S_OK);
    HRESULT hrPin = E_FAIL;
    CKsPin pin(&filter, 0, &hrPin);
    EXPECT_EQ(hrPin, S_FALSE);
    EXPECT_EQ(capture.Lines(), (std::vector<std::string>{
                                   "Failed to retrieve pin property KSPROPERTY_PIN_CATEGORY on PinID: 0",
                                   "Failed to retrieve pin property KSPROPERTY_PIN_NAME on PinID: 0"}));
    EXPECT_EQ(pin.m_szPinName[0], 0);
    EXPECT_EQ(pin.m_Descriptor.DataRangesCount, 1u) << "the rest was read";
    EXPECT_EQ(pin.m_Descriptor.InterfacesCount, 1u);
}

TEST_F(KsClassesTest, TheDataRangeWalkAndFormatBounds)
{
    DeviceModel device = kssim::RenderDevice("Spk", kPath);
    AudioRange analog;
    analog.subFormat = KSDATAFORMAT_SUBTYPE_ANALOG;
    AudioRange bounded;
    bounded.maximumChannels = 2;
    bounded.minimumBitsPerSample = 16;
    bounded.maximumBitsPerSample = 24;
    bounded.minimumSampleFrequency = 44100;
    bounded.maximumSampleFrequency = 48000;
    AudioRange afterViable;  // not tested on its subformat once one passed
    afterViable.subFormat = KSDATAFORMAT_SUBTYPE_ANALOG;
    afterViable.maximumChannels = 8;
    device.pins[0].ranges = {analog, bounded, afterViable};
    auto filter = OpenRenderFilter(device);
    auto* pin = static_cast<CKsAudPin*>(filter->m_RenderSinkPins.m_pHead->pData);
    ASSERT_EQ(pin->m_DataRanges.GetCount(), 2) << "the analog range before the first PCM one is skipped";
    EXPECT_EQ(pin->m_DataRanges.m_pHead->pData->MaximumChannels, 2u);
    EXPECT_EQ(pin->m_DataRanges.m_pTail->pData->MaximumChannels, 8u);

    WAVEFORMATEX ok = Pcm(2, 44100, 16);
    EXPECT_TRUE(pin->IsFormatSupported(&ok));
    WAVEFORMATEX edges = Pcm(2, 48000, 24);
    EXPECT_TRUE(pin->IsFormatSupported(&edges)) << "bounds are inclusive";
    for (WAVEFORMATEX bad : {Pcm(3, 44100, 16), Pcm(2, 44100, 8), Pcm(2, 96000, 16), Pcm(2, 44099, 16)}) {
        EXPECT_FALSE(pin->IsFormatSupported(&bad)) << bad.nChannels << " " << bad.wBitsPerSample << " "
                                                    << bad.nSamplesPerSec;
    }
    WAVEFORMATEXTENSIBLE extensible = Extensible(2, 44100, 16);
    EXPECT_TRUE(pin->IsFormatSupported(&extensible.Format));
    extensible.SubFormat = KSDATAFORMAT_SUBTYPE_IEEE_FLOAT;
    EXPECT_FALSE(pin->IsFormatSupported(&extensible.Format));
}

TEST_F(KsClassesTest, AWildcardSubformatTakesAnySubtype)
{
    DeviceModel device = kssim::RenderDevice("Spk", kPath);
    AudioRange any;
    any.subFormat = GUID_NULL;
    device.pins[0].ranges = {any};
    auto filter = OpenRenderFilter(device);
    auto* pin = static_cast<CKsAudPin*>(filter->m_RenderSinkPins.m_pHead->pData);
    WAVEFORMATEXTENSIBLE floating = Extensible(2, 44100, 16);
    floating.SubFormat = KSDATAFORMAT_SUBTYPE_IEEE_FLOAT;
    EXPECT_TRUE(pin->IsFormatSupported(&floating.Format));
}

TEST_F(KsClassesTest, ARangeShorterThanAnAudioRangeIsCopiedAsFarAsItGoes)
{
    DeviceModel device = kssim::RenderDevice("Spk", kPath);
    AudioRange shortRange;
    shortRange.formatSize = sizeof(KSDATARANGE) + 4;  // MaximumChannels only
    shortRange.maximumChannels = 6;
    shortRange.maximumBitsPerSample = 24;
    AudioRange next;
    next.maximumChannels = 2;
    device.pins[0].ranges = {shortRange, next};
    auto filter = OpenRenderFilter(device);
    auto* pin = static_cast<CKsAudPin*>(filter->m_RenderSinkPins.m_pHead->pData);
    ASSERT_EQ(pin->m_DataRanges.GetCount(), 2) << "the walk steps by FormatSize";
    const KSDATARANGE_AUDIO* first = pin->m_DataRanges.m_pHead->pData;
    EXPECT_EQ(first->DataRange.FormatSize, sizeof(KSDATARANGE) + 4);
    EXPECT_EQ(first->MaximumChannels, 6u);
    EXPECT_EQ(first->MinimumBitsPerSample, 0u) << "what the range does not hold stays zero";
    EXPECT_EQ(first->MaximumBitsPerSample, 0u);
    EXPECT_EQ(pin->m_DataRanges.m_pTail->pData->MaximumChannels, 2u);
}

TEST_F(KsClassesTest, APinWithOnlyANonStandardMediumIsNotAnAudioPin)
{
    DeviceModel device = kssim::RenderDevice("Spk", kPath);
    KSIDENTIFIER other{};
    other.Set = KSINTERFACESETID_Standard;
    other.Id = 5;
    device.pins[0].mediums = {other};
    Sim().Reset({device});
    HRESULT hr = E_FAIL;
    CKsAudRenFilter filter(kPath, &hr);
    ASSERT_EQ(filter.Instantiate(), S_OK);
    KsTraceLevelGuard level(1);
    TraceCapture capture;
    HRESULT hrPin = E_FAIL;
    CKsAudPin pin(&filter, 0, &hrPin);
    EXPECT_EQ(hrPin, E_FAIL);
    EXPECT_TRUE(capture.Contains("No standard streaming mediums on the pin"));
}

TEST_F(KsClassesTest, SetFormatSizesTheCreationRequest)
{
    auto filter = OpenRenderFilter(kssim::RenderDevice("Spk", kPath));
    auto* pin = static_cast<CKsAudPin*>(filter->m_RenderSinkPins.m_pHead->pData);
    EXPECT_EQ(pin->m_cbConnect, sizeof(KSPIN_CONNECT) + 64 + 18);
    EXPECT_EQ(pin->m_pksDataFormatWfx->FormatSize, 82u);
    WAVEFORMATEXTENSIBLE extensible = Extensible(2, 48000, 24);
    ASSERT_EQ(pin->SetFormat(&extensible.Format), S_OK);
    EXPECT_EQ(pin->m_pksDataFormatWfx->FormatSize, 104u);
    EXPECT_EQ(pin->m_cbConnect, sizeof(KSPIN_CONNECT) + 104);
    EXPECT_EQ(pin->m_pksDataFormatWfx->SampleSize, 6u);
    EXPECT_EQ(std::memcmp(pin->m_pksDataFormatWfx + 1, &extensible, sizeof extensible), 0);
    EXPECT_TRUE(IsEqualGUID(pin->m_pksDataFormatWfx->SubFormat, KSDATAFORMAT_SUBTYPE_PCM));
    // A PCM format with a stray cbSize: 18 bytes only.
    WAVEFORMATEX pcm = Pcm(1, 44100, 16);
    pcm.cbSize = 22;
    ASSERT_EQ(pin->SetFormat(&pcm), S_OK);
    EXPECT_EQ(pin->m_pksDataFormatWfx->FormatSize, 82u);
    EXPECT_EQ(pin->m_cbConnect, sizeof(KSPIN_CONNECT) + 82);
    EXPECT_EQ(pin->m_pksDataFormatWfx->SampleSize, 2u);
    EXPECT_EQ(pin->m_pksPinCreate->PinId, 0u);
    EXPECT_EQ(pin->m_pksPinCreate->Priority.PriorityClass, static_cast<ULONG>(KSPRIORITY_NORMAL));
    EXPECT_EQ(pin->SetFormat(nullptr), E_FAIL);
}

TEST_F(KsClassesTest, ARenderPinLeavesItsFilterAndOutlivesIt)
{
    auto filter = OpenRenderFilter(kssim::RenderDevice("Spk", kPath));
    WAVEFORMATEXTENSIBLE format = Extensible(2, 48000, 16);
    CKsAudPin* pin = filter->CreateRenderPin(&format.Format);
    ASSERT_NE(pin, nullptr);
    EXPECT_TRUE(CKsIrpTarget::IsValidHandle(pin->GetHandle()));
    EXPECT_EQ(filter->m_Pins.Find(pin), nullptr);
    EXPECT_EQ(filter->m_RenderSinkPins.Find(pin), nullptr);
    filter.reset();
    EXPECT_EQ(Sim().OpenPinInstances(kPath, 0), 1) << "the filter's end left the pin open";
    EXPECT_EQ(pin->SetState(KSSTATE_RUN), S_OK);
    EXPECT_EQ(Sim().PinState(kPath, 0), KSSTATE_RUN);
    pin->ClosePin();
    EXPECT_EQ(Sim().PinState(kPath, 0), KSSTATE_STOP);
    EXPECT_EQ(Sim().OpenPinInstances(kPath, 0), 0);
    delete pin;
}

TEST_F(KsClassesTest, TheRenderFallbackTriesEverySinkPinWhetherItClaimsTheFormatOrNot)
{
    DeviceModel device = kssim::RenderDevice("Spk", kPath);
    PinModel refuser = SinkPin(KSPIN_DATAFLOW_IN);
    refuser.refusesEveryFormat = true;  // claims, then refuses
    PinModel quiet = SinkPin(KSPIN_DATAFLOW_IN);
    AudioRange narrow;
    narrow.maximumSampleFrequency = 22050;
    quiet.ranges = {narrow};
    quiet.acceptsUnclaimedFormats = true;  // says 22050 at most, takes 48000
    device.pins = {refuser, quiet};
    auto filter = OpenRenderFilter(device);
    KsTraceLevelGuard level(4);
    TraceCapture capture;
    WAVEFORMATEX format = Pcm(2, 48000, 16);
    CKsAudPin* pin = filter->CreateRenderPin(&format);
    ASSERT_NE(pin, nullptr);
    EXPECT_EQ(pin->m_nId, 1u);
    EXPECT_TRUE(capture.Contains("Failed to instantiate Render Pin"));
    EXPECT_EQ(filter->m_RenderSinkPins.GetCount(), 1);
    EXPECT_EQ(filter->m_Pins.GetCount(), 1);
    delete pin;
}

TEST_F(KsClassesTest, ACapturePinStaysWithItsFilterAndCanBeTriedAgain)
{
    DeviceModel device = kssim::CaptureDevice("Mic", kPath);
    device.pins[0].acceptedLayouts = kssim::FormatLayouts::PcmOnly;
    Sim().Reset({device});
    HRESULT hr = E_FAIL;
    CKsAudCapFilter filter(kPath, &hr);
    ASSERT_EQ(filter.Instantiate(), S_OK);
    ASSERT_EQ(filter.EnumeratePins(), S_OK);
    WAVEFORMATEXTENSIBLE extensible = Extensible(2, 48000, 16);
    KsTraceLevelGuard level(1);
    TraceCapture capture;
    EXPECT_EQ(filter.CreateCapturePin(&extensible.Format, FALSE), nullptr);
    EXPECT_TRUE(capture.Contains("Failed to instantiate Capture Pin"));
    WAVEFORMATEX pcm = Pcm(2, 48000, 16);
    CKsAudPin* pin = filter.CreateCapturePin(&pcm, TRUE);
    ASSERT_NE(pin, nullptr);
    EXPECT_TRUE(pin->m_bLooped);
    EXPECT_EQ(pin->m_pksPinCreate->Interface.Id, static_cast<ULONG>(KSINTERFACE_STANDARD_LOOPED_STREAMING));
    EXPECT_NE(filter.m_Pins.Find(pin), nullptr) << "the filter keeps owning it";
    EXPECT_NE(filter.m_CaptureSinkPins.Find(pin), nullptr);
    pin->ClosePin();
}

TEST_F(KsClassesTest, KsUserMissingFailsEveryInstantiation)
{
    auto filter = OpenRenderFilter(kssim::RenderDevice("Spk", kPath));
    Sim().SetKsUserMissing(true);
    auto* pin = static_cast<CKsAudPin*>(filter->m_RenderSinkPins.m_pHead->pData);
    WAVEFORMATEX format = Pcm(2, 48000, 16);
    ASSERT_EQ(pin->SetFormat(&format), S_OK);
    EXPECT_EQ(pin->Instantiate(FALSE), static_cast<HRESULT>(0x80070002));
    EXPECT_EQ(filter->CreateRenderPin(&format), nullptr);
}

TEST_F(KsClassesTest, TheDeviceRangeIsTheHeadRangeOfTheLastSinkPin)
{
    DeviceModel device = kssim::RenderDevice("Spk", kPath);
    PinModel first = SinkPin(KSPIN_DATAFLOW_IN);
    first.ranges[0].maximumChannels = 6;
    PinModel second = SinkPin(KSPIN_DATAFLOW_IN);
    AudioRange head;
    head.maximumChannels = 4;
    AudioRange tail;
    tail.maximumChannels = 8;
    second.ranges = {head, tail};
    device.pins = {first, second};
    {
        auto filter = OpenRenderFilter(device);
        KSDATARANGE_AUDIO* range = filter->GetKsAudioDataRange();
        ASSERT_NE(range, nullptr);
        EXPECT_EQ(range->MaximumChannels, 4u);
    }
    // The last pin without an audio range: null, whatever the first holds.
    device.pins[1].ranges[0].majorFormat = KSDATAFORMAT_TYPE_VIDEO;
    device.pins[1].ranges.resize(1);
    auto filter = OpenRenderFilter(device);
    EXPECT_EQ(filter->m_RenderSinkPins.GetCount(), 2);
    EXPECT_EQ(filter->GetKsAudioDataRange(), nullptr);
}

TEST_F(KsClassesTest, EnumerationSkipsWhatItCannotUseAndNamesByLocationWhenNeeded)
{
    DeviceModel good = kssim::RenderDevice("Speakers", "\\\\?\\sim#good");
    good.location = "Port_#0001.Hub_#0001";
    DeviceModel noAlias = kssim::RenderDevice("No alias", "\\\\?\\sim#noalias");
    noAlias.aliases.clear();
    DeviceModel removed = kssim::RenderDevice("Removed", "\\\\?\\sim#removed");
    removed.aliases[KSCATEGORY_RENDER] = SPINT_ACTIVE | SPINT_REMOVED;
    DeviceModel locked = kssim::RenderDevice("Locked", "\\\\?\\sim#locked");
    locked.openFails = true;
    locked.location = "Port_#0003.Hub_#0001";
    DeviceModel unnamed = kssim::RenderDevice("x", "\\\\?\\sim#unnamed");
    unnamed.friendlyName.reset();
    unnamed.location = "Port_#0002.Hub_#0001";
    DeviceModel nameless = kssim::RenderDevice("x", "\\\\?\\sim#nameless");
    nameless.friendlyName.reset();
    nameless.location.reset();
    DeviceModel microphone = kssim::CaptureDevice("Mic", "\\\\?\\sim#mic");
    Sim().Reset({good, noAlias, removed, locked, unnamed, nameless, microphone});
    KsTraceLevelGuard level(5);
    TraceCapture capture;
    HRESULT hr = E_FAIL;
    CKsEnumFilters enumerator(&hr);
    ASSERT_EQ(enumerator.EnumFilters(KsFilterRender, kRenderCategories), S_OK);
    std::vector<std::string> names;
    for (auto* item = enumerator.m_Filters.m_pHead; item; item = item->pNext) {
        names.push_back(item->pData->m_szFriendlyName);
        EXPECT_NE(dynamic_cast<CKsAudRenFilter*>(item->pData), nullptr);
    }
    EXPECT_EQ(names, (std::vector<std::string>{"Speakers", "Port_#0002.Hub_#0001", ""}));
    EXPECT_EQ(capture.Count("Failed to get requested DeviceInterfaceAlias"), 2u) << "no alias, and the microphone";
    EXPECT_EQ(capture.Count("DeviceInterfaceAlias disabled."), 1u);
    EXPECT_EQ(capture.Count("Failed to create filter for \\\\?\\sim#locked"), 1u);
    EXPECT_EQ(capture.Count("Failed to get Deivce Name"), 3u) << "one for the unnamed, two for the nameless";

    // A second enumeration replaces the first.
    ASSERT_EQ(enumerator.EnumFilters(KsFilterCapture, kCaptureCategories), S_OK);
    ASSERT_EQ(enumerator.m_Filters.GetCount(), 1);
    EXPECT_STREQ(enumerator.m_Filters.m_pHead->pData->m_szFriendlyName, "Mic");
    EXPECT_EQ(Sim().OpenHandleCount(), 1) << "the render filters of the first call are closed";
}

TEST_F(KsClassesTest, EnumerationOfNothingFails)
{
    Sim().Reset({kssim::CaptureDevice("Mic", "\\\\?\\sim#mic")});
    HRESULT hr = E_FAIL;
    CKsEnumFilters enumerator(&hr);
    KsTraceLevelGuard level(6);
    TraceCapture capture;
    EXPECT_EQ(enumerator.EnumFilters(KsFilterRender, kRenderCategories), E_FAIL);
    EXPECT_FALSE(capture.Contains("No devices found"));
    EXPECT_EQ(enumerator.EnumFilters(KsFilterRender, nullptr), E_FAIL);
    const GUID nullFirst[2] = {GUID_NULL, KSCATEGORY_RENDER};
    EXPECT_EQ(enumerator.EnumFilters(KsFilterRender, nullFirst), E_FAIL);
    EXPECT_EQ(enumerator.m_Filters.GetCount(), 0);
}

TEST_F(KsClassesTest, TopologyNodesAreCompleteOrEmpty)
{
    DeviceModel device = kssim::RenderDevice("Spk", kPath);
    Sim().Reset({device});
    HRESULT hr = E_FAIL;
    CKsFilter filter(kPath, &hr);
    ASSERT_EQ(filter.Instantiate(), S_OK);
    ASSERT_EQ(filter.EnumerateNodes(), S_OK);
    ASSERT_EQ(filter.m_Nodes.GetCount(), 3);
    EXPECT_EQ(filter.m_Nodes.m_pTail->pData->ulNodeId, 2u);
    EXPECT_TRUE(IsEqualGUID(filter.m_Nodes.m_pHead->pData->guidType, KSNODETYPE_SRC));
    ASSERT_EQ(filter.EnumerateNodes(), S_OK);
    EXPECT_EQ(filter.m_Nodes.GetCount(), 3) << "a second read replaces the first";

    device.topologyFails = true;
    Sim().Reset({device});
    HRESULT hr2 = E_FAIL;
    CKsFilter failing(kPath, &hr2);
    ASSERT_EQ(failing.Instantiate(), S_OK);
    KsTraceLevelGuard level(4);
    TraceCapture capture;
    EXPECT_TRUE(FAILED(failing.EnumerateNodes()));
    EXPECT_EQ(failing.m_Nodes.GetCount(), 0);
    EXPECT_TRUE(capture.Contains("Failed to get property KSPROPSETID_Topology.KSPROPERTY_TOPOLOGY_NODES"));
}

TEST_F(KsClassesTest, DevicePathsAtAndBeyondTheFieldSize)
{
    const std::string fits(259, 'p');
    HRESULT hr = E_FAIL;
    CKsFilter filter(fits.c_str(), &hr);
    EXPECT_EQ(hr, S_OK);
    EXPECT_EQ(std::string(filter.m_szName), fits);
    const std::string tooLong(260, 'p');
    KsTraceLevelGuard level(1);
    TraceCapture capture;
    CKsFilter refused(tooLong.c_str(), &hr);
    EXPECT_EQ(hr, E_INVALIDARG);
    EXPECT_EQ(refused.m_szName[0], 0) << "a cut path would name another device";
    EXPECT_TRUE(capture.Contains("pszName is longer than 259 characters"));
    CKsFilter none(nullptr, &hr);
    EXPECT_EQ(hr, E_INVALIDARG);
    EXPECT_TRUE(capture.Contains("pszName cannot be NULL"));
}

TEST_F(KsClassesTest, PinStatesAndStreamRequestsOnARealPin)
{
    Sim().SetClockMode(kssim::ClockMode::Fast);
    auto filter = OpenRenderFilter(kssim::RenderDevice("Spk", kPath));
    Sim().SetClockMode(kssim::ClockMode::Fast);
    WAVEFORMATEX format = Pcm(2, 48000, 16);
    std::unique_ptr<CKsAudPin> pin(filter->CreateRenderPin(&format));
    ASSERT_NE(pin, nullptr);
    EXPECT_EQ(pin->m_State, KSSTATE_STOP);
    for (KSSTATE state : {KSSTATE_ACQUIRE, KSSTATE_PAUSE, KSSTATE_RUN}) {
        ASSERT_EQ(pin->SetState(state), S_OK);
        EXPECT_EQ(pin->m_State, state);
        EXPECT_EQ(Sim().PinState(kPath, 0), state);
    }
    std::vector<int16_t> samples(256);
    for (size_t i = 0; i < samples.size(); ++i) {
        samples[i] = static_cast<int16_t>(i * 7 - 900);
    }
    HANDLE event = CreateEventA(nullptr, FALSE, FALSE, nullptr);
    KSSTREAM_HEADER header{};
    header.Size = sizeof header;
    header.Data = samples.data();
    header.FrameExtent = header.DataUsed = static_cast<ULONG>(samples.size() * 2);
    OVERLAPPED overlapped{};
    overlapped.hEvent = event;
    ASSERT_EQ(pin->WriteData(&header, &overlapped), S_OK) << "a pending write counts as queued";
    ASSERT_EQ(WaitForSingleObject(event, 5000), WAIT_OBJECT_0);
    const std::vector<uint8_t> played = Sim().RenderedBytes(kPath, 0);
    ASSERT_EQ(played.size(), samples.size() * 2);
    EXPECT_EQ(std::memcmp(played.data(), samples.data(), played.size()), 0);
    // A stream request on a closed pin is refused with the system's error.
    pin->ClosePin();
    KsTraceLevelGuard level(1);
    TraceCapture capture;
    EXPECT_EQ(pin->WriteData(&header, &overlapped), E_FAIL);
    EXPECT_EQ(pin->ReadData(&header, &overlapped), E_FAIL);
    const auto lines = capture.Lines();
    ASSERT_EQ(lines.size(), 2u);
    EXPECT_EQ(lines[0].rfind("CKsPin::WriteData's DeviceIoControl Failed!  Error=0x", 0), 0u) << lines[0];
    EXPECT_EQ(lines[1].rfind("DeviceIoControl Failed!  Error=0x", 0), 0u) << lines[1];
    CloseHandle(event);
}
