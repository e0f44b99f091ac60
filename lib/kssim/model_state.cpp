#include "model_state.h"

#include <algorithm>
#include <atomic>
#include <stdexcept>

namespace kssim::detail {

namespace {

// Simulated handle values are the values of their kernel objects with the
// second-lowest bit set. Kernel handles are multiples of four, so a
// simulated value can never equal a real handle, and the kernel (which
// ignores the two low tag bits) still finds the object behind it.
constexpr uintptr_t kHandleTag = 2;

std::atomic<int64_t> g_eventCalls{0};

}  // namespace

Model::Model()
{
    InitializeCriticalSection(&lock);
    LARGE_INTEGER frequency{};
    QueryPerformanceFrequency(&frequency);
    ticksPerSecond = frequency.QuadPart > 0 ? frequency.QuadPart : 1;
}

Model& TheModel()
{
    // Never destroyed: other static objects may still close handles while
    // the process ends. Simulation's destructor empties it instead.
    static Model* model = new Model();
    return *model;
}

int64_t NowTicks()
{
    const VirtualTime& virtualTime = TheModel().virtualTime;
    if (virtualTime.on.load(std::memory_order_acquire)) {
        return virtualTime.now.load(std::memory_order_acquire);
    }
    LARGE_INTEGER now{};
    QueryPerformanceCounter(&now);
    return now.QuadPart;
}

HANDLE AddHandle(Model& model, std::unique_ptr<HandleEntry> entry)
{
    HANDLE object = CreateEventA(nullptr, TRUE, FALSE, nullptr);
    if (!object) {
        return nullptr;
    }
    const auto raw = reinterpret_cast<uintptr_t>(object);
    HANDLE value = (raw & 3) == 0 ? reinterpret_cast<HANDLE>(raw | kHandleTag) : object;
    entry->object = object;
    entry->value = value;
    if (entry->pin) {
        entry->pin->handle = value;
    }
    model.handles[value] = std::move(entry);
    return value;
}

HandleEntry* FindHandle(Model& model, HANDLE handle)
{
    const auto found = model.handles.find(handle);
    return found == model.handles.end() ? nullptr : found->second.get();
}

bool LooksSimulated(HANDLE handle)
{
    const auto raw = reinterpret_cast<uintptr_t>(handle);
    return (raw & 3) == kHandleTag && raw < (uintptr_t{1} << 30);
}

void DestroyHandle(Model& model, HANDLE handle)
{
    const auto found = model.handles.find(handle);
    if (found == model.handles.end()) {
        return;
    }
    CloseHandle(found->second->object);
    model.handles.erase(found);
}

int CountHandles(const Model& model, HandleKind kind)
{
    int count = 0;
    for (const auto& [value, entry] : model.handles) {
        if (entry->kind == kind) {
            ++count;
        }
    }
    return count;
}

std::shared_ptr<Device> DeviceByPath(Model& model, const std::string& devicePath)
{
    for (const auto& device : model.devices) {
        if (device->model.devicePath == devicePath) {
            return device;
        }
    }
    throw std::invalid_argument("kssim: no device with path " + devicePath);
}

std::shared_ptr<Device> MakeDevice(Model& model, DeviceModel deviceModel)
{
    auto device = std::make_shared<Device>();
    if (deviceModel.captureSignal == Signal::WavFile) {
        try {
            device->clip = ReadCaptureClip(deviceModel.captureFile);
        } catch (const std::runtime_error& error) {
            throw std::invalid_argument(std::string("kssim: capture file of ") + deviceModel.devicePath + ": " +
                                        error.what());
        }
    }
    if (deviceModel.signalFrequency == 0) {
        throw std::invalid_argument("kssim: signalFrequency 0 for " + deviceModel.devicePath);
    }
    device->pins.resize(deviceModel.pins.size());
    device->model = std::move(deviceModel);
    device->devInst = model.nextDevInst++;
    if (device->model.heldByOtherProgram) {
        for (size_t pin = 0; pin < device->pins.size(); ++pin) {
            HoldFreeInstances(*device, pin);
        }
    }
    return device;
}

namespace {

// Instances of a limit still free with `taken` of them in use; -1 without a limit.
int64_t FreeInstances(const KSPIN_CINSTANCES& limit, int taken)
{
    if (limit.PossibleCount == KSINSTANCE_INDETERMINATE) {
        return -1;
    }
    return std::max<int64_t>(0, static_cast<int64_t>(limit.PossibleCount) - limit.CurrentCount - taken);
}

}  // namespace

void HoldFreeInstances(Device& device, size_t pinId)
{
    const PinModel& pin = device.model.pins[pinId];
    PinRecord& record = device.pins[pinId];
    const int taken = record.openInstances + record.heldElsewhere;
    const int64_t local = FreeInstances(pin.instances, taken);
    const int64_t global = FreeInstances(pin.globalInstances, taken);
    int64_t taking = 0;
    if (local < 0 && global < 0) {
        // No limit: the other program holds one instance, the pin stays free.
        taking = record.heldElsewhere == 0 ? 1 : 0;
    } else {
        taking = local < 0 ? global : global < 0 ? local : std::min(local, global);
    }
    record.heldElsewhere += static_cast<int>(std::min<int64_t>(taking, INT32_MAX - taken));
}

void SignalCompletion(Request& request, NtStatus status, ULONG_PTR information)
{
    if (request.overlapped) {
        request.overlapped->InternalHigh = information;
        request.overlapped->Internal = static_cast<ULONG_PTR>(static_cast<ULONG>(status));
    }
    if (request.event) {
        SignalObject(request.event);
    } else if (request.file && !request.file->objectSignalled) {
        SignalObject(request.file->object);
        request.file->objectSignalled = true;
    }
    request.overlapped = nullptr;
    request.event = nullptr;
    request.file = nullptr;
}

void BeginRequest(Request& request, HandleEntry& entry, OVERLAPPED* overlapped)
{
    request.handle = entry.value;
    request.overlapped = overlapped;
    request.event = reinterpret_cast<HANDLE>(reinterpret_cast<uintptr_t>(overlapped->hEvent) & ~uintptr_t{1});
    request.file = &entry;
    overlapped->Internal = static_cast<ULONG_PTR>(kStatusPending);
    overlapped->InternalHigh = 0;
}

void SettleFileObject(HandleEntry& entry, const OVERLAPPED& overlapped)
{
    const bool hasEvent = (reinterpret_cast<uintptr_t>(overlapped.hEvent) & ~uintptr_t{1}) != 0;
    if (!hasEvent && overlapped.Internal == static_cast<ULONG_PTR>(kStatusPending) && entry.objectSignalled) {
        ResetObject(entry.object);
        entry.objectSignalled = false;
    }
}

ClockStop TearDown(Model& model)
{
    for (auto& [value, entry] : model.handles) {
        if (entry->kind == HandleKind::Pin) {
            ClosePinInstance(model, *entry->pin);
        } else if (entry->kind == HandleKind::Filter) {
            CompleteRequestsOf(model, *entry, nullptr, kStatusCancelled);
        }
    }
    // Before the handles go: a request signals its handle's object.
    for (auto& request : model.propertyQueue) {
        SignalCompletion(*request, kStatusCancelled, 0);
    }
    model.propertyQueue.clear();
    for (auto& [value, entry] : model.handles) {
        CloseHandle(entry->object);
    }
    model.handles.clear();
    for (auto& device : model.devices) {
        device->renderFile.Forget();
    }
    model.devices.clear();
    StopVirtualTime(model);
    model.clockMode = ClockMode::RealTime;
    model.keepRendered = true;
    model.ksUserMissing = false;
    model.holdProperties = false;
    return StopClock(model);
}

BOOL SignalObject(HANDLE event)
{
    CountEventCall();
    return SetEvent(event);
}

BOOL ResetObject(HANDLE event)
{
    CountEventCall();
    return ResetEvent(event);
}

void CountEventCall()
{
    g_eventCalls.fetch_add(1, std::memory_order_relaxed);
}

int64_t EventCallCount()
{
    return g_eventCalls.load(std::memory_order_relaxed);
}

void TraceLine(const std::string& text)
{
    OutputDebugStringA(("[kssim] " + text + "\n").c_str());
}

SignalSource CaptureSourceOf(const PinInstance& pin)
{
    SignalSource source;
    source.signal = pin.device->model.captureSignal;
    source.frequency = pin.device->model.signalFrequency;
    source.clip = pin.device->clip.get();
    source.channels = pin.format.channels;
    source.bitsPerSample = pin.format.bitsPerSample;
    source.validBits = pin.format.validBits;
    source.isFloat = pin.format.isFloat;
    source.sampleRate = pin.format.sampleRate;
    return source;
}

}  // namespace kssim::detail
