// Stream requests on simulated pins: queueing, the device clock that
// consumes and fills them, pin states, cancellation.
//
// Timeline. Each pin instance has a byte position on the device's timeline
// that advances at the pin's byte rate (corrected by clockPpm) while the pin
// runs and stands still otherwise. A write request's data is placed right
// after the data queued before it, or at the device position if the device
// ran dry meanwhile (it played silence); it completes when the device
// position is within deviceBufferMs of its end (its last byte has entered
// the device's buffer). A read request is filled from the position after
// the read before it, unless that data has already fallen out of the
// device's buffer (no read was queued for longer than the buffer holds),
// in which case the frames in between are lost; it completes when the
// device position reaches its end. Requests complete in the order they came.
// A request without an event may complete later, with the next request of
// its pin that has one, but at most 10 ms late; never earlier.
//
// States. Requests are accepted in every state but move only in RUN.
// Leaving RUN freezes the position; going to STOP cancels the queued
// requests (STATUS_CANCELLED) and drops what the render buffer held, except
// that a looped buffer completes successfully at STOP, which is the only way
// a looped buffer ever completes. Requests held by an injected
// NeverComplete fault stay queued until cancelled, closed or the device is
// removed, and hold up everything queued behind them.
//
// Slow cancellation (SetCancelDelay): on such a pin a stream request that
// CancelIoEx or the STOP state reaches is not given back at once. It stands
// still, holds up the requests behind it and completes as cancelled when
// the delay has passed (cancelAt); the clock thread completes it, whatever
// state the pin is in. Closing the handle still completes it at once.
//
// Looped streaming: the first request of a looped pin is a ring the device
// plays or fills round and round while it runs; later requests wait behind
// it. The clock thread moves the ring every few milliseconds.
//
// ClockMode::Fast: requests complete as soon as they are queued on a
// running pin (in the caller's thread, before DeviceIoControl returns), with
// no data lost; a looped buffer is played or filled once.

#include "shared_instances.h"
#include "model_state.h"
#include "rt_buffer.h"
#include "signal_generator.h"

#include <algorithm>
#include <cmath>
#include <cstring>

