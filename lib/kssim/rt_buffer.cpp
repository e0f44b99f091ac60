// WaveRT pins: the cyclic buffer the client maps, moved by the device clock.
//
// The device position (bytes of the pin's timeline, corrected by clockPpm)
// advances while the pin runs, from where the last STOP left it; offset 0 of
// the buffer lies at that point, so the position register and the position
// property restart at 0 after a STOP, as on WaveRT drivers.
//
// Render: the device plays whatever the buffer holds when it gets there, as
// a DMA engine does. Played frames reach the recording (RenderedBytes, the
// WAV file) after the FIFO: the first fifoBytes of a run are silence.
// The client's writes cannot be seen, so an underrun is counted by what is
// played: a frame that holds exactly the bytes it held when played one pass
// earlier, and is not silence, was not written since (old data replayed).
// A client that writes the same non-silent frame at the same place twice is
// counted too; silence written again is not.
//
// Capture: the generator's frame number counts from the buffer's start, as
// the position does (so it starts again after a STOP). The device writes
// each frame at its place in the buffer whether
// or not the client took the frame there before; the model cannot see what
// the client read, so it counts no overrun for WaveRT pins (the driver
// counts the frames it lost itself).
//
// Notifications: with a buffer allocated with notifications and an event
// registered, the event is signalled each time the position crosses a
// 1/notificationCount part of the buffer (its start, and its middle for 2).
// The clock thread looks at a running pin every registerStepMs and at each
// notification; the position register moves only then, the position
// property is exact.
//
// WaveRT pins follow the device clock in both clock modes: the fast mode
// changes how stream requests complete, and these pins take none.

#include "rt_buffer.h"

#include "rt_audio.h"
#include "signal_generator.h"

#include <algorithm>
#include <cmath>
#include <cstring>
#include <numeric>

