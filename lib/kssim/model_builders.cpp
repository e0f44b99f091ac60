// Ready-made device models shaped like the wave filters of USB and onboard
// audio drivers: one streaming sink pin and one bridge pin towards the
// physical connector.

#include "kssim.h"
#include "rt_audio.h"

namespace kssim {

namespace {

// A bridge pin: no instances, a non-PCM analog range, as wave filters
// report the pin that leads to their topology filter.
PinModel BridgePin(ULONG dataFlow, const GUID& category, const wchar_t* name)
{
    PinModel pin;
    pin.communication = KSPIN_COMMUNICATION_BRIDGE;
    pin.dataFlow = dataFlow;
    pin.interfaces = {StandardStreamingInterface()};
    pin.mediums = {StandardMedium()};
    AudioRange analog;
    analog.subFormat = KSDATAFORMAT_SUBTYPE_ANALOG;
    analog.specifier = KSDATAFORMAT_SPECIFIER_NONE;
    analog.formatSize = sizeof(KSDATARANGE);
    pin.ranges = {analog};
    pin.name = name;
    pin.category = category;
    pin.instances = {0, 0};
    pin.globalInstances = {0, 0};
    return pin;
}

PinModel StreamingSinkPin(ULONG dataFlow, const wchar_t* name)
{
    PinModel pin;
    pin.communication = KSPIN_COMMUNICATION_SINK;
    pin.dataFlow = dataFlow;
    pin.interfaces = {StandardStreamingInterface()};
    pin.mediums = {StandardMedium()};
    pin.ranges = {AudioRange()};
    pin.name = name;
    pin.category = KSCATEGORY_AUDIO;
    return pin;
}

}  // namespace

KSIDENTIFIER StandardStreamingInterface()
{
    KSIDENTIFIER identifier{};
    identifier.Set = KSINTERFACESETID_Standard;
    identifier.Id = KSINTERFACE_STANDARD_STREAMING;
    identifier.Flags = 0;
    return identifier;
}

KSIDENTIFIER StandardMedium()
{
    KSIDENTIFIER identifier{};
    identifier.Set = KSMEDIUMSETID_Standard;
    identifier.Id = KSMEDIUM_TYPE_ANYINSTANCE;
    identifier.Flags = 0;
    return identifier;
}

namespace {

// A wave filter of one direction: the streaming sink pin, the bridge pin to
// its jack, its alias and its topology.
DeviceModel WaveDevice(const std::string& friendlyName, const std::string& devicePath, const GUID& alias,
                       PinModel streaming, PinModel bridge, std::vector<GUID> nodes)
{
    DeviceModel device;
    device.devicePath = devicePath;
    device.friendlyName = friendlyName;
    device.interfaceClasses = {KSCATEGORY_AUDIO};
    device.aliases[alias] = SPINT_ACTIVE;
    device.pins = {std::move(streaming), std::move(bridge)};
    device.nodes = std::move(nodes);
    return device;
}

}  // namespace

DeviceModel RenderDevice(const std::string& friendlyName, const std::string& devicePath)
{
    return WaveDevice(friendlyName, devicePath, KSCATEGORY_RENDER, StreamingSinkPin(KSPIN_DATAFLOW_IN, L"Playback"),
                      BridgePin(KSPIN_DATAFLOW_OUT, KSNODETYPE_SPEAKER, L"Speakers"),
                      {KSNODETYPE_SRC, KSNODETYPE_VOLUME, KSNODETYPE_DAC});
}

DeviceModel CaptureDevice(const std::string& friendlyName, const std::string& devicePath)
{
    return WaveDevice(friendlyName, devicePath, KSCATEGORY_CAPTURE, StreamingSinkPin(KSPIN_DATAFLOW_OUT, L"Recording"),
                      BridgePin(KSPIN_DATAFLOW_IN, KSNODETYPE_MICROPHONE, L"Microphone"),
                      {KSNODETYPE_ADC, KSNODETYPE_VOLUME, KSNODETYPE_SRC});
}

KSIDENTIFIER LoopedStreamingInterface()
{
    KSIDENTIFIER identifier = StandardStreamingInterface();
    identifier.Id = KSINTERFACE_STANDARD_LOOPED_STREAMING;
    return identifier;
}

namespace {

DeviceModel AsWaveRt(DeviceModel device)
{
    device.aliases[kKsCategoryRealtime] = SPINT_ACTIVE;
    device.pins[0].interfaces = {LoopedStreamingInterface()};
    device.waveRt = WaveRtModel();
    return device;
}

}  // namespace

DeviceModel WaveRtRenderDevice(const std::string& friendlyName, const std::string& devicePath)
{
    return AsWaveRt(RenderDevice(friendlyName, devicePath));
}

DeviceModel WaveRtCaptureDevice(const std::string& friendlyName, const std::string& devicePath)
{
    return AsWaveRt(CaptureDevice(friendlyName, devicePath));
}

}  // namespace kssim
