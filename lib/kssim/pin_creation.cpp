// KsCreatePin on a simulated filter: the connect request is checked as a
// WDM audio driver checks it (pin id, interface, medium, data format against
// the pin's ranges and rules, instance limits) and a pin instance is made.
//
// Codes: ERROR_NO_MATCH for an interface or medium the pin does not offer;
// ERROR_INVALID_PARAMETER for a bad pin id or any format the pin refuses;
// ERROR_BAD_COMMAND when the pin has no free instance. Microsoft documents
// only ERROR_NO_MATCH for KsCreatePin; a pin whose instances another program
// holds answers ERROR_BAD_COMMAND on Windows, which public kernel-streaming
// clients (PortAudio's WDM-KS host API) read as "in use by another
// application", and ERROR_INVALID_PARAMETER as "format not supported".

#include "shared_instances.h"
#include "model_state.h"
#include "rt_buffer.h"

#include <algorithm>
#include <cmath>
#include <cstring>

namespace kssim::detail {

namespace {

bool Lists(const std::vector<KSIDENTIFIER>& identifiers, const GUID& set, ULONG id)
{
    return std::any_of(identifiers.begin(), identifiers.end(),
                       [&](const KSIDENTIFIER& item) { return item.Set == set && item.Id == id; });
}

bool InterfaceAccepted(const PinModel& pin, const KSPIN_INTERFACE& requested)
{
    if (requested.Set == KSINTERFACESETID_Standard && requested.Id == KSINTERFACE_STANDARD_LOOPED_STREAMING) {
        // A pin that streams the standard way offers looped streaming too,
        // unless it is a driver that refuses it.
        return pin.acceptsLooped &&
               (Lists(pin.interfaces, KSINTERFACESETID_Standard, KSINTERFACE_STANDARD_STREAMING) ||
                Lists(pin.interfaces, KSINTERFACESETID_Standard, KSINTERFACE_STANDARD_LOOPED_STREAMING));
    }
    return Lists(pin.interfaces, requested.Set, requested.Id);
}

bool RangeCovers(const AudioRange& range, const WAVEFORMATEX& format, const GUID& subFormat)
{
    if (range.formatSize < sizeof(KSDATARANGE_AUDIO)) {
        return false;  // not an audio range: it says nothing of channels, bits or rates
    }
    const bool major = range.majorFormat == GUID_NULL || range.majorFormat == KSDATAFORMAT_TYPE_AUDIO;
    const bool sub = range.subFormat == GUID_NULL || range.subFormat == subFormat;
    const bool specifier = range.specifier == GUID_NULL || range.specifier == KSDATAFORMAT_SPECIFIER_WAVEFORMATEX;
    return major && sub && specifier && format.nChannels <= range.maximumChannels &&
           format.wBitsPerSample >= range.minimumBitsPerSample && format.wBitsPerSample <= range.maximumBitsPerSample &&
           format.nSamplesPerSec >= range.minimumSampleFrequency &&
           format.nSamplesPerSec <= range.maximumSampleFrequency;
}

// Answers ERROR_SUCCESS when the pin takes the data format; fills the
// stream format of the new instance.
DWORD CheckFormat(const PinModel& pin, const KSDATAFORMAT& dataFormat, const BYTE* waveBytes, StreamFormat* stream)
{
    if (dataFormat.FormatSize < sizeof(KSDATAFORMAT) + sizeof(WAVEFORMATEX)) {
        return ERROR_INVALID_PARAMETER;
    }
    const bool floatData = dataFormat.SubFormat == KSDATAFORMAT_SUBTYPE_IEEE_FLOAT;
    if (dataFormat.MajorFormat != KSDATAFORMAT_TYPE_AUDIO ||
        (dataFormat.SubFormat != KSDATAFORMAT_SUBTYPE_PCM && !floatData) ||
        dataFormat.Specifier != KSDATAFORMAT_SPECIFIER_WAVEFORMATEX) {
        return ERROR_INVALID_PARAMETER;
    }
    WAVEFORMATEX format;
    std::memcpy(&format, waveBytes, sizeof format);
    const DWORD waveSize = dataFormat.FormatSize - sizeof(KSDATAFORMAT);
    const bool extensible = format.wFormatTag == WAVE_FORMAT_EXTENSIBLE;
    // A plain format's tag names its samples as the data format does.
    const WORD plainTag = floatData ? WAVE_FORMAT_IEEE_FLOAT : WAVE_FORMAT_PCM;
    if (format.wFormatTag != plainTag && !extensible) {
        return ERROR_INVALID_PARAMETER;
    }
    if (extensible && (format.cbSize < sizeof(WAVEFORMATEXTENSIBLE) - sizeof(WAVEFORMATEX) ||
                       waveSize < sizeof(WAVEFORMATEX) + format.cbSize)) {
        return ERROR_INVALID_PARAMETER;
    }
    if ((extensible && pin.acceptedLayouts == FormatLayouts::PcmOnly) ||
        (!extensible && pin.acceptedLayouts == FormatLayouts::ExtensibleOnly)) {
        return ERROR_INVALID_PARAMETER;
    }
    const WORD bits = format.wBitsPerSample;
    if (floatData && bits != 32) {
        return ERROR_INVALID_PARAMETER;
    }
    if (format.nChannels == 0 || format.nSamplesPerSec == 0 || (bits != 8 && bits != 16 && bits != 24 && bits != 32) ||
        format.nBlockAlign != format.nChannels * (bits / 8) ||
        format.nAvgBytesPerSec != format.nSamplesPerSec * format.nBlockAlign) {
        return ERROR_INVALID_PARAMETER;
    }
    stream->tag = format.wFormatTag;
    stream->channels = format.nChannels;
    stream->sampleRate = format.nSamplesPerSec;
    stream->bitsPerSample = bits;
    stream->blockAlign = format.nBlockAlign;
    stream->validBits = bits;
    stream->extensible = extensible;
    stream->isFloat = floatData;
    if (extensible) {
        WAVEFORMATEXTENSIBLE full;
        std::memcpy(&full, waveBytes, sizeof full);
        // The wave format's subformat is the data format's.
        if (full.SubFormat != dataFormat.SubFormat || full.Samples.wValidBitsPerSample == 0 ||
            full.Samples.wValidBitsPerSample > bits || (floatData && full.Samples.wValidBitsPerSample != 32)) {
            return ERROR_INVALID_PARAMETER;
        }
        stream->validBits = full.Samples.wValidBitsPerSample;
        stream->channelMask = full.dwChannelMask;
    }
    if (!pin.acceptsUnclaimedFormats && std::none_of(pin.ranges.begin(), pin.ranges.end(), [&](const AudioRange& range) {
            return RangeCovers(range, format, dataFormat.SubFormat);
        })) {
        return ERROR_INVALID_PARAMETER;
    }
    if (pin.refusesEveryFormat || pin.refusedBits.count(bits) ||
        (pin.requiredValidBits != 0 && stream->validBits != pin.requiredValidBits)) {
        return ERROR_INVALID_PARAMETER;
    }
    return ERROR_SUCCESS;
}

bool InstanceFree(const KSPIN_CINSTANCES& limit, int open)
{
    return static_cast<uint64_t>(limit.CurrentCount) + static_cast<uint64_t>(open) < limit.PossibleCount;
}

}  // namespace

DWORD CreatePinInstance(Model& model, HandleEntry& filter, const KSPIN_CONNECT* connect, HANDLE* pinHandle)
{
    if (filter.kind != HandleKind::Filter) {
        return ERROR_INVALID_HANDLE;
    }
    const std::shared_ptr<Device> device = filter.device;
    if (device->removed) {
        return ERROR_DEVICE_REMOVED;
    }
    if (!connect || !pinHandle) {
        return ERROR_INVALID_PARAMETER;
    }
    const DeviceModel& deviceModel = device->model;
    if (connect->PinId >= deviceModel.pins.size()) {
        return ERROR_INVALID_PARAMETER;
    }
    const PinModel& pinModel = deviceModel.pins[connect->PinId];
    if (connect->PinToHandle) {
        return ERROR_INVALID_PARAMETER;  // pin-to-pin connections are not modelled
    }
    if (!InterfaceAccepted(pinModel, connect->Interface) ||
        !Lists(pinModel.mediums, connect->Medium.Set, connect->Medium.Id)) {
        return ERROR_NO_MATCH;
    }
    // KsCreatePin sizes the request from the data format's FormatSize, as ksuser does.
    const auto* dataFormat = reinterpret_cast<const KSDATAFORMAT*>(connect + 1);
    if (dataFormat->FormatSize > 4096) {
        return ERROR_INVALID_PARAMETER;
    }
    // A pin with no free instance is busy whatever format is asked of it.
    PinRecord& record = device->pins[connect->PinId];
    // Other processes of the same description count as well.
    const int taken = record.openInstances + record.heldElsewhere;
    auto fits = [&](int elsewhere) {
        return InstanceFree(pinModel.instances, taken + elsewhere) &&
               InstanceFree(pinModel.globalInstances, taken + elsewhere);
    };
    auto pin = std::make_unique<PinInstance>();
    const DWORD formatResult =
        CheckFormat(pinModel, *dataFormat, reinterpret_cast<const BYTE*>(dataFormat + 1), &pin->format);
    if (device->sharedScope.empty()) {
        if (!fits(0)) {
            return ERROR_BAD_COMMAND;
        }
    } else {
        const unsigned long long key = SharedPinKey(device->sharedScope, deviceModel.devicePath, connect->PinId);
        if (formatResult == ERROR_SUCCESS) {
            if (!TakeSharedInstance(key, fits)) {
                return ERROR_BAD_COMMAND;
            }
            pin->sharedKey = key;
        } else if (!fits(SharedInstancesElsewhere(key))) {
            return ERROR_BAD_COMMAND;
        }
    }
    if (formatResult != ERROR_SUCCESS) {
        return formatResult;
    }

    const auto* begin = reinterpret_cast<const BYTE*>(connect);
    pin->connect.assign(begin, begin + sizeof(KSPIN_CONNECT) + dataFormat->FormatSize);
    pin->device = device;
    pin->pinId = connect->PinId;
    pin->serial = model.nextPinSerial++;
    pin->render = pinModel.dataFlow == KSPIN_DATAFLOW_IN;
    pin->looped = connect->Interface.Id == KSINTERFACE_STANDARD_LOOPED_STREAMING;
    if (pin->looped && deviceModel.waveRt) {
        pin->rt = std::make_shared<RtStream>();
    }
    SetPinClockPpm(*pin, deviceModel.clockPpm, NowTicks());
    const double bufferFrames = std::floor(std::max(0.0, deviceModel.deviceBufferMs) * pin->format.sampleRate / 1000.0);
    pin->bufferBytes = static_cast<int64_t>(bufferFrames) * pin->format.blockAlign;
    PinInstance* instance = pin.get();

    auto entry = std::make_unique<HandleEntry>();
    entry->kind = HandleKind::Pin;
    entry->device = device;
    entry->pin = std::move(pin);
    const unsigned long long sharedKey = instance->sharedKey;
    const HANDLE value = AddHandle(model, std::move(entry));
    if (!value) {
        if (sharedKey != 0) {
            GiveSharedInstance(sharedKey);
        }
        return ERROR_NOT_ENOUGH_MEMORY;
    }
    record.openInstances += 1;
    record.lastConnect = instance->connect;
    if (instance->render && !deviceModel.renderFile.empty() && !device->renderFile.IsOpen()) {
        WAVEFORMATEX wave;
        std::memcpy(&wave, instance->connect.data() + sizeof(KSPIN_CONNECT) + sizeof(KSDATAFORMAT), sizeof wave);
        WAVEFORMATEXTENSIBLE extensible{};
        if (instance->format.extensible) {
            std::memcpy(&extensible, instance->connect.data() + sizeof(KSPIN_CONNECT) + sizeof(KSDATAFORMAT),
                        sizeof extensible);
        }
        std::string error;
        if (device->renderFile.Open(deviceModel.renderFile,
                                    FmtChunkFor(wave, instance->format.extensible ? &extensible : nullptr), &error)) {
            instance->writesFile = true;
        } else {
            TraceLine("render file of " + deviceModel.devicePath + ": " + error);
        }
    }
    *pinHandle = value;
    return ERROR_SUCCESS;
}

}  // namespace kssim::detail
