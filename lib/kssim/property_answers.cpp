// Property requests (IOCTL_KS_PROPERTY) answered as a WDM audio driver's
// KS property handlers answer them: KSPROPSETID_Pin and
// KSPROPSETID_Topology on filter handles, KSPROPSETID_Connection on pin
// handles.
//
// Sizes: a GET with no answer buffer is a size query and fails with
// STATUS_BUFFER_OVERFLOW (ERROR_MORE_DATA) and the size as the byte count.
// A buffer that is too small fails with STATUS_BUFFER_TOO_SMALL and a byte
// count of 0, except that a multiple-item answer (KSMULTIPLE_ITEM) can be
// asked for its total size alone (a 4-byte buffer) or for its header alone
// (an 8-byte buffer), as KsHandleSizedListQuery allows.

#include "shared_instances.h"
#include "model_state.h"
#include "rt_audio.h"
#include "rt_buffer.h"

#include <algorithm>
#include <cstring>

namespace kssim::detail {

namespace {

enum class Shape { Fixed, MultipleItem };

struct Answer {
    NtStatus status = kStatusSuccess;
    std::vector<BYTE> bytes;
    Shape shape = Shape::Fixed;
};

Answer Fail(NtStatus status)
{
    Answer answer;
    answer.status = status;
    return answer;
}

template <typename T>
Answer Value(const T& value)
{
    Answer answer;
    answer.bytes.resize(sizeof(T));
    std::memcpy(answer.bytes.data(), &value, sizeof(T));
    return answer;
}

// A KSMULTIPLE_ITEM block: header, then the items back to back.
Answer Multiple(ULONG count, const std::vector<BYTE>& items)
{
    Answer answer;
    answer.shape = Shape::MultipleItem;
    KSMULTIPLE_ITEM header{};
    header.Size = static_cast<ULONG>(sizeof(KSMULTIPLE_ITEM) + items.size());
    header.Count = count;
    answer.bytes.resize(header.Size);
    std::memcpy(answer.bytes.data(), &header, sizeof header);
    if (!items.empty()) {
        std::memcpy(answer.bytes.data() + sizeof header, items.data(), items.size());
    }
    return answer;
}

template <typename T>
Answer MultipleOf(const std::vector<T>& items)
{
    std::vector<BYTE> bytes(items.size() * sizeof(T));
    if (!items.empty()) {
        std::memcpy(bytes.data(), items.data(), bytes.size());
    }
    return Multiple(static_cast<ULONG>(items.size()), bytes);
}

NtStatus Deliver(const Answer& answer, void* output, DWORD outputSize, ULONG_PTR* information)
{
    const auto size = static_cast<DWORD>(answer.bytes.size());
    if (outputSize == 0) {
        *information = size;
        return kStatusBufferOverflow;
    }
    if (!output) {
        return kStatusAccessViolation;
    }
    if (outputSize < size) {
        if (answer.shape == Shape::MultipleItem && outputSize == sizeof(ULONG)) {
            std::memcpy(output, answer.bytes.data(), sizeof(ULONG));  // KSMULTIPLE_ITEM.Size
            *information = sizeof(ULONG);
            return kStatusSuccess;
        }
        if (answer.shape == Shape::MultipleItem && outputSize == sizeof(KSMULTIPLE_ITEM)) {
            std::memcpy(output, answer.bytes.data(), sizeof(KSMULTIPLE_ITEM));
            *information = sizeof(KSMULTIPLE_ITEM);
            return kStatusSuccess;
        }
        return kStatusBufferTooSmall;
    }
    std::memcpy(output, answer.bytes.data(), size);
    *information = size;
    return kStatusSuccess;
}

std::vector<BYTE> DataRangeBytes(const AudioRange& range)
{
    KSDATARANGE_AUDIO audio{};
    audio.DataRange.FormatSize = range.formatSize;
    audio.DataRange.MajorFormat = range.majorFormat;
    audio.DataRange.SubFormat = range.subFormat;
    audio.DataRange.Specifier = range.specifier;
    audio.MaximumChannels = range.maximumChannels;
    audio.MinimumBitsPerSample = range.minimumBitsPerSample;
    audio.MaximumBitsPerSample = range.maximumBitsPerSample;
    audio.MinimumSampleFrequency = range.minimumSampleFrequency;
    audio.MaximumSampleFrequency = range.maximumSampleFrequency;
    std::vector<BYTE> bytes(range.formatSize, 0);
    std::memcpy(bytes.data(), &audio, std::min<size_t>(range.formatSize, sizeof audio));
    return bytes;
}

// The instances taken: open here, or held by another program.
int OpenInstances(const Device& device, ULONG pinId)
{
    const int elsewhere = device.sharedScope.empty()
                              ? 0
                              : SharedInstancesElsewhere(SharedPinKey(device.sharedScope, device.model.devicePath, pinId));
    return device.pins[pinId].openInstances + device.pins[pinId].heldElsewhere + elsewhere;
}

Answer PinProperty(const Device& device, const KSPROPERTY& property, const BYTE* request, DWORD requestSize)
{
    const DeviceModel& model = device.model;
    if (property.Id == KSPROPERTY_PIN_CTYPES) {
        if (model.pinCountFails) {
            return Fail(kStatusNotFound);
        }
        return Value(static_cast<ULONG>(model.pins.size()));
    }
    switch (property.Id) {
    case KSPROPERTY_PIN_CINSTANCES:
    case KSPROPERTY_PIN_DATAFLOW:
    case KSPROPERTY_PIN_DATARANGES:
    case KSPROPERTY_PIN_INTERFACES:
    case KSPROPERTY_PIN_MEDIUMS:
    case KSPROPERTY_PIN_COMMUNICATION:
    case KSPROPERTY_PIN_GLOBALCINSTANCES:
    case KSPROPERTY_PIN_CATEGORY:
    case KSPROPERTY_PIN_NAME: break;
    default: return Fail(kStatusNotFound);
    }
    if (requestSize < sizeof(KSP_PIN)) {
        return Fail(kStatusInvalidBufferSize);
    }
    KSP_PIN pinRequest;
    std::memcpy(&pinRequest, request, sizeof pinRequest);
    if (pinRequest.PinId >= model.pins.size()) {
        return Fail(kStatusInvalidParameter);
    }
    const PinModel& pin = model.pins[pinRequest.PinId];
    if (pin.failingProperties.count(property.Id)) {
        return Fail(kStatusNotFound);
    }
    const int open = OpenInstances(device, pinRequest.PinId);
    switch (property.Id) {
    case KSPROPERTY_PIN_CINSTANCES: {
        KSPIN_CINSTANCES instances = pin.instances;
        instances.CurrentCount += open;
        return Value(instances);
    }
    case KSPROPERTY_PIN_GLOBALCINSTANCES: {
        KSPIN_CINSTANCES instances = pin.globalInstances;
        instances.CurrentCount += open;
        return Value(instances);
    }
    case KSPROPERTY_PIN_DATAFLOW: return Value(static_cast<ULONG>(pin.dataFlow));
    case KSPROPERTY_PIN_COMMUNICATION: return Value(static_cast<ULONG>(pin.communication));
    case KSPROPERTY_PIN_INTERFACES: return MultipleOf(pin.interfaces);
    case KSPROPERTY_PIN_MEDIUMS: return MultipleOf(pin.mediums);
    case KSPROPERTY_PIN_DATARANGES: {
        std::vector<BYTE> items;
        for (const AudioRange& range : pin.ranges) {
            const std::vector<BYTE> bytes = DataRangeBytes(range);
            items.insert(items.end(), bytes.begin(), bytes.end());
        }
        return Multiple(static_cast<ULONG>(pin.ranges.size()), items);
    }
    case KSPROPERTY_PIN_CATEGORY:
        if (pin.category == GUID_NULL) {
            return Fail(kStatusNotFound);  // a pin descriptor without a category
        }
        return Value(pin.category);
    case KSPROPERTY_PIN_NAME: {
        if (!pin.name) {
            return Fail(kStatusNotFound);
        }
        Answer answer;
        answer.bytes.resize((pin.name->size() + 1) * sizeof(wchar_t), 0);
        std::memcpy(answer.bytes.data(), pin.name->c_str(), pin.name->size() * sizeof(wchar_t));
        return answer;
    }
    default: return Fail(kStatusNotFound);
    }
}

// The filter's data paths, as a wave filter reports them: each streaming pin
// is joined to the first bridge pin of the other data flow (render: from the
// streaming pin to the bridge pin; capture: from the bridge pin to the
// streaming pin), the first such path through the topology nodes in their
// order, later ones directly.
std::vector<KSTOPOLOGY_CONNECTION> FilterConnections(const DeviceModel& model)
{
    std::vector<KSTOPOLOGY_CONNECTION> connections;
    bool nodesUsed = false;
    for (ULONG pin = 0; pin < model.pins.size(); ++pin) {
        const PinModel& streaming = model.pins[pin];
        if (streaming.communication == KSPIN_COMMUNICATION_BRIDGE ||
            streaming.communication == KSPIN_COMMUNICATION_NONE) {
            continue;
        }
        for (ULONG bridge = 0; bridge < model.pins.size(); ++bridge) {
            const PinModel& candidate = model.pins[bridge];
            if (candidate.communication != KSPIN_COMMUNICATION_BRIDGE || candidate.dataFlow == streaming.dataFlow) {
                continue;
            }
            const bool render = streaming.dataFlow == KSPIN_DATAFLOW_IN;
            const ULONG from = render ? pin : bridge;
            const ULONG to = render ? bridge : pin;
            ULONG fromNode = KSFILTER_NODE;
            ULONG fromNodePin = from;
            if (!nodesUsed) {
                for (ULONG node = 0; node < model.nodes.size(); ++node) {
                    connections.push_back({fromNode, fromNodePin, node, KSNODEPIN_STANDARD_IN});
                    fromNode = node;
                    fromNodePin = KSNODEPIN_STANDARD_OUT;
                }
                nodesUsed = true;
            }
            connections.push_back({fromNode, fromNodePin, KSFILTER_NODE, to});
            break;
        }
    }
    return connections;
}

Answer TopologyProperty(const Device& device, const KSPROPERTY& property)
{
    const DeviceModel& model = device.model;
    switch (property.Id) {
    case KSPROPERTY_TOPOLOGY_CATEGORIES: {
        // The filter's categories: the classes its interface is registered
        // in, active aliases included.
        std::vector<GUID> categories = model.interfaceClasses;
        for (const auto& [alias, flags] : model.aliases) {
            if ((flags & SPINT_ACTIVE) && !(flags & SPINT_REMOVED) &&
                std::find(categories.begin(), categories.end(), alias) == categories.end()) {
                categories.push_back(alias);
            }
        }
        return MultipleOf(categories);
    }
    case KSPROPERTY_TOPOLOGY_NODES:
        if (model.topologyFails) {
            return Fail(kStatusNotFound);
        }
        return MultipleOf(model.nodes);
    case KSPROPERTY_TOPOLOGY_CONNECTIONS: return MultipleOf(FilterConnections(model));
    default: return Fail(kStatusNotFound);
    }
}

Answer ConnectionProperty(Model& model, PinInstance& pin, const KSPROPERTY& property, bool set, void* output,
                          DWORD outputSize)
{
    switch (property.Id) {
    case KSPROPERTY_CONNECTION_STATE:
        if (set) {
            if (outputSize < sizeof(KSSTATE) || !output) {
                return Fail(outputSize < sizeof(KSSTATE) ? kStatusBufferTooSmall : kStatusAccessViolation);
            }
            ULONG state = 0;
            std::memcpy(&state, output, sizeof state);
            if (state > KSSTATE_RUN) {
                return Fail(kStatusInvalidParameter);
            }
            Answer answer;
            answer.status = SetPinState(model, pin, static_cast<KSSTATE>(state));
            return answer;
        }
        return Value(static_cast<ULONG>(pin.state));
    case KSPROPERTY_CONNECTION_DATAFORMAT: {
        if (set) {
            return Fail(kStatusInvalidDeviceRequest);  // the format cannot change while the pin exists
        }
        Answer answer;
        answer.bytes.assign(pin.connect.begin() + sizeof(KSPIN_CONNECT), pin.connect.end());
        return answer;
    }
    default: return Fail(kStatusNotFound);
    }
}

// KSPROPERTY_AUDIO_POSITION as Microsoft documents it for standard
// streaming: stream-relative byte offsets, PlayOffset where the device clock
// has got (with the injected noise, never below 0), WriteOffset the end of
// what has been handed to the device (the requests queued, or the play
// position when it ran dry). On a looped buffer both are offsets into the
// ring; the whole ring is the client's, so WriteOffset equals PlayOffset.
KSAUDIO_POSITION AudioPosition(Model& model, const PinInstance& pin)
{
    const int64_t blockAlign = pin.format.blockAlign;
    int64_t frames = PinPositionFrames(pin, NowTicks());
    frames = std::max<int64_t>(0, frames + PositionNoise(model, model.virtualTime.positionNoiseFrames));
    const int64_t play = frames * blockAlign;
    KSAUDIO_POSITION position{};
    if (pin.looped) {
        const int64_t ring = pin.loopActive && !pin.queue.empty() ? pin.queue.front()->bytes : 0;
        const int64_t offset = ring > 0 ? std::max<int64_t>(0, play - pin.loopStart) % ring : 0;
        position.PlayOffset = static_cast<ULONGLONG>(offset);
        position.WriteOffset = static_cast<ULONGLONG>(offset);
        return position;
    }
    position.PlayOffset = static_cast<ULONGLONG>(play);
    position.WriteOffset = static_cast<ULONGLONG>(std::max(play, pin.streamEnd));
    return position;
}

}  // namespace

NtStatus AnswerProperty(Model& model, HandleEntry& entry, const BYTE* request, DWORD requestSize, void* output,
                        DWORD outputSize, ULONG_PTR* information)
{
    *information = 0;
    if (!request || requestSize < sizeof(KSPROPERTY)) {
        return kStatusInvalidBufferSize;
    }
    if (entry.device->removed) {
        return kStatusDeviceRemoved;
    }
    KSPROPERTY property;
    std::memcpy(&property, request, sizeof property);
    const bool get = property.Flags == KSPROPERTY_TYPE_GET;
    const bool set = property.Flags == KSPROPERTY_TYPE_SET;
    if (!get && !set) {
        // Basic-support and the other request types are not modelled.
        return property.Flags == KSPROPERTY_TYPE_BASICSUPPORT ? kStatusNotFound : kStatusInvalidParameter;
    }
    Answer answer;
    if (entry.kind == HandleKind::Filter) {
        if (property.Set == KSPROPSETID_Pin) {
            answer = PinProperty(*entry.device, property, request, requestSize);
        } else if (property.Set == KSPROPSETID_Topology) {
            answer = TopologyProperty(*entry.device, property);
        } else {
            return kStatusPropsetNotFound;
        }
        if (answer.status == kStatusSuccess && set) {
            return kStatusInvalidDeviceRequest;  // these properties are read-only
        }
    } else if (entry.pin->rt && (property.Set == kKsPropSetIdRtAudio || property.Set == KSPROPSETID_Audio)) {
        // A WaveRT pin reports its hardware latency instead of KSPROPERTY_AUDIO_LATENCY.
        return AnswerRtProperty(model, *entry.pin, property, request, requestSize, output, outputSize, information);
    } else if (property.Set == KSPROPSETID_Connection) {
        answer = ConnectionProperty(model, *entry.pin, property, set, output, outputSize);
        if (set) {
            return answer.status;
        }
    } else if (property.Set == KSPROPSETID_Audio && property.Id == KSPROPERTY_AUDIO_POSITION) {
        if (set) {
            return kStatusInvalidDeviceRequest;  // the stream's position is the device's to keep
        }
        answer = Value(AudioPosition(model, *entry.pin));
    } else if (property.Set == KSPROPSETID_Audio && entry.device->model.reportsLatency) {
        if (set || property.Id != KSPROPERTY_AUDIO_LATENCY) {
            return kStatusNotFound;
        }
        KSTIME latency = {};
        latency.Time = static_cast<LONGLONG>(entry.device->model.deviceBufferMs * 10000.0);
        latency.Numerator = 1;
        latency.Denominator = 1;
        answer = Value(latency);
    } else {
        return kStatusPropsetNotFound;
    }
    if (answer.status != kStatusSuccess) {
        return answer.status;
    }
    return Deliver(answer, output, outputSize, information);
}

void CompleteQueuedProperties(Model& model)
{
    while (!model.propertyQueue.empty()) {
        std::unique_ptr<Request> request = std::move(model.propertyQueue.front());
        model.propertyQueue.pop_front();
        HandleEntry* entry = FindHandle(model, request->handle);
        ULONG_PTR information = 0;
        const NtStatus status =
            entry ? AnswerProperty(model, *entry, request->property.data(), static_cast<DWORD>(request->property.size()),
                                   request->output, request->outputSize, &information)
                  : kStatusCancelled;
        SignalCompletion(*request, status, information);
    }
}

}  // namespace kssim::detail
