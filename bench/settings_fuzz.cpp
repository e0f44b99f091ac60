// The settings fuzz campaign. Prints figures; exits 1 when an input breaks a
// limit or a driver misbehaves.
//
//   settings_fuzz [inputs, 10000 by default] [inputs on to driver init, 300] [seed]
//
// Each input is a damaged or hostile config.ini (random bytes, the valid file
// truncated at every point in turn, numbers at and beyond the limits,
// thousands of devices, megabyte lines, invalid GBK, NUL bytes, random edits),
// read in-process through every reading operation of the settings file; every
// value read must be the documented one or inside the documented limits.
// Inputs spread evenly over the run also go on to a driver object over
// simulated devices: init, then either streams or says why through
// getErrorMessage, and closes every simulated handle on release.

#include "settings_file.h"

#include "appdata_redirect.h"
#include "kssim.h"
#include "message_box.h"
#include "settings_fuzz_cases.h"
#include "settings_fuzz_driver.h"
#include "bench_support.h"

#include <psapi.h>
#include <windows.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <string>

namespace {

long g_boxes = 0;
int CountBox(const char*, const char*, unsigned int)
{
    ++g_boxes;
    return IDOK;
}

PROCESS_MEMORY_COUNTERS Memory()
{
    PROCESS_MEMORY_COUNTERS counters{};
    counters.cb = sizeof counters;
    GetProcessMemoryInfo(GetCurrentProcess(), &counters, sizeof counters);
    return counters;
}

struct KindFigures {
    long inputs = 0;
    long failures = 0;
    double worstMs = 0;
    double totalMs = 0;
};

}  // namespace

int main(int argc, char** argv)
{
    const long inputs = argc > 1 ? std::atol(argv[1]) : 10000;
    const long driverInputs = argc > 2 ? std::atol(argv[2]) : 300;
    const auto seed = static_cast<uint32_t>(argc > 3 ? std::strtoul(argv[3], nullptr, 10) : 20261210);
    SetMessageBoxHandler(CountBox);
    AppDataRedirect appData(L"telvara-settings-fuzz");
    CreateDirectoryA(appData.SettingsFolder().c_str(), nullptr);
    SettingsFuzz::UseValidFileDevices();
    WriteFileBytes(appData.SettingsFile(), SettingsFuzz::ValidFile());
    SettingsFile file(SettingsFailureAction::Continue);

    SettingsFuzz::Generator generator(seed);
    KindFigures kinds[static_cast<int>(SettingsFuzz::Kind::Count)];
    KindFigures driver;
    long initialised = 0;
    const long driverEvery = driverInputs > 0 ? std::max(1L, inputs / driverInputs) : 0;
    const size_t startCommitted = Memory().PagefileUsage;
    const double start = BenchSupport::Seconds();
    for (long i = 0; i < inputs; ++i) {
        const SettingsFuzz::Input input = generator.Make(static_cast<uint64_t>(i));
        KindFigures& figures = kinds[static_cast<int>(input.kind)];
        const double t0 = BenchSupport::Seconds();
        const std::string problem = SettingsFuzz::ReaderViolation(file, appData.SettingsFile(), input.bytes);
        const double ms = (BenchSupport::Seconds() - t0) * 1000.0;
        ++figures.inputs;
        figures.totalMs += ms;
        figures.worstMs = std::max(figures.worstMs, ms);
        if (!problem.empty()) {
            ++figures.failures;
            std::printf("input %ld (%s): %s\n", i, SettingsFuzz::KindName(input.kind), problem.c_str());
        }
        if (driverEvery && i % driverEvery == 0 && driver.inputs < driverInputs) {
            bool ok = false;
            const double d0 = BenchSupport::Seconds();
            const std::string driverProblem = SettingsFuzz::DriverInitViolation(appData.SettingsFile(), input.bytes, &ok);
            const double dms = (BenchSupport::Seconds() - d0) * 1000.0;
            ++driver.inputs;
            driver.totalMs += dms;
            driver.worstMs = std::max(driver.worstMs, dms);
            initialised += ok ? 1 : 0;
            if (!driverProblem.empty()) {
                ++driver.failures;
                std::printf("input %ld (%s) at driver init: %s\n", i, SettingsFuzz::KindName(input.kind),
                            driverProblem.c_str());
            }
        }
    }
    const double seconds = BenchSupport::Seconds() - start;
    const PROCESS_MEMORY_COUNTERS memory = Memory();
    std::printf("settings fuzz, seed %u: %ld inputs in %.1f s\n", seed, inputs, seconds);
    std::printf("%-16s %8s %8s %10s %10s\n", "kind", "inputs", "broken", "mean ms", "worst ms");
    long broken = 0;
    for (int k = 0; k < static_cast<int>(SettingsFuzz::Kind::Count); ++k) {
        const KindFigures& f = kinds[k];
        broken += f.failures;
        std::printf("%-16s %8ld %8ld %10.2f %10.2f\n", SettingsFuzz::KindName(static_cast<SettingsFuzz::Kind>(k)),
                    f.inputs, f.failures, f.inputs ? f.totalMs / f.inputs : 0.0, f.worstMs);
    }
    std::printf("%-16s %8ld %8ld %10.2f %10.2f   (%ld streamed, %ld refused with a message)\n", "driver init",
                driver.inputs, driver.failures, driver.inputs ? driver.totalMs / driver.inputs : 0.0, driver.worstMs,
                initialised, driver.inputs - initialised);
    std::printf("committed memory: %.1f MiB at start, %.1f MiB at end, peak %.1f MiB; error boxes %ld\n",
                startCommitted / 1048576.0, memory.PagefileUsage / 1048576.0, memory.PeakPagefileUsage / 1048576.0,
                g_boxes);
    return broken + driver.failures == 0 ? 0 : 1;
}