namespace kssim::detail {

RtStream::~RtStream()
{
    if (event) {
        CloseHandle(event);
    }
}

namespace {

int64_t Position(const PinInstance& pin, int64_t now)
{
    double position = pin.anchorPos;
    if (pin.state == KSSTATE_RUN) {
        position += static_cast<double>(now - pin.anchorTick) * pin.bytesPerTick;
    }
    const int64_t blockAlign = std::max<int64_t>(1, pin.format.blockAlign);
    return static_cast<int64_t>(std::floor(position / static_cast<double>(blockAlign))) * blockAlign;
}

int64_t TickAt(const PinInstance& pin, int64_t position)
{
    const double distance = static_cast<double>(position) - pin.anchorPos;
    if (distance <= 0.0 || pin.bytesPerTick <= 0.0) {
        return pin.anchorTick;
    }
    return pin.anchorTick + static_cast<int64_t>(std::ceil(distance / pin.bytesPerTick));
}

const WaveRtModel& RulesOf(const PinInstance& pin) { return *pin.device->model.waveRt; }

ULONG Offset(const RtStream& rt, int64_t position)
{
    if (rt.buffer.empty()) {
        return 0;
    }
    return static_cast<ULONG>((position - rt.base) % static_cast<int64_t>(rt.buffer.size()));
}

void Rewind(PinInstance& pin, RtStream& rt)
{
    rt.base = Position(pin, NowTicks());
    rt.done = rt.base;
    rt.nextNotification =
        rt.notificationCount ? rt.base + static_cast<int64_t>(rt.buffer.size() / rt.notificationCount) : kNever;
    rt.positionRegister = 0;
    rt.fifoPrimed = false;
    rt.lastPlayed.assign(rt.buffer.size(), 0);
}

// Audio leaving the FIFO when the device position reaches `heardAt`.
void Record(PinInstance& pin, int64_t heardAt, const uint8_t* data, size_t size)
{
    KeepPlayed(pin, heardAt, data, size);
    auto& rendered = pin.device->pins[pin.pinId].rendered;
    rendered.insert(rendered.end(), data, data + size);
    if (pin.writesFile) {
        pin.device->renderFile.Append(data, size);
    }
}

// The FIFO's depth in whole frames: how far behind the DMA position the
// ear is.
int64_t FifoBytes(const PinInstance& pin)
{
    const int64_t blockAlign = std::max<int64_t>(1, pin.format.blockAlign);
    return static_cast<int64_t>(RulesOf(pin).fifoBytes) / blockAlign * blockAlign;
}

// At the start of a run the ear hears the empty FIFO first.
void PlayFifoSilence(PinInstance& pin, const RtStream& rt)
{
    const std::vector<uint8_t> silence(static_cast<size_t>(FifoBytes(pin)), 0);
    if (!silence.empty()) {
        Record(pin, rt.done, silence.data(), silence.size());
    }
}

// Plays the frames [offset, offset + size) of the buffer (no wrap inside),
// which the DMA reads at device position `from`.
void Play(PinInstance& pin, RtStream& rt, int64_t from, size_t offset, size_t size, bool secondPass)
{
    const size_t blockAlign = std::max<size_t>(1, pin.format.blockAlign);
    const uint8_t* data = rt.buffer.data() + offset;
    uint8_t* last = rt.lastPlayed.data() + offset;
    int64_t replayed = 0;
    for (size_t at = 0; at + blockAlign <= size; at += blockAlign) {
        const uint8_t* frame = data + at;
        const bool silent = std::all_of(frame, frame + blockAlign, [](uint8_t b) { return b == 0; });
        if (secondPass && !silent && std::memcmp(frame, last + at, blockAlign) == 0) {
            ++replayed;
        }
    }
    std::memcpy(last, data, size);
    pin.device->pins[pin.pinId].underrunFrames += replayed;
    Record(pin, from + FifoBytes(pin), data, size);
}

// Moves the buffer over the device positions [rt.done, target).
void MoveBuffer(PinInstance& pin, RtStream& rt, int64_t target)
{
    const auto size = static_cast<int64_t>(rt.buffer.size());
    if (size == 0 || target <= rt.done) {
        return;
    }
    if (pin.render && !rt.fifoPrimed) {
        PlayFifoSilence(pin, rt);
        rt.fifoPrimed = true;
    }
    const SignalSource source = CaptureSourceOf(pin);
    int64_t from = rt.done;
    if (!pin.render && target - from > size) {
        from = target - size;  // frames written over again before anyone could see them
    }
    while (from < target) {
        const int64_t offset = (from - rt.base) % size;
        const int64_t take = std::min(size - offset, target - from);
        if (pin.render) {
            Play(pin, rt, from, static_cast<size_t>(offset), static_cast<size_t>(take), from - rt.base >= size);
        } else {
            GenerateCapture(source, from - rt.base, rt.buffer.data() + offset, static_cast<size_t>(take));
        }
        from += take;
    }
    rt.done = target;
}

NtStatus Fixed(const void* value, DWORD size, void* output, DWORD outputSize, ULONG_PTR* information)
{
    if (outputSize == 0) {
        *information = size;
        return kStatusBufferOverflow;
    }
    if (!output) {
        return kStatusAccessViolation;
    }
    if (outputSize < size) {
        return kStatusBufferTooSmall;
    }
    std::memcpy(output, value, size);
    *information = size;
    return kStatusSuccess;
}

NtStatus AllocateBuffer(PinInstance& pin, RtStream& rt, const BYTE* request, DWORD requestSize, bool withNotification,
                        void* output, DWORD outputSize, ULONG_PTR* information)
{
    const WaveRtModel& rules = RulesOf(pin);
    ULONG asked = 0;
    ULONG notifications = 0;
    if (withNotification) {
        if (!rules.notifications) {
            return kStatusNotFound;
        }
        if (requestSize < sizeof(KSRTAUDIO_BUFFER_PROPERTY_WITH_NOTIFICATION)) {
            return kStatusInvalidBufferSize;
        }
        KSRTAUDIO_BUFFER_PROPERTY_WITH_NOTIFICATION ask;
        std::memcpy(&ask, request, sizeof ask);
        asked = ask.RequestedBufferSize;
        notifications = ask.NotificationCount;
        if (notifications != 1 && notifications != 2) {
            return kStatusInvalidParameter;
        }
    } else {
        if (requestSize < sizeof(KSRTAUDIO_BUFFER_PROPERTY)) {
            return kStatusInvalidBufferSize;
        }
        KSRTAUDIO_BUFFER_PROPERTY ask;
        std::memcpy(&ask, request, sizeof ask);
        asked = ask.RequestedBufferSize;
    }
    if (outputSize < sizeof(KSRTAUDIO_BUFFER)) {
        return outputSize == 0 ? kStatusBufferOverflow : kStatusBufferTooSmall;
    }
    if (pin.state == KSSTATE_RUN || rt.event) {
        return kStatusInvalidDeviceRequest;  // only a stopped pin without a registered event takes a new buffer
    }
    const auto unit = static_cast<ULONG>(std::lcm<uint64_t>(std::max<ULONG>(1, rules.alignment),
                                                             std::max<WORD>(1, pin.format.blockAlign)));
    if (asked == 0 || asked < rules.smallestBytes || (rules.largestBytes != 0 && asked > rules.largestBytes) ||
        (!rules.roundsSizes && asked % unit != 0)) {
        return kStatusInvalidParameter;
    }
    ULONG granted = rules.grantedBytes != 0 ? rules.grantedBytes : std::max(unit, asked / unit * unit);
    granted = granted / std::max<WORD>(1, pin.format.blockAlign) * std::max<WORD>(1, pin.format.blockAlign);
    if (granted == 0) {
        return kStatusInvalidParameter;
    }
    rt.buffer.assign(granted, 0);
    rt.allocated = true;
    rt.registerMapped = false;
    rt.notificationCount = notifications;
    Rewind(pin, rt);
    KSRTAUDIO_BUFFER answer{};
    answer.BufferAddress = rt.buffer.data();
    answer.ActualBufferSize = granted;
    answer.CallMemoryBarrier = FALSE;
    return Fixed(&answer, sizeof answer, output, outputSize, information);
}

}  // namespace

NtStatus AnswerRtProperty(Model& model, PinInstance& pin, const KSPROPERTY& property, const BYTE* request,
                          DWORD requestSize, void* output, DWORD outputSize, ULONG_PTR* information)
{
    *information = 0;
    RtStream& rt = *pin.rt;
    const WaveRtModel& rules = RulesOf(pin);
    // Registering and unregistering the notification event are documented
    // as both get and set properties, and public kernel-streaming clients
    // (PortAudio's WDM-KS host API) send them as set requests; every other
    // property of the set is get only.
    const bool eventProperty = property.Set != KSPROPSETID_Audio &&
                               (property.Id == kRtAudioRegisterNotificationEvent ||
                                property.Id == kRtAudioUnregisterNotificationEvent);
    if (property.Flags != KSPROPERTY_TYPE_GET && !(eventProperty && property.Flags == KSPROPERTY_TYPE_SET)) {
        return kStatusInvalidDeviceRequest;
    }
    if (property.Set == KSPROPSETID_Audio) {
        if (property.Id != KSPROPERTY_AUDIO_POSITION) {
            return kStatusNotFound;
        }
        // One reading of the clock for both: the position answered is the
        // one the buffer was moved to, never a frame the device has not yet
        // played or filled.
        const int64_t now = NowTicks();
        if (pin.state == KSSTATE_RUN) {
            AdvanceRtPin(model, pin, now);
        }
        KSAUDIO_POSITION position{};
        position.PlayOffset = Offset(rt, Position(pin, now));
        position.WriteOffset = position.PlayOffset;
        return Fixed(&position, sizeof position, output, outputSize, information);
    }
    switch (property.Id) {
    case kRtAudioBuffer:
        return AllocateBuffer(pin, rt, request, requestSize, false, output, outputSize, information);
    case kRtAudioBufferWithNotification:
        return AllocateBuffer(pin, rt, request, requestSize, true, output, outputSize, information);
    case kRtAudioQueryNotificationSupport: {
        const BOOL supported = rules.notifications ? TRUE : FALSE;
        return Fixed(&supported, sizeof supported, output, outputSize, information);
    }
    case kRtAudioHwLatency: {
        KSRTAUDIO_HWLATENCY latency{rules.fifoBytes, rules.chipsetDelay, rules.codecDelay};
        return Fixed(&latency, sizeof latency, output, outputSize, information);
    }
    case kRtAudioPositionRegister: {
        if (!rules.positionRegister) {
            return kStatusNotFound;
        }
        if (!rt.allocated) {
            return kStatusInvalidDeviceRequest;
        }
        if (requestSize < sizeof(KSRTAUDIO_HWREGISTER_PROPERTY)) {
            return kStatusInvalidBufferSize;
        }
        KSRTAUDIO_HWREGISTER answer{};
        answer.Register = const_cast<LONG*>(&rt.positionRegister);
        answer.Width = 32;
        const NtStatus status = Fixed(&answer, sizeof answer, output, outputSize, information);
        rt.registerMapped = rt.registerMapped || status == kStatusSuccess;
        return status;
    }
    case kRtAudioRegisterNotificationEvent:
    case kRtAudioUnregisterNotificationEvent: {
        if (requestSize < sizeof(KSRTAUDIO_NOTIFICATION_EVENT_PROPERTY)) {
            return kStatusInvalidBufferSize;
        }
        KSRTAUDIO_NOTIFICATION_EVENT_PROPERTY ask;
        std::memcpy(&ask, request, sizeof ask);
        if (property.Id == kRtAudioUnregisterNotificationEvent) {
            if (!rt.event) {
                return kStatusInvalidDeviceRequest;
            }
            CloseHandle(rt.event);
            rt.event = nullptr;
            return kStatusSuccess;
        }
        if (!rt.allocated || rt.notificationCount == 0 || rt.event || !ask.NotificationEvent) {
            return kStatusInvalidDeviceRequest;
        }
        HANDLE own = nullptr;
        if (!DuplicateHandle(GetCurrentProcess(), ask.NotificationEvent, GetCurrentProcess(), &own, EVENT_MODIFY_STATE,
                             FALSE, 0)) {
            return kStatusInvalidParameter;
        }
        rt.event = own;
        return kStatusSuccess;
    }
    default:
        return kStatusNotFound;
    }
}

int64_t AdvanceRtPin(Model& model, PinInstance& pin, int64_t now)
{
    RtStream& rt = *pin.rt;
    if (pin.state != KSSTATE_RUN || !rt.allocated || rt.buffer.empty()) {
        return kNever;
    }
    const int64_t target = Position(pin, now);
    MoveBuffer(pin, rt, target);
    InterlockedExchange(&rt.positionRegister, static_cast<LONG>(Offset(rt, target)));
    if (rt.notificationCount) {
        const auto part = static_cast<int64_t>(rt.buffer.size() / rt.notificationCount);
        if (target >= rt.nextNotification) {
            rt.nextNotification += (target - rt.nextNotification) / part * part + part;
            if (rt.event) {
                SignalObject(rt.event);
            }
        }
    }
    const auto step = static_cast<int64_t>(std::max(0.05, RulesOf(pin).registerStepMs) *
                                           static_cast<double>(model.ticksPerSecond) / 1000.0);
    return std::min(now + std::max<int64_t>(1, step), rt.notificationCount ? TickAt(pin, rt.nextNotification) : kNever);
}

void RewindRtPin(PinInstance& pin)
{
    if (pin.rt && pin.rt->allocated) {
        Rewind(pin, *pin.rt);
    }
}

}  // namespace kssim::detail
