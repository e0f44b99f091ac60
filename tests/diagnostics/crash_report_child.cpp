// A program built like the deliverables: one global CCrashReportWriter,
// installed while the module loads. The tests copy it under various names and
// let it fault. Usage:
//   crash_report_child exit
//   crash_report_child write-fault|call-null <facts file>
// Before faulting it writes what the test cannot know in advance (addresses,
// frames, selectors) into the facts file, one "name=value" a line.
#include "crash_report_writer.h"

#include <windows.h>

#include <cstdint>
#include <cstdio>
#include <cstring>

// The instruction that faults in write-fault mode, labelled inside the asm below.
extern "C" const char g_faultInstruction[] __asm__("crash_child_fault_instruction");

namespace {

// Exit codes: the end of the filter chain saw the fault it expected, or not.
constexpr UINT kChainedOn = 0x600D;
constexpr UINT kUnexpectedFault = 0x0BAD;
constexpr UINT kBadArguments = 0x0A26;

enum class Mode { Exit, WriteFault, CallNull };
Mode g_mode = Mode::Exit;

// The filter installed before the writer: the writer must hand the fault on
// to it. It ends the process itself, so that the system's last-chance handling
// (under Wine: starting winedbg) never comes into play.
LONG WINAPI EndOfChain(PEXCEPTION_POINTERS pointers)
{
    const EXCEPTION_RECORD* record = pointers->ExceptionRecord;
    bool expected = record->ExceptionCode == EXCEPTION_ACCESS_VIOLATION;
    if (g_mode == Mode::WriteFault) {
        expected = expected && record->ExceptionAddress == g_faultInstruction && record->NumberParameters >= 2 &&
                   record->ExceptionInformation[0] == 1 && record->ExceptionInformation[1] == 0x10;
    } else {
        expected = expected && record->ExceptionAddress == nullptr;
    }
    TerminateProcess(GetCurrentProcess(), expected ? kChainedOn : kUnexpectedFault);
    return EXCEPTION_EXECUTE_HANDLER;
}

struct EndOfChainInstaller {
    EndOfChainInstaller() { SetUnhandledExceptionFilter(EndOfChain); }
} g_endOfChainInstaller;

FILE* g_facts = nullptr;

unsigned Low32(const void* address)
{
    return static_cast<unsigned>(reinterpret_cast<uintptr_t>(address));
}

unsigned Rva(const void* address)
{
    return static_cast<unsigned>(static_cast<const char*>(address) -
                                 reinterpret_cast<const char*>(GetModuleHandleA(nullptr)));
}

void WriteCommonFacts()
{
    char module[MAX_PATH] = {};
    GetModuleFileNameA(nullptr, module, MAX_PATH);
    std::fprintf(g_facts, "module=%s\n", module);
    std::fprintf(g_facts, "instruction=%08X\n", Low32(g_faultInstruction));
    std::fprintf(g_facts, "instruction_rva=%08X\n", Rva(g_faultInstruction));
#ifndef _WIN64
    unsigned short cs, ss, ds, es, fs, gs;
    asm volatile("movw %%cs, %0" : "=r"(cs));
    asm volatile("movw %%ss, %0" : "=r"(ss));
    asm volatile("movw %%ds, %0" : "=r"(ds));
    asm volatile("movw %%es, %0" : "=r"(es));
    asm volatile("movw %%fs, %0" : "=r"(fs));
    asm volatile("movw %%gs, %0" : "=r"(gs));
    std::fprintf(g_facts, "cs=%04X\nss=%04X\nds=%04X\nes=%04X\nfs=%04X\ngs=%04X\n", cs, ss, ds, es, fs, gs);
#endif
}

#ifndef _WIN64
// The first frames of the chain the writer will walk, from the given frame.
void WriteFrameFacts(const DWORD* frame)
{
    for (int level = 0; level < 3; ++level) {
        const auto returnAddress = reinterpret_cast<const void*>(frame[1]);
        std::fprintf(g_facts, "frame%d=%08X\nreturn%d=%08X\nreturn%d_rva=%08X\n", level, Low32(frame), level,
                     Low32(returnAddress), level, Rva(returnAddress));
        frame = reinterpret_cast<const DWORD*>(frame[0]);
    }
    std::fprintf(g_facts, "frame3=%08X\n", Low32(frame));
}
#endif

// Loads known values into the registers, then writes to address 0x10.
__attribute__((noinline, noclone)) void WriteFault()
{
#ifndef _WIN64
    WriteFrameFacts(static_cast<const DWORD*>(__builtin_frame_address(0)));
#endif
    std::fclose(g_facts);
#ifdef _WIN64
    asm volatile(
        "movl $0x11111111, %%eax\n\t"
        "movl $0x10, %%edx\n\t"
        ".globl crash_child_fault_instruction\n"
        "crash_child_fault_instruction:\n\t"
        "movl %%eax, (%%rdx)\n\t"
        :
        :
        : "rax", "rdx", "memory");
#else
    asm volatile(
        "movl $0x11111111, %%eax\n\t"
        "movl $0x22222222, %%ebx\n\t"
        "movl $0x33333333, %%ecx\n\t"
        "movl $0x00000010, %%edx\n\t"
        "movl $0x55555555, %%esi\n\t"
        "movl $0x66666666, %%edi\n\t"
        ".globl crash_child_fault_instruction\n"
        "crash_child_fault_instruction:\n\t"
        "movl %%eax, (%%edx)\n\t"
        :
        :
        : "eax", "ebx", "ecx", "edx", "esi", "edi", "memory");
#endif
}

__attribute__((noinline, noclone)) void CallNull()
{
#ifndef _WIN64
    WriteFrameFacts(static_cast<const DWORD*>(__builtin_frame_address(0)));
#endif
    std::fclose(g_facts);
    void (*volatile function)() = nullptr;
    function();
    asm volatile("" ::: "memory");  // a call from this frame, not a jump from the caller's
}

// Two plain levels of calls, so that the 32-bit walk has frames of this
// program to climb.
__attribute__((noinline, noclone)) void Level2()
{
    if (g_mode == Mode::WriteFault) {
        WriteFault();
    } else {
        CallNull();
    }
    asm volatile("" ::: "memory");  // keeps the call a real call, not a jump
}

__attribute__((noinline, noclone)) void Level1()
{
    Level2();
    asm volatile("" ::: "memory");
}

}  // namespace

CCrashReportWriter g_crashReportWriter;

int main(int argc, char** argv)
{
    if (argc == 2 && std::strcmp(argv[1], "exit") == 0) {
        return 0;
    }
    if (argc != 3) {
        return static_cast<int>(kBadArguments);
    }
    if (std::strcmp(argv[1], "write-fault") == 0) {
        g_mode = Mode::WriteFault;
    } else if (std::strcmp(argv[1], "call-null") == 0) {
        g_mode = Mode::CallNull;
    } else {
        return static_cast<int>(kBadArguments);
    }
    g_facts = std::fopen(argv[2], "wb");
    if (!g_facts) {
        return static_cast<int>(kBadArguments);
    }
    WriteCommonFacts();
    Level1();
    return static_cast<int>(kUnexpectedFault);
}
