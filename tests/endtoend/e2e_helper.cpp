// Programs the end-to-end tests start, in one executable:
//
//   e2e_helper stream READY-EVENT volume|outlatency|none [OUTPUTS]
//       An ASIO host: finds the driver under HKLM\SOFTWARE\ASIO, creates it
//       with CoCreateInstance and streams StreamSample on outputs 0 to
//       OUTPUTS - 1 (two unless given, at most four). After eight buffer
//       switches it sets READY-EVENT, waits until the driver's control
//       thread has taken up the panel's change (its trace line; with none it
//       waits for nothing), then streams twenty more switches and ends.
//   e2e_helper panel-window DRIVER RESULT-FILE DONE-EVENT
//       Creates a top-level window of class "telvarapanel", then driver
//       objects of the library DRIVER, with and without that window; writes
//       what happened into RESULT-FILE and sets DONE-EVENT.
//   e2e_helper crash DRIVER|none FACTS-FILE
//       A host that loads DRIVER and then faults. Its own filter, installed
//       before the library loads, ends the process with 0x600D when it sees
//       the expected fault, so no debugger is ever started.
//
// Copied as telvarapanel.exe beside a driver library it stands in for the
// control panel: it appends its command line arguments and show state to
// telvarapanel-starts.txt in its folder and ends.
#include "asio_host_session.h"
#include "debug_output_capture.h"
#include "e2e_signals.h"
#include "import_patch.h"

#include <windows.h>
#include <objbase.h>

#include <atomic>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

extern "C" const char g_e2eFaultInstruction[] __asm__("e2e_helper_fault_instruction");

