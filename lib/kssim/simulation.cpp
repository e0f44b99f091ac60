// The Simulation object tests and tools hold, and the loading of kssim.ini
// beside the module when nobody installed a model in code.

#include "description_file.h"
#include "model_state.h"

#include <algorithm>
#include <atomic>
#include <stdexcept>

namespace kssim {

using namespace detail;

// The model itself lives in detail::TheModel(), which outlives this object
// (other static objects may still close simulated handles at exit).
struct Simulation::State {};

namespace {

bool ProcessIsEnding()
{
    // At process exit the other threads are already gone and may have left
    // the model locked; the OS reclaims everything then.
    using ShutdownQuery = BOOLEAN(WINAPI*)();
    static const auto query = reinterpret_cast<ShutdownQuery>(
        reinterpret_cast<void*>(GetProcAddress(GetModuleHandleA("ntdll.dll"), "RtlDllShutdownInProgress")));
    return query && query();
}

std::vector<std::shared_ptr<Device>> MakeDevices(Model& model, std::vector<DeviceModel> devices)
{
    std::vector<std::shared_ptr<Device>> made;
    for (size_t i = 0; i < devices.size(); ++i) {
        for (size_t j = 0; j < i; ++j) {
            if (lstrcmpiA(devices[i].devicePath.c_str(), devices[j].devicePath.c_str()) == 0) {
                throw std::invalid_argument("kssim: two devices with the path " + devices[i].devicePath);
            }
        }
    }
    for (auto& device : devices) {
        made.push_back(MakeDevice(model, std::move(device)));
    }
    return made;
}

PinRecord& RecordOf(Model& model, const std::string& devicePath, ULONG pinId)
{
    const std::shared_ptr<Device> device = DeviceByPath(model, devicePath);
    if (pinId >= device->pins.size()) {
        throw std::invalid_argument("kssim: " + devicePath + " has no pin " + std::to_string(pinId));
    }
    return device->pins[pinId];
}

// The pin's instance created last of those still open, or null.
const PinInstance* LatestInstance(Model& model, const std::string& devicePath, ULONG pinId)
{
    const std::shared_ptr<Device> device = DeviceByPath(model, devicePath);
    RecordOf(model, devicePath, pinId);
    const PinInstance* latest = nullptr;
    for (const auto& [value, entry] : model.handles) {
        if (entry->kind == HandleKind::Pin && entry->device == device && entry->pin->pinId == pinId &&
            (!latest || entry->pin->serial > latest->serial)) {
            latest = entry->pin.get();
        }
    }
    return latest;
}

std::string ModuleFolder()
{
    HMODULE module = nullptr;
    if (!GetModuleHandleExA(GET_MODULE_HANDLE_EX_FLAG_FROM_ADDRESS | GET_MODULE_HANDLE_EX_FLAG_UNCHANGED_REFCOUNT,
                            reinterpret_cast<LPCSTR>(&ModuleFolder), &module)) {
        return {};
    }
    char path[MAX_PATH * 2];
    const DWORD length = GetModuleFileNameA(module, path, sizeof path);
    if (length == 0 || length >= sizeof path) {
        return {};
    }
    std::string folder(path, length);
    const auto slash = folder.find_last_of("\\/");
    return slash == std::string::npos ? std::string() : folder.substr(0, slash + 1);
}

std::atomic<bool> g_loadSettled{false};

// The [kssim] switches. A described virtual clock runs freely: nobody in a
// host or panel process moves its limit.
void ApplyDescriptionSwitches(Model& model, const Description& description)
{
    ApplyClockMode(model, description.clockMode);
    model.ksUserMissing = description.ksUserMissing;
    VirtualTime& time = model.virtualTime;
    if (description.clockMode == ClockMode::Virtual && time.on.load()) {
        time.limit = kNever;
        time.jitterState = description.seed;
        time.noiseState = description.seed ^ 0x5851f42d4c957f2dull;
        time.jitterMaxTicks = static_cast<int64_t>(description.jitterMs * static_cast<double>(model.ticksPerSecond) / 1000.0);
    }
    time.positionNoiseFrames = description.positionNoiseFrames;
}

}  // namespace

Simulation& Simulation::Instance()
{
    static Simulation instance;
    return instance;
}

Simulation::Simulation() : m_pState(new State) {}

Simulation::~Simulation()
{
    if (!ProcessIsEnding()) {
        ClockStop stop;
        Model& model = TheModel();
        ModelLock lock(model);
        stop = TearDown(model);
    }
    delete m_pState;
    m_pState = nullptr;
}

void Simulation::Reset(std::vector<DeviceModel> devices)
{
    ClockStop stop;
    Model& model = TheModel();
    ModelLock lock(model);
    std::vector<std::shared_ptr<Device>> made = MakeDevices(model, std::move(devices));
    stop = TearDown(model);
    model.devices = std::move(made);
    model.installed = true;
}

void Simulation::AddDevice(DeviceModel device)
{
    Model& model = TheModel();
    ModelLock lock(model);
    auto same = std::find_if(model.devices.begin(), model.devices.end(), [&](const auto& existing) {
        return lstrcmpiA(existing->model.devicePath.c_str(), device.devicePath.c_str()) == 0;
    });
    if (same != model.devices.end() && !(*same)->removed) {
        throw std::invalid_argument("kssim: a device with the path " + device.devicePath + " is present already");
    }
    std::shared_ptr<Device> made = MakeDevice(model, std::move(device));
    if (same != model.devices.end()) {
        model.devices.erase(same);
    }
    model.devices.push_back(std::move(made));
    model.installed = true;
}

void Simulation::LoadDescription(const std::string& path)
{
    Description description = ReadDescription(path);
    Reset(std::move(description.devices));
    Model& model = TheModel();
    ModelLock lock(model);
    ApplyDescriptionSwitches(model, description);
}

void Simulation::SetClockMode(ClockMode mode)
{
    Model& model = TheModel();
    ModelLock lock(model);
    ApplyClockMode(model, mode);
}

void Simulation::SetKsUserMissing(bool missing)
{
    Model& model = TheModel();
    ModelLock lock(model);
    model.ksUserMissing = missing;
}

void Simulation::HoldPropertyCompletions(bool hold)
{
    Model& model = TheModel();
    ModelLock lock(model);
    model.holdProperties = hold;
    if (!hold && !model.propertyQueue.empty()) {
        WakeClock(model);
    }
}

void Simulation::RemoveDevice(const std::string& devicePath)
{
    Model& model = TheModel();
    ModelLock lock(model);
    const std::shared_ptr<Device> device = DeviceByPath(model, devicePath);
    if (device->removed) {
        return;
    }
    device->removed = true;
    FailRequestsOfDevice(model, *device);
}

void Simulation::SetStreamFault(const std::string& devicePath, int pinId, StreamFault fault, DWORD error)
{
    Model& model = TheModel();
    ModelLock lock(model);
    const std::shared_ptr<Device> device = DeviceByPath(model, devicePath);
    if (pinId < -1 || pinId >= static_cast<int>(device->pins.size())) {
        throw std::invalid_argument("kssim: " + devicePath + " has no pin " + std::to_string(pinId));
    }
    for (size_t i = 0; i < device->pins.size(); ++i) {
        if (pinId == -1 || static_cast<size_t>(pinId) == i) {
            device->pins[i].fault = fault;
            device->pins[i].faultError = error;
        }
    }
}

void Simulation::SetCancelDelay(const std::string& devicePath, int pinId, DWORD ms)
{
    Model& model = TheModel();
    ModelLock lock(model);
    const std::shared_ptr<Device> device = DeviceByPath(model, devicePath);
    if (pinId < -1 || pinId >= static_cast<int>(device->pins.size())) {
        throw std::invalid_argument("kssim: " + devicePath + " has no pin " + std::to_string(pinId));
    }
    for (size_t i = 0; i < device->pins.size(); ++i) {
        if (pinId == -1 || static_cast<size_t>(pinId) == i) {
            device->pins[i].cancelDelayMs = ms;
        }
    }
}

namespace {

// The pins a hold or release names: one, or every pin of the device (-1).
template <typename Visit>
void ForPins(Model& model, const std::string& devicePath, int pinId, Visit visit)
{
    const std::shared_ptr<Device> device = DeviceByPath(model, devicePath);
    if (pinId < -1 || pinId >= static_cast<int>(device->pins.size())) {
        throw std::invalid_argument("kssim: " + devicePath + " has no pin " + std::to_string(pinId));
    }
    for (size_t i = 0; i < device->pins.size(); ++i) {
        if (pinId == -1 || static_cast<size_t>(pinId) == i) {
            visit(*device, i);
        }
    }
}

}  // namespace

void Simulation::HoldInstances(const std::string& devicePath, int pinId)
{
    Model& model = TheModel();
    ModelLock lock(model);
    ForPins(model, devicePath, pinId, [](Device& device, size_t pin) { HoldFreeInstances(device, pin); });
}

void Simulation::ReleaseInstances(const std::string& devicePath, int pinId)
{
    Model& model = TheModel();
    ModelLock lock(model);
    ForPins(model, devicePath, pinId, [](Device& device, size_t pin) { device.pins[pin].heldElsewhere = 0; });
}

std::vector<uint8_t> Simulation::RenderedBytes(const std::string& devicePath, ULONG pinId) const
{
    Model& model = TheModel();
    ModelLock lock(model);
    return RecordOf(model, devicePath, pinId).rendered;
}

void Simulation::ClearRendered(const std::string& devicePath, ULONG pinId)
{
    Model& model = TheModel();
    ModelLock lock(model);
    // The memory is kept for what comes next; Reset gives it back.
    RecordOf(model, devicePath, pinId).rendered.clear();
}

int64_t Simulation::UnderrunFrames(const std::string& devicePath, ULONG pinId) const
{
    Model& model = TheModel();
    ModelLock lock(model);
    return RecordOf(model, devicePath, pinId).underrunFrames;
}

int64_t Simulation::OverrunFrames(const std::string& devicePath, ULONG pinId) const
{
    Model& model = TheModel();
    ModelLock lock(model);
    return RecordOf(model, devicePath, pinId).overrunFrames;
}

std::vector<Simulation::DeviceStreamCounts> Simulation::StreamCounts() const
{
    Model& model = TheModel();
    ModelLock lock(model);
    std::vector<DeviceStreamCounts> counts;
    for (const auto& device : model.devices) {
        DeviceStreamCounts entry;
        entry.name = device->model.friendlyName.value_or(device->model.devicePath);
        bool streamed = false;
        for (const PinRecord& pin : device->pins) {
            streamed = streamed || !pin.lastConnect.empty();
            entry.underrunFrames += pin.underrunFrames;
            entry.overrunFrames += pin.overrunFrames;
        }
        if (streamed) {
            counts.push_back(std::move(entry));
        }
    }
    return counts;
}

KSSTATE Simulation::PinState(const std::string& devicePath, ULONG pinId) const
{
    Model& model = TheModel();
    ModelLock lock(model);
    const PinInstance* latest = LatestInstance(model, devicePath, pinId);
    return latest ? latest->state : KSSTATE_STOP;
}

int Simulation::OpenPinInstances(const std::string& devicePath, ULONG pinId) const
{
    Model& model = TheModel();
    ModelLock lock(model);
    return RecordOf(model, devicePath, pinId).openInstances;
}

std::vector<uint8_t> Simulation::LastPinConnect(const std::string& devicePath, ULONG pinId) const
{
    Model& model = TheModel();
    ModelLock lock(model);
    return RecordOf(model, devicePath, pinId).lastConnect;
}

int Simulation::OpenHandleCount() const
{
    Model& model = TheModel();
    ModelLock lock(model);
    return CountHandles(model, HandleKind::Filter) + CountHandles(model, HandleKind::Pin);
}

int Simulation::OpenDeviceInfoSetCount() const
{
    Model& model = TheModel();
    ModelLock lock(model);
    return CountHandles(model, HandleKind::DeviceInfoSet);
}

int64_t Simulation::DeviceInfoSetsMade() const
{
    Model& model = TheModel();
    ModelLock lock(model);
    return model.deviceInfoSetsMade;
}

int64_t Simulation::EventCalls() const
{
    return EventCallCount();
}

int64_t Simulation::PlayedFrames(const std::string& devicePath, ULONG pinId) const
{
    Model& model = TheModel();
    ModelLock lock(model);
    const PinRecord& record = RecordOf(model, devicePath, pinId);
    return record.playedBlockAlign > 0 ? record.playedBytes / record.playedBlockAlign : 0;
}

int64_t Simulation::DevicePositionFrames(const std::string& devicePath, ULONG pinId) const
{
    Model& model = TheModel();
    ModelLock lock(model);
    const PinInstance* latest = LatestInstance(model, devicePath, pinId);
    return latest ? PinPositionFrames(*latest, NowTicks()) : -1;
}

RenderTail Simulation::PlayedTail(const std::string& devicePath, ULONG pinId, size_t frames) const
{
    Model& model = TheModel();
    ModelLock lock(model);
    const PinInstance* latest = LatestInstance(model, devicePath, pinId);
    return latest ? ReadPlayedTail(*latest, NowTicks(), frames) : RenderTail();
}

void Simulation::SetClockPpm(const std::string& devicePath, double ppm)
{
    Model& model = TheModel();
    ModelLock lock(model);
    const std::shared_ptr<Device> device = DeviceByPath(model, devicePath);
    if (!(ppm > -1e6 && ppm <= 1e6)) {
        throw std::invalid_argument("kssim: clock error out of range: " + std::to_string(ppm) + " ppm");
    }
    device->model.clockPpm = ppm;
    const int64_t now = NowTicks();
    bool pins = false;
    for (auto& [value, entry] : model.handles) {
        if (entry->kind == HandleKind::Pin && entry->device == device) {
            SetPinClockPpm(*entry->pin, ppm, now);
            pins = true;
        }
    }
    if (pins && model.clockMode != ClockMode::Virtual) {
        WakeClock(model);  // the device events it sleeps towards have moved
    }
}

int Simulation::PendingRequestCount() const
{
    Model& model = TheModel();
    ModelLock lock(model);
    size_t count = model.propertyQueue.size();
    for (const auto& [value, entry] : model.handles) {
        if (entry->kind == HandleKind::Pin) {
            count += entry->pin->queue.size();
        }
    }
    return static_cast<int>(count);
}

namespace detail {

void EnsureModelLoaded()
{
    if (g_loadSettled.load(std::memory_order_acquire)) {
        return;
    }
    try {
        // Registers the teardown at exit before anything can be opened.
        Simulation::Instance();
        Model& model = TheModel();
        ModelLock lock(model);
        if (!model.installed && !model.autoLoadTried) {
            model.autoLoadTried = true;
            const std::string path = ModuleFolder() + "kssim.ini";
            if (GetFileAttributesA(path.c_str()) != INVALID_FILE_ATTRIBUTES) {
                try {
                    Description description = ReadDescription(path);
                    model.devices = MakeDevices(model, std::move(description.devices));
                    for (const std::shared_ptr<Device>& device : model.devices) {
                        device->sharedScope = path;
                    }
                    ApplyDescriptionSwitches(model, description);
                    model.installed = true;
                } catch (const std::exception& error) {
                    // No caller to tell: the seam answers from an empty model
                    // and the reason goes to the debugger output.
                    model.devices.clear();
                    TraceLine(std::string("description not loaded: ") + error.what());
                }
            }
        }
    } catch (...) {
        // Out of memory before anything was loaded: the seam answers from
        // whatever model there is, and its own calls report the shortage.
    }
    g_loadSettled.store(true, std::memory_order_release);
}

}  // namespace detail

}  // namespace kssim