namespace kssim::detail {

namespace {

bool IsFast(const Model& model) { return model.clockMode == ClockMode::Fast; }

KSSTREAM_HEADER* HeaderAt(Request& request, DWORD offset)
{
    return reinterpret_cast<KSSTREAM_HEADER*>(request.headers + offset);
}

template <typename Function>
void ForEachHeader(Request& request, Function function)
{
    DWORD offset = 0;
    while (offset < request.headersSize) {
        KSSTREAM_HEADER* header = HeaderAt(request, offset);
        function(*header);
        offset += header->Size;
    }
}

double DevicePosition(const PinInstance& pin, int64_t now)
{
    if (pin.state != KSSTATE_RUN) {
        return pin.anchorPos;
    }
    return pin.anchorPos + static_cast<double>(now - pin.anchorTick) * pin.bytesPerTick;
}

// The device moves whole frames: the last frame boundary it has passed.
int64_t WholeDevicePosition(const PinInstance& pin, int64_t now)
{
    const int64_t blockAlign = pin.format.blockAlign;
    return static_cast<int64_t>(std::floor(DevicePosition(pin, now) / static_cast<double>(blockAlign))) * blockAlign;
}

int64_t FrameBoundaryAtOrAfter(const PinInstance& pin, int64_t position)
{
    const int64_t blockAlign = pin.format.blockAlign;
    return (position + blockAlign - 1) / blockAlign * blockAlign;
}

// The first tick at which the device position reaches position.
int64_t TickForPosition(const PinInstance& pin, int64_t position)
{
    const double distance = static_cast<double>(position) - pin.anchorPos;
    if (distance <= 0.0 || pin.bytesPerTick <= 0.0) {
        return pin.anchorTick;
    }
    return pin.anchorTick + static_cast<int64_t>(std::ceil(distance / pin.bytesPerTick));
}

int64_t DueTick(const PinInstance& pin, const Request& request)
{
    return TickForPosition(pin, pin.render ? request.end - pin.bufferBytes : request.end);
}

// How late a request without an event may complete: its completion shows
// only in its OVERLAPPED and the handle's state, so it waits for the next
// request of the pin that has an event (a driver splitting a block into
// requests waits on the last one only), within this bound. The clock
// thread wakes once per block instead of once per request.
constexpr int64_t kEventlessLatenessMs = 10;

// The tick at which the clock thread must next look at a pin whose head
// request is due at headDue (in the future).
int64_t NextWakeTick(const Model& model, const PinInstance& pin, int64_t headDue)
{
    const Request& head = *pin.queue.front();
    if (head.event) {
        return headDue;
    }
    const int64_t latest = headDue + kEventlessLatenessMs * model.ticksPerSecond / 1000;
    for (const auto& request : pin.queue) {
        if (request->stalled || request->cancelAt != kNever) {
            break;
        }
        if (request->event) {
            return std::min(latest, DueTick(pin, *request));
        }
    }
    return latest;
}

// Frames the device takes in to play at `position` (bytes of its timeline).
void RecordRendered(PinInstance& pin, int64_t position, const uint8_t* data, size_t size)
{
    if (size == 0) {
        return;
    }
    KeepPlayed(pin, position, data, size);
    PinRecord& record = pin.device->pins[pin.pinId];
    record.playedBytes += static_cast<int64_t>(size);
    record.playedBlockAlign = pin.format.blockAlign;
    if (!TheModel().keepRendered) {
        return;
    }
    record.rendered.insert(record.rendered.end(), data, data + size);
    if (pin.writesFile) {
        pin.device->renderFile.Append(data, size);
    }
}

// The device ran dry from `position` on: what it played meanwhile is
// silence, recorded like data so that a recording shows the dropout where
// it was heard.
void PlaySilence(PinInstance& pin, int64_t position, int64_t bytes)
{
    const int64_t blockAlign = pin.format.blockAlign;
    if (bytes <= 0 || blockAlign <= 0) {
        return;
    }
    static const uint8_t kSilence[4096] = {};
    pin.device->pins[pin.pinId].underrunFrames += bytes / blockAlign;
    for (int64_t left = bytes; left > 0;) {
        const auto chunk = static_cast<size_t>(std::min<int64_t>(left, sizeof kSilence));
        RecordRendered(pin, position + bytes - left, kSilence, chunk);
        left -= static_cast<int64_t>(chunk);
    }
}

// Consumes or fills a whole (non-looped) request and completes it.
void FinishStream(PinInstance& pin, Request& request)
{
    if (pin.render) {
        int64_t position = request.start;
        ForEachHeader(request, [&](KSSTREAM_HEADER& header) {
            RecordRendered(pin, position, static_cast<const uint8_t*>(header.Data), header.DataUsed);
            position += header.DataUsed;
        });
    } else {
        const SignalSource source = CaptureSourceOf(pin);
        int64_t position = request.start;
        ForEachHeader(request, [&](KSSTREAM_HEADER& header) {
            GenerateCapture(source, position, static_cast<uint8_t*>(header.Data), header.FrameExtent);
            header.DataUsed = header.FrameExtent;
            position += header.FrameExtent;
        });
    }
    SignalCompletion(request, kStatusSuccess, request.headersSize);
}

// Visits the bytes [offset, offset + size) of a looped request's ring
// (the concatenated buffers of its headers), wrapping at the end.
template <typename Function>
void ForEachRingSpan(Request& request, int64_t offset, int64_t size, bool render, Function function)
{
    const int64_t ring = request.bytes;
    while (size > 0) {
        int64_t at = offset % ring;
        DWORD headerOffset = 0;
        while (headerOffset < request.headersSize && size > 0) {
            KSSTREAM_HEADER* header = HeaderAt(request, headerOffset);
            headerOffset += header->Size;
            const int64_t length = render ? header->DataUsed : header->FrameExtent;
            if (at >= length) {
                at -= length;
                continue;
            }
            const int64_t take = std::min(length - at, size);
            function(static_cast<uint8_t*>(header->Data) + at, static_cast<size_t>(take), offset);
            offset += take;
            size -= take;
            at = 0;
        }
    }
}

// Moves the looped ring over the device positions [loopDone, target).
void RunLoop(PinInstance& pin, Request& request, int64_t target)
{
    if (request.bytes <= 0 || target <= pin.loopDone) {
        pin.loopDone = std::max(pin.loopDone, target);
        return;
    }
    int64_t from = pin.loopDone;
    if (!pin.render && target - from > request.bytes) {
        from = target - request.bytes;  // older frames were overwritten in the ring anyway
    }
    if (pin.render) {
        ForEachRingSpan(request, from - pin.loopStart, target - from, true,
                        [&](uint8_t* data, size_t size, int64_t ringOffset) {
                            RecordRendered(pin, pin.loopStart + ringOffset, data, size);
                        });
    } else {
        const SignalSource source = CaptureSourceOf(pin);
        ForEachRingSpan(request, from - pin.loopStart, target - from, false,
                        [&](uint8_t* data, size_t size, int64_t ringOffset) {
                            GenerateCapture(source, pin.loopStart + ringOffset, data, size);
                        });
    }
    pin.loopDone = target;
}

void BeginLoop(Model& model, PinInstance& pin, int64_t now)
{
    Request& head = *pin.queue.front();
    pin.loopActive = true;
    pin.loopStart = FrameBoundaryAtOrAfter(
        pin, IsFast(model) ? pin.streamEnd : std::max(pin.streamEnd, WholeDevicePosition(pin, now)));
    pin.loopDone = pin.loopStart;
    if (IsFast(model)) {
        RunLoop(pin, head, pin.loopStart + head.bytes);
    }
}

// A looped buffer completes at STOP with the part of the ring that holds data.
void FinishLoop(PinInstance& pin, Request& request)
{
    if (!pin.render) {
        int64_t filled = std::min<int64_t>(pin.loopDone - pin.loopStart, request.bytes);
        ForEachHeader(request, [&](KSSTREAM_HEADER& header) {
            const int64_t used = std::clamp<int64_t>(filled, 0, header.FrameExtent);
            header.DataUsed = static_cast<ULONG>(used);
            filled -= used;
        });
    }
    pin.streamEnd = std::max(pin.streamEnd, pin.loopDone);
    pin.loopActive = false;
    SignalCompletion(request, kStatusSuccess, request.headersSize);
}

int64_t LoopPeriodTicks(const Model& model, const PinInstance& pin, const Request& head)
{
    const double byteRate = pin.bytesPerTick * static_cast<double>(model.ticksPerSecond);
    double seconds = byteRate > 0.0 ? static_cast<double>(head.bytes) / byteRate / 4.0 : 0.005;
    seconds = std::clamp(seconds, 0.001, 0.005);
    return static_cast<int64_t>(seconds * static_cast<double>(model.ticksPerSecond));
}

void FailRequest(PinInstance* pin, Request& request, NtStatus status)
{
    if (request.kind != RequestKind::Property) {
        const bool clearAll = status == kStatusDeviceRemoved;
        ForEachHeader(request, [&](KSSTREAM_HEADER& header) {
            if (clearAll || (pin && !pin->render)) {
                header.DataUsed = 0;
            }
        });
    }
    SignalCompletion(request, status, 0);
}

int64_t CancelDelayTicks(const Model& model, const PinInstance& pin)
{
    return static_cast<int64_t>(pin.device->pins[pin.pinId].cancelDelayMs) * model.ticksPerSecond / 1000;
}

// The request is being cancelled on a slow pin: it completes as cancelled
// once the delay has passed. Answers the tick at which it does.
int64_t DeferCancel(const Model& model, const PinInstance& pin, Request& request, int64_t now)
{
    if (request.cancelAt == kNever) {
        request.cancelAt = now + CancelDelayTicks(model, pin);
    }
    return request.cancelAt;
}

// Completes the requests whose slow cancellation is over, wherever they
// stand in the queue; answers the tick of the next such completion.
int64_t FinishDueCancels(PinInstance& pin, int64_t now)
{
    int64_t next = kNever;
    for (auto it = pin.queue.begin(); it != pin.queue.end();) {
        Request& request = **it;
        if (request.cancelAt == kNever) {
            ++it;
            continue;
        }
        if (request.cancelAt > now) {
            next = std::min(next, request.cancelAt);
            ++it;
            continue;
        }
        if (it == pin.queue.begin() && pin.loopActive) {
            pin.loopActive = false;
        }
        FailRequest(&pin, request, kStatusCancelled);
        it = pin.queue.erase(it);
    }
    return next;
}

int CompletePropertiesOf(Model& model, const HandleEntry& entry, const OVERLAPPED* only, NtStatus status)
{
    int count = 0;
    std::deque<std::unique_ptr<Request>> keptProperties;
    for (auto& request : model.propertyQueue) {
        if (request->handle == entry.value && (!only || request->overlapped == only)) {
            SignalCompletion(*request, status, 0);
            ++count;
        } else {
            keptProperties.push_back(std::move(request));
        }
    }
    model.propertyQueue.swap(keptProperties);
    return count;
}

}  // namespace

DWORD SubmitStream(Model& model, HandleEntry& entry, DWORD code, void* outBuffer, DWORD outSize,
                   OVERLAPPED* overlapped)
{
    if (entry.kind != HandleKind::Pin) {
        return ERROR_INVALID_FUNCTION;
    }
    PinInstance& pin = *entry.pin;
    if (pin.device->removed) {
        return ERROR_DEVICE_REMOVED;
    }
    if ((code == IOCTL_KS_WRITE_STREAM) != pin.render || pin.rt) {
        // A WaveRT pin has no stream dispatch: the request is an invalid
        // device request (STATUS_INVALID_DEVICE_REQUEST), as any KS object
        // answers a request it does not handle.
        return ERROR_INVALID_FUNCTION;
    }
    if (!overlapped) {
        return ERROR_INVALID_PARAMETER;
    }
    if (!outBuffer || outSize < sizeof(KSSTREAM_HEADER)) {
        return ERROR_INVALID_USER_BUFFER;
    }
    auto* headers = static_cast<BYTE*>(outBuffer);
    int64_t bytes = 0;
    DWORD offset = 0;
    while (offset < outSize) {
        if (outSize - offset < sizeof(KSSTREAM_HEADER)) {
            return ERROR_INVALID_USER_BUFFER;
        }
        const auto* header = reinterpret_cast<const KSSTREAM_HEADER*>(headers + offset);
        if (header->Size < sizeof(KSSTREAM_HEADER) || header->Size > outSize - offset) {
            return ERROR_INVALID_USER_BUFFER;
        }
        if (pin.render && header->DataUsed > header->FrameExtent) {
            return ERROR_INVALID_PARAMETER;
        }
        if (!header->Data && header->FrameExtent > 0) {
            return ERROR_NOACCESS;
        }
        bytes += pin.render ? header->DataUsed : header->FrameExtent;
        offset += header->Size;
    }
    const PinRecord& record = pin.device->pins[pin.pinId];
    if (record.fault == StreamFault::Fail) {
        return record.faultError;
    }

    auto request = std::make_unique<Request>();
    request->kind = pin.render ? RequestKind::Write : RequestKind::Read;
    BeginRequest(*request, entry, overlapped);
    request->headers = headers;
    request->headersSize = outSize;
    request->bytes = bytes;
    request->stalled = record.fault == StreamFault::NeverComplete;

    const int64_t now = NowTicks();
    if (IsFast(model) || pin.looped) {
        request->start = pin.streamEnd;
    } else if (!pin.queue.empty()) {
        request->start = pin.streamEnd;
    } else {
        const int64_t position = WholeDevicePosition(pin, now);
        if (pin.render) {
            request->start = std::max(pin.streamEnd, position);
            if (pin.streamBegun) {
                PlaySilence(pin, pin.streamEnd, request->start - pin.streamEnd);
            }
        } else {
            request->start = pin.streamEnd;
            const int64_t oldest = position - pin.bufferBytes;
            if (request->start < oldest) {
                const int64_t blockAlign = pin.format.blockAlign;
                const int64_t lost = (oldest - request->start + blockAlign - 1) / blockAlign * blockAlign;
                request->start += lost;
                if (pin.streamBegun) {
                    pin.device->pins[pin.pinId].overrunFrames += lost / blockAlign;
                }
            }
        }
    }
    pin.streamBegun = true;
    request->end = request->start + (pin.looped ? 0 : bytes);
    if (!pin.looped) {
        pin.streamEnd = request->end;
    }
    pin.queue.push_back(std::move(request));
    const int64_t next = AdvancePin(model, pin, now);
    SettleFileObject(entry, *overlapped);
    if (pin.state == KSSTATE_RUN && !pin.queue.empty() && (!IsFast(model) || pin.loopActive)) {
        WakeClockFor(model, next);
    }
    return ERROR_IO_PENDING;
}

namespace {

int64_t AdvanceRunningPin(Model& model, PinInstance& pin, int64_t now)
{
    if (pin.state != KSSTATE_RUN) {
        return kNever;
    }
    if (pin.rt) {
        return AdvanceRtPin(model, pin, now);
    }
    if (pin.looped) {
        if (!pin.loopActive) {
            if (pin.queue.empty() || pin.queue.front()->stalled || pin.queue.front()->cancelAt != kNever) {
                return kNever;
            }
            BeginLoop(model, pin, now);
        }
        Request& head = *pin.queue.front();
        if (IsFast(model) || head.cancelAt != kNever) {
            return kNever;
        }
        RunLoop(pin, head, WholeDevicePosition(pin, now));
        return now + LoopPeriodTicks(model, pin, head);
    }
    while (!pin.queue.empty()) {
        Request& head = *pin.queue.front();
        if (head.stalled || head.cancelAt != kNever) {
            return kNever;
        }
        if (!IsFast(model)) {
            const int64_t due = DueTick(pin, head);
            if (due > now) {
                return NextWakeTick(model, pin, due);
            }
        }
        FinishStream(pin, head);
        pin.queue.pop_front();
    }
    return kNever;
}

}  // namespace

int64_t AdvancePin(Model& model, PinInstance& pin, int64_t now)
{
    const int64_t nextCancel = FinishDueCancels(pin, now);
    return std::min(nextCancel, AdvanceRunningPin(model, pin, now));
}

NtStatus SetPinState(Model& model, PinInstance& pin, KSSTATE state)
{
    if (pin.state == state) {
        return kStatusSuccess;
    }
    const int64_t now = NowTicks();
    if (pin.state == KSSTATE_RUN) {
        AdvancePin(model, pin, now);
        if (pin.loopActive && !IsFast(model)) {
            RunLoop(pin, *pin.queue.front(), WholeDevicePosition(pin, now));
        }
        pin.anchorPos = DevicePosition(pin, now);
        pin.anchorTick = now;
    }
    pin.state = state;
    if (state == KSSTATE_STOP) {
        std::deque<std::unique_ptr<Request>> kept;
        const Request* head = pin.queue.empty() ? nullptr : pin.queue.front().get();
        const bool slow = CancelDelayTicks(model, pin) > 0;
        int64_t nextCancel = kNever;
        for (auto& request : pin.queue) {
            if (pin.loopActive && request.get() == head && request->cancelAt == kNever) {
                FinishLoop(pin, *request);
            } else if (slow) {
                nextCancel = std::min(nextCancel, DeferCancel(model, pin, *request, now));
                kept.push_back(std::move(request));
            } else if (request->stalled || request->cancelAt != kNever) {
                kept.push_back(std::move(request));
            } else {
                FailRequest(&pin, *request, kStatusCancelled);
            }
        }
        pin.queue.swap(kept);
        WakeClockFor(model, nextCancel);
        pin.loopActive = false;
        if (pin.render) {
            // What the device's buffer still held is dropped.
            pin.streamEnd = static_cast<int64_t>(std::floor(pin.anchorPos));
        }
        if (pin.writesFile) {
            pin.device->renderFile.FixUp();
        }
        RewindRtPin(pin);
    } else if (state == KSSTATE_RUN) {
        pin.anchorTick = now;
        NoteClockRun(pin);
        AdvancePin(model, pin, now);
        WakeClock(model);
    }
    return kStatusSuccess;
}

int CompleteRequestsOf(Model& model, HandleEntry& entry, const OVERLAPPED* only, NtStatus status)
{
    int count = 0;
    if (entry.kind == HandleKind::Pin) {
        PinInstance& pin = *entry.pin;
        std::deque<std::unique_ptr<Request>> kept;
        const Request* head = pin.queue.empty() ? nullptr : pin.queue.front().get();
        for (auto& request : pin.queue) {
            if (only && request->overlapped != only) {
                kept.push_back(std::move(request));
                continue;
            }
            if (request.get() == head && pin.loopActive) {
                pin.loopActive = false;
            }
            FailRequest(&pin, *request, status);
            ++count;
        }
        pin.queue.swap(kept);
    }
    return count + CompletePropertiesOf(model, entry, only, status);
}

int CancelRequestsOf(Model& model, HandleEntry& entry, const OVERLAPPED* only)
{
    if (entry.kind != HandleKind::Pin || CancelDelayTicks(model, *entry.pin) == 0) {
        return CompleteRequestsOf(model, entry, only, kStatusCancelled);
    }
    PinInstance& pin = *entry.pin;
    const int64_t now = NowTicks();
    int64_t nextCancel = kNever;
    int count = 0;
    for (auto& request : pin.queue) {
        if (!only || request->overlapped == only) {
            nextCancel = std::min(nextCancel, DeferCancel(model, pin, *request, now));
            ++count;
        }
    }
    WakeClockFor(model, nextCancel);
    return count + CompletePropertiesOf(model, entry, only, kStatusCancelled);
}

void FailRequestsOfDevice(Model& model, const Device& device)
{
    for (auto& [value, entry] : model.handles) {
        if (entry->device.get() == &device) {
            CompleteRequestsOf(model, *entry, nullptr, kStatusDeviceRemoved);
            if (entry->pin && entry->pin->writesFile) {
                entry->pin->device->renderFile.FixUp();
            }
        }
    }
}

void ClosePinInstance(Model& model, PinInstance& pin)
{
    HandleEntry* entry = FindHandle(model, pin.handle);
    if (entry) {
        CompleteRequestsOf(model, *entry, nullptr, kStatusCancelled);
    }
    PinRecord& record = pin.device->pins[pin.pinId];
    record.openInstances = std::max(0, record.openInstances - 1);
    if (pin.sharedKey != 0) {
        GiveSharedInstance(pin.sharedKey);
        pin.sharedKey = 0;
    }
    if (pin.writesFile) {
        pin.device->renderFile.Close();
        pin.writesFile = false;
    }
}

void ApplyClockMode(Model& model, ClockMode mode)
{
    if (model.clockMode == mode) {
        return;
    }
    const int64_t before = NowTicks();  // on the clock being left
    if (mode == ClockMode::Virtual) {
        StartVirtualTime(model);
    } else if (model.clockMode == ClockMode::Virtual) {
        StopVirtualTime(model);
    }
    const int64_t now = NowTicks();  // on the clock taking over
    for (auto& [value, entry] : model.handles) {
        if (entry->kind != HandleKind::Pin) {
            continue;
        }
        PinInstance& pin = *entry->pin;
        if (model.clockMode == ClockMode::Fast && !pin.rt) {
            // The device clock starts again where the data stands.
            pin.anchorPos = static_cast<double>(pin.queue.empty() || pin.looped ? pin.streamEnd : pin.queue.front()->start);
            if (pin.loopActive) {
                pin.anchorPos = static_cast<double>(pin.loopDone);
            }
        } else {
            pin.anchorPos = DevicePosition(pin, before);
        }
        pin.anchorTick = now;
        NoteClockRun(pin, true);
    }
    model.clockMode = mode;
    bool pins = false;
    for (auto& [value, entry] : model.handles) {
        if (entry->kind == HandleKind::Pin) {
            AdvancePin(model, *entry->pin, now);
            pins = true;
        }
    }
    if (pins) {
        WakeClock(model);  // the next device events have moved
    }
}

int64_t AdvanceAllPins(Model& model, int64_t now)
{
    int64_t next = kNever;
    for (auto& [value, entry] : model.handles) {
        if (entry->kind == HandleKind::Pin) {
            next = std::min(next, AdvancePin(model, *entry->pin, now));
        }
    }
    return next;
}

int64_t PinPositionFrames(const PinInstance& pin, int64_t tick)
{
    return pin.format.blockAlign > 0 ? WholeDevicePosition(pin, tick) / pin.format.blockAlign : 0;
}

void SetPinClockPpm(PinInstance& pin, double ppm, int64_t now)
{
    pin.anchorPos = DevicePosition(pin, now);
    pin.anchorTick = now;
    const double byteRate = static_cast<double>(pin.format.sampleRate) * pin.format.blockAlign * (1.0 + ppm * 1e-6);
    pin.bytesPerTick = byteRate / static_cast<double>(TheModel().ticksPerSecond);
    NoteClockRun(pin);
}

}  // namespace kssim::detail
