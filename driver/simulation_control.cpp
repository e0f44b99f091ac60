// Built into the driver over simulated devices only: the simulation's fault,
// arrival and clock calls, for a host in the same process that tests the
// driver. Nothing the simulation throws leaves the module.
#include "kssim.h"
#include "simulation_control.h"

#include <exception>

namespace {

kssim::Simulation& Sim()
{
    return kssim::Simulation::Instance();
}

template <typename Call>
int Done(Call&& call)
{
    try {
        call();
        return 1;
    } catch (const std::exception&) {
        return 0;
    }
}

template <typename Count>
int64_t Counted(Count&& count)
{
    try {
        return count();
    } catch (const std::exception&) {
        return -1;
    }
}

kssim::StreamFault FaultOf(int fault)
{
    switch (fault) {
    case TELVARA_SIM_FAULT_FAIL:
        return kssim::StreamFault::Fail;
    case TELVARA_SIM_FAULT_NEVER_COMPLETE:
        return kssim::StreamFault::NeverComplete;
    default:
        return kssim::StreamFault::None;
    }
}

const TelvaraSimulationCalls kCalls = {
    [](uint64_t seed) {
        return Done([seed] {
            Sim().SetClockMode(kssim::ClockMode::Virtual);
            Sim().SetSeed(seed);
        });
    },
    [](double seconds, uint32_t wallTimeoutMs) { return Sim().RunFor(seconds, wallTimeoutMs) ? 1 : 0; },
    [] { return Sim().VirtualSeconds(); },
    [](double maxMs) { Sim().SetJitter(maxMs); },
    [](const char* devicePath) { return Done([devicePath] { Sim().RemoveDevice(devicePath); }); },
    [](int capture, const char* friendlyName, const char* devicePath) {
        return Done([=] {
            Sim().AddDevice(capture ? kssim::CaptureDevice(friendlyName, devicePath)
                                    : kssim::RenderDevice(friendlyName, devicePath));
        });
    },
    [](const char* devicePath, int pinId, int fault) {
        return Done([=] { Sim().SetStreamFault(devicePath, pinId, FaultOf(fault)); });
    },
    [](int keep) { Sim().KeepRenderedBytes(keep != 0); },
    [](const char* devicePath, int pinId) {
        return Counted([=] { return Sim().UnderrunFrames(devicePath, static_cast<ULONG>(pinId)); });
    },
    [](const char* devicePath, int pinId) {
        return Counted([=] { return Sim().OverrunFrames(devicePath, static_cast<ULONG>(pinId)); });
    },
    [](const char* devicePath, int pinId) {
        return Counted([=] { return Sim().PlayedFrames(devicePath, static_cast<ULONG>(pinId)); });
    },
    [] { return Sim().OpenHandleCount(); },
    [] { return Sim().PendingRequestCount(); },
    [] { return Sim().DeviceInfoSetsMade(); },
};

}  // namespace

extern "C" __declspec(dllexport) const TelvaraSimulationCalls* TelvaraSimulationControl()
{
    return &kCalls;
}