namespace {

using namespace e2e;

// {6F3D27A1-94C2-4E58-B1D7-5A0C8E2F9B34}, the driver's class id.
const CLSID kDriverClass = {0x6f3d27a1, 0x94c2, 0x4e58, {0xb1, 0xd7, 0x5a, 0x0c, 0x8e, 0x2f, 0x9b, 0x34}};

std::string OwnPath()
{
    char path[MAX_PATH] = {};
    GetModuleFileNameA(nullptr, path, MAX_PATH);
    return path;
}

std::string FolderOf(const std::string& path)
{
    return path.substr(0, path.find_last_of('\\') + 1);
}

// The command line after the program's own name.
std::string Arguments()
{
    const char* line = GetCommandLineA();
    if (*line == '"') {
        line = std::strchr(line + 1, '"');
        line = line ? line + 1 : "";
    } else {
        while (*line && *line != ' ' && *line != '\t') {
            ++line;
        }
    }
    while (*line == ' ' || *line == '\t') {
        ++line;
    }
    return line;
}

void AppendLine(const std::string& path, const std::string& line)
{
    HANDLE file = CreateFileA(path.c_str(), FILE_APPEND_DATA, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr, OPEN_ALWAYS,
                              FILE_ATTRIBUTE_NORMAL, nullptr);
    if (file == INVALID_HANDLE_VALUE) {
        return;
    }
    const std::string text = line + "\r\n";
    DWORD written = 0;
    WriteFile(file, text.data(), static_cast<DWORD>(text.size()), &written, nullptr);
    CloseHandle(file);
}

// ---- stand-in panel -------------------------------------------------------

int StandInPanel()
{
    STARTUPINFOA startup{};
    startup.cb = sizeof startup;
    GetStartupInfoA(&startup);
    const bool showGiven = (startup.dwFlags & STARTF_USESHOWWINDOW) != 0;
    const std::string line = "args=[" + Arguments() + "] show=" +
                             (showGiven ? std::to_string(startup.wShowWindow) : std::string("default"));
    AppendLine(FolderOf(OwnPath()) + "telvarapanel-starts.txt", line);
    return 0;
}

// ---- stream ---------------------------------------------------------------

constexpr long kMaxOutputs = 4;

// Fills half `index` of every output buffer with the next block of the signal.
class BlockFiller {
public:
    void FillNext(const CAsioHostSession& host, long index)
    {
        const long block = m_blocksFilled++;
        const long size = host.BufferSize();
        for (size_t n = 0; n < host.OutputCount(); ++n) {
            int16_t* half = host.OutputHalf(n, index);
            for (long f = 0; f < size; ++f) {
                half[f] = StreamSample(static_cast<int>(n), block * size + f);
            }
        }
    }

private:
    long m_blocksFilled = 0;
};

bool ReadRegisteredClass(CLSID& clsid)
{
    char text[64] = {};
    DWORD size = sizeof text - 1;
    DWORD type = 0;
    HKEY key = nullptr;
    if (RegOpenKeyExA(HKEY_LOCAL_MACHINE, "SOFTWARE\\ASIO\\TelvaraDriver", 0, KEY_READ | KEY_WOW64_64KEY, &key) !=
        ERROR_SUCCESS) {
        return false;
    }
    const LONG read = RegQueryValueExA(key, "CLSID", nullptr, &type, reinterpret_cast<BYTE*>(text), &size);
    RegCloseKey(key);
    if (read != ERROR_SUCCESS || type != REG_SZ) {
        return false;
    }
    wchar_t wide[64] = {};
    MultiByteToWideChar(CP_ACP, 0, text, -1, wide, 64);
    return SUCCEEDED(CLSIDFromString(wide, &clsid));
}

int Stream(const char* readyEventName, const std::string& awaited, long outputs)
{
    const bool volume = awaited == "volume";
    const bool awaitsChange = awaited != "none";
    if ((awaitsChange && !volume && awaited != "outlatency") || outputs < 1 || outputs > kMaxOutputs) {
        return kHelperUsage;
    }
    HANDLE traceSeen = CreateEventA(nullptr, TRUE, FALSE, nullptr);
    DebugOutputCapture capture([&](const std::string& line) {
        const bool wanted = volume ? line.rfind(kVolumeTracePrefix, 0) == 0 : line == kOutputDelayTrace;
        if (wanted) {
            std::printf("trace: %s\n", line.c_str());
            std::fflush(stdout);
            SetEvent(traceSeen);
        }
    });
    HANDLE ready = OpenEventA(EVENT_MODIFY_STATE, FALSE, readyEventName);
    CLSID clsid;
    if (!ready || !ReadRegisteredClass(clsid)) {
        std::printf("no ready event or no registered driver\n");
        return kHelperNoDriver;
    }
    int exitCode = kHelperOk;
    {
        // Outlives the session, which stops the stream.
        BlockFiller filler;
        // A host that takes no asioMessage selector at all.
        CAsioHostSession host;
        const HRESULT created = host.Load(clsid);
        if (FAILED(created)) {
            std::printf("CoCreateInstance failed: 0x%08lx\n", static_cast<unsigned long>(created));
            CloseHandle(ready);
            CloseHandle(traceSeen);
            return kHelperNoDriver;
        }
        IASIO* driver = host.Driver();
        host.SetSwitchHook([&](long index, const ASIOTime*) { filler.FillNext(host, index); });
        long minSize = 0, maxSize = 0, bufferSize = 0, granularity = 0;
        std::vector<long> channels;
        for (long n = 0; n < outputs; ++n) {
            channels.push_back(n);
        }
        std::string error;
        if (!host.Init(nullptr, error)) {
            std::printf("init failed: %s\n", error.c_str());
            exitCode = kHelperDriverFailed;
        } else if (driver->getBufferSize(&minSize, &maxSize, &bufferSize, &granularity) != ASE_OK ||
                   host.CreateBuffers(channels, {}, bufferSize) != ASE_OK) {
            std::printf("createBuffers failed\n");
            exitCode = kHelperDriverFailed;
        } else {
            filler.FillNext(host, 0);
            filler.FillNext(host, 1);
            if (host.Start() != ASE_OK) {
                std::printf("start failed\n");
                exitCode = kHelperDriverFailed;
            } else if (!host.WaitForCallbacks(8, 20000)) {
                std::printf("no stream: %ld buffer switches\n", host.Callbacks());
                exitCode = kHelperTimedOut;
            } else {
                std::printf("streaming: %ld buffer switches of %ld frames\n", host.Callbacks(), bufferSize);
                std::fflush(stdout);
                SetEvent(ready);
                if (awaitsChange && WaitForSingleObject(traceSeen, 30000) != WAIT_OBJECT_0) {
                    std::printf("the driver never took up the change\n");
                    exitCode = kHelperTimedOut;
                } else {
                    const long seen = host.Callbacks();
                    if (!host.WaitForCallbacks(seen + 20, 20000)) {
                        std::printf("the stream stalled after the change\n");
                        exitCode = kHelperTimedOut;
                    }
                    std::printf("change taken up after %ld buffer switches, ended after %ld\n", seen,
                                host.Callbacks());
                }
            }
        }
        // The session stops the driver, disposes its buffers and releases it.
    }
    CloseHandle(ready);
    CloseHandle(traceSeen);
    std::fflush(stdout);
    return exitCode;
}

// ---- panel-window ---------------------------------------------------------

LONG g_closeMessages = 0;

LRESULT CALLBACK PanelWindowProc(HWND window, UINT message, WPARAM wParam, LPARAM lParam)
{
    if (message == WM_CLOSE) {
        ++g_closeMessages;
    }
    return DefWindowProcA(window, message, wParam, lParam);
}

// Processes ever started in this helper's job, the helper included.
DWORD StartedProcesses(HANDLE job)
{
    JOBOBJECT_BASIC_ACCOUNTING_INFORMATION accounting{};
    if (!QueryInformationJobObject(job, JobObjectBasicAccountingInformation, &accounting, sizeof accounting, nullptr)) {
        return 0;
    }
    return accounting.TotalProcesses;
}

void WriteResult(const char* path, const std::string& text)
{
    HANDLE file = CreateFileA(path, GENERIC_WRITE, FILE_SHARE_READ, nullptr, CREATE_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr);
    if (file != INVALID_HANDLE_VALUE) {
        DWORD written = 0;
        WriteFile(file, text.data(), static_cast<DWORD>(text.size()), &written, nullptr);
        CloseHandle(file);
    }
}

using GetClassObjectFunction = HRESULT(STDAPICALLTYPE*)(REFCLSID, REFIID, void**);

IASIO* CreateDriver(GetClassObjectFunction getClassObject)
{
    IClassFactory* factory = nullptr;
    if (FAILED(getClassObject(kDriverClass, IID_IClassFactory, reinterpret_cast<void**>(&factory)))) {
        return nullptr;
    }
    IASIO* driver = nullptr;
    factory->CreateInstance(nullptr, kDriverClass, reinterpret_cast<void**>(&driver));
    factory->Release();
    return driver;
}

int PanelWindow(const char* driverPath, const char* resultPath, const char* doneEventName)
{
    HANDLE done = OpenEventA(EVENT_MODIFY_STATE, FALSE, doneEventName);
    if (!done) {
        return kHelperUsage;
    }
    // The process id goes out first: a test that gives up on this helper
    // ends it by that id.
    std::string result = "pid=" + std::to_string(GetCurrentProcessId()) + "\n";
    WriteResult(resultPath, result);
    // Every process this helper starts (through the shell) joins its job and
    // is counted there the moment it is created.
    HANDLE job = CreateJobObjectA(nullptr, nullptr);
    result += std::string("job=") + (job && AssignProcessToJobObject(job, GetCurrentProcess()) ? "1" : "0") + "\n";

    WNDCLASSA windowClass{};
    windowClass.lpfnWndProc = PanelWindowProc;
    windowClass.hInstance = GetModuleHandleA(nullptr);
    windowClass.lpszClassName = "telvarapanel";
    RegisterClassA(&windowClass);
    HWND window = CreateWindowExA(0, "telvarapanel", "", WS_OVERLAPPEDWINDOW, 0, 0, 100, 100, nullptr, nullptr,
                                  windowClass.hInstance, nullptr);
    if (!window) {
        result += "window=none error=" + std::to_string(GetLastError()) + "\n";
    } else {
        result += std::string("window=created found=") + (FindWindowA("telvarapanel", nullptr) == window ? "1" : "0") +
                  "\n";
        HMODULE library = LoadLibraryA(driverPath);
        auto getClassObject = library ? reinterpret_cast<GetClassObjectFunction>(reinterpret_cast<void*>(
                                            GetProcAddress(library, "DllGetClassObject")))
                                      : nullptr;
        if (!getClassObject) {
            result += "library=none\n";
        } else {
            DriverMessageBoxLog boxes(library);
            const DWORD before = StartedProcesses(job);
            IASIO* driver = CreateDriver(getClassObject);
            const ASIOError panel = driver ? driver->controlPanel() : static_cast<ASIOError>(ASE_NotPresent);
            result += "with-window: created=" + std::to_string(driver != nullptr) +
                      " control-panel=" + std::to_string(panel) +
                      " started=" + std::to_string(StartedProcesses(job) - before) + "\n";
            if (driver) {
                driver->Release();
            }
            result += "with-window: close-messages=" + std::to_string(g_closeMessages) +
                      " window-alive=" + std::to_string(IsWindow(window) != FALSE) + "\n";

            // The driver closes only a panel it started itself: this window
            // stays. Once it is gone, the same calls start the panel program.
            DestroyWindow(window);
            const LONG closesBefore = g_closeMessages;
            const DWORD beforeWithout = StartedProcesses(job);
            driver = CreateDriver(getClassObject);
            const DWORD afterCreate = StartedProcesses(job);
            const ASIOError panelWithout = driver ? driver->controlPanel() : static_cast<ASIOError>(ASE_NotPresent);
            const DWORD afterPanel = StartedProcesses(job);
            if (driver) {
                driver->Release();
            }
            result += "without-window: created=" + std::to_string(driver != nullptr) +
                      " control-panel=" + std::to_string(panelWithout) +
                      " started-at-creation=" + std::to_string(afterCreate - beforeWithout) +
                      " started-by-control-panel=" + std::to_string(afterPanel - afterCreate) +
                      " close-messages=" + std::to_string(g_closeMessages - closesBefore) + "\n";
            result += "boxes=" + std::to_string(DriverMessageBoxLog::Boxes().size()) + "\n";
        }
    }
    WriteResult(resultPath, result);
    SetEvent(done);
    CloseHandle(done);
    return kHelperOk;
}

// ---- crash ----------------------------------------------------------------

LONG WINAPI EndOfChain(PEXCEPTION_POINTERS pointers)
{
    const EXCEPTION_RECORD* record = pointers->ExceptionRecord;
    const bool expected = record->ExceptionCode == EXCEPTION_ACCESS_VIOLATION &&
                          record->ExceptionAddress == g_e2eFaultInstruction && record->NumberParameters >= 2 &&
                          record->ExceptionInformation[0] == 1 && record->ExceptionInformation[1] == 0x10;
    TerminateProcess(GetCurrentProcess(), expected ? kHelperChainedOn : kHelperUnexpectedFault);
    return EXCEPTION_EXECUTE_HANDLER;
}

// Section number (from 1) and offset of an address of this program's image,
// read from its section table.
bool ImageSection(const void* address, unsigned& section, unsigned& offset)
{
    auto* base = reinterpret_cast<const BYTE*>(GetModuleHandleA(nullptr));
    const auto* nt = reinterpret_cast<const IMAGE_NT_HEADERS*>(
        base + reinterpret_cast<const IMAGE_DOS_HEADER*>(base)->e_lfanew);
    const IMAGE_SECTION_HEADER* sections = IMAGE_FIRST_SECTION(nt);
    const auto rva = static_cast<DWORD>(static_cast<const BYTE*>(address) - base);
    for (unsigned i = 0; i < nt->FileHeader.NumberOfSections; ++i) {
        const DWORD start = sections[i].VirtualAddress;
        if (rva >= start && rva < start + sections[i].Misc.VirtualSize) {
            section = i + 1;
            offset = rva - start;
            return true;
        }
    }
    return false;
}

__attribute__((noinline, noclone)) void Fault()
{
    asm volatile(
        "movl $0x11111111, %%eax\n\t"
        "movl $0x10, %%edx\n\t"
        ".globl e2e_helper_fault_instruction\n"
        "e2e_helper_fault_instruction:\n\t"
        "movl %%eax, (%%rdx)\n\t"
        :
        :
        : "rax", "rdx", "memory");
}

int Crash(const char* driverPath, const char* factsPath)
{
    SetUnhandledExceptionFilter(EndOfChain);
    if (std::strcmp(driverPath, "none") != 0 && !LoadLibraryA(driverPath)) {
        return kHelperNoDriver;
    }
    unsigned section = 0, offset = 0;
    FILE* facts = std::fopen(factsPath, "wb");
    if (!facts || !ImageSection(g_e2eFaultInstruction, section, offset)) {
        return kHelperUsage;
    }
    std::fprintf(facts, "module=%s\n", OwnPath().c_str());
    std::fprintf(facts, "address=%08X\n", static_cast<unsigned>(reinterpret_cast<uintptr_t>(g_e2eFaultInstruction)));
    std::fprintf(facts, "section=%02X\noffset=%08X\n", section, offset);
    std::fclose(facts);
    Fault();
    return kHelperUnexpectedFault;
}

// Keeps a library loaded, as a host that created the driver does, for the
// given seconds (at most 300), then frees it. Says "holding" once loaded.
int Hold(const char* libraryPath, long seconds)
{
    if (seconds < 1 || seconds > 300) {
        return kHelperUsage;
    }
    HMODULE library = LoadLibraryA(libraryPath);
    if (!library) {
        std::printf("cannot load %s: error %lu\n", libraryPath, GetLastError());
        return kHelperNoDriver;
    }
    std::printf("holding %s\n", libraryPath);
    std::fflush(stdout);
    Sleep(static_cast<DWORD>(seconds) * 1000);
    FreeLibrary(library);
    return kHelperOk;
}

}  // namespace

int main(int argc, char** argv)
{
    const std::string self = OwnPath();
    const std::string name = self.substr(self.find_last_of('\\') + 1);
    if (lstrcmpiA(name.c_str(), "telvarapanel.exe") == 0) {
        return StandInPanel();
    }
    const std::string mode = argc > 1 ? argv[1] : "";
    if (mode == "stream" && (argc == 4 || argc == 5)) {
        return Stream(argv[2], argv[3], argc == 5 ? std::atol(argv[4]) : 2);
    }
    if (mode == "panel-window" && argc == 5) {
        return PanelWindow(argv[2], argv[3], argv[4]);
    }
    if (mode == "crash" && argc == 4) {
        return Crash(argv[2], argv[3]);
    }
    if (mode == "hold" && argc == 4) {
        return Hold(argv[2], std::atol(argv[3]));
    }
    std::fprintf(stderr, "usage: e2e_helper stream|panel-window|crash|hold ...\n");
    return kHelperUsage;
}
