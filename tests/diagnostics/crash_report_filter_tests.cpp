// The filter called directly with exception records built here, so that every
// byte of the record is known in advance.
#include "crash_report_writer.h"

#include <gtest/gtest.h>
#include <windows.h>

#include <cstdarg>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <iterator>
#include <memory>
#include <string>
#include <utility>
#include <vector>

namespace {

const std::string kSeparator = "//=====================================================\n";

__attribute__((noinline)) int FaultingFunction(int value)
{
    return value * 5 + 2;
}

// What the filter chains to in these tests.
int g_previousCalls = 0;
PEXCEPTION_POINTERS g_previousSaw = nullptr;
LONG g_previousAnswer = EXCEPTION_EXECUTE_HANDLER;

LONG WINAPI RecordingFilter(PEXCEPTION_POINTERS pointers)
{
    ++g_previousCalls;
    g_previousSaw = pointers;
    return g_previousAnswer;
}

LONG WINAPI OtherFilter(PEXCEPTION_POINTERS)
{
    return EXCEPTION_CONTINUE_SEARCH;
}

std::string Format(const char* format, ...) __attribute__((format(gnu_printf, 1, 2)));
std::string Format(const char* format, ...)
{
    char text[2048];
    va_list args;
    va_start(args, format);
    std::vsnprintf(text, sizeof text, format, args);
    va_end(args);
    return text;
}

std::string ExePath()
{
    char path[MAX_PATH] = {};
    GetModuleFileNameA(nullptr, path, MAX_PATH);
    return path;
}

// Offset of a code address of this executable in its first section, .text.
unsigned TextOffset(const void* address)
{
    const auto base = reinterpret_cast<const BYTE*>(GetModuleHandleA(nullptr));
    const auto nt = reinterpret_cast<const IMAGE_NT_HEADERS*>(base + reinterpret_cast<const IMAGE_DOS_HEADER*>(base)->e_lfanew);
    const IMAGE_SECTION_HEADER& text = IMAGE_FIRST_SECTION(nt)[0];
    EXPECT_EQ(std::string(reinterpret_cast<const char*>(text.Name)), ".text");
    return static_cast<unsigned>(static_cast<const BYTE*>(address) - base - text.VirtualAddress);
}

unsigned Low32(const void* address)
{
    return static_cast<unsigned>(reinterpret_cast<uintptr_t>(address));
}

bool ReadWholeFile(const std::string& path, std::string& content)
{
    std::ifstream file(path, std::ios::binary);
    if (!file) {
        return false;
    }
    content.assign(std::istreambuf_iterator<char>(file), std::istreambuf_iterator<char>());
    return true;
}

void WriteWholeFile(const std::string& path, const std::string& content)
{
    std::ofstream file(path, std::ios::binary | std::ios::trunc);
    file << content;
}

std::string ExceptionLines(unsigned code, const char* name, const void* address, const std::string& logical)
{
    return kSeparator + Format("Exception code: %08X %s\n", code, name) +
           Format("Fault address:  %08X %s\n", Low32(address), logical.c_str());
}

// A synthetic exception: record and context live with the pointers.
struct SyntheticException {
    EXCEPTION_RECORD record{};
    CONTEXT context{};
    EXCEPTION_POINTERS pointers{&record, &context};

    SyntheticException(DWORD code, void* address)
    {
        record.ExceptionCode = code;
        record.ExceptionAddress = address;
    }
};

// Every test here runs with a writer installed over RecordingFilter and an
// empty report file.
class CrashReportFilter : public testing::Test {
protected:
    void SetUp() override
    {
        g_previousCalls = 0;
        g_previousSaw = nullptr;
        g_previousAnswer = EXCEPTION_EXECUTE_HANDLER;
        m_original = SetUnhandledExceptionFilter(RecordingFilter);
        m_writer = std::make_unique<CCrashReportWriter>();
        m_reportPath = CCrashReportWriter::GetReportPath();
        ASSERT_EQ(m_reportPath, ExePath().substr(0, ExePath().size() - 3) + "RPT");
        DeleteFileA(m_reportPath.c_str());
    }

    void TearDown() override
    {
        m_writer.reset();
        SetUnhandledExceptionFilter(m_original);
        DeleteFileA(m_reportPath.c_str());
    }

    std::string Report() const
    {
        std::string content;
        EXPECT_TRUE(ReadWholeFile(m_reportPath, content)) << m_reportPath;
        return content;
    }

    LPTOP_LEVEL_EXCEPTION_FILTER m_original = nullptr;
    std::unique_ptr<CCrashReportWriter> m_writer;
    std::string m_reportPath;
};

#ifndef _WIN64
// Registers of the synthetic 32-bit context, and their lines in the record.
void FillRegisters(CONTEXT& context)
{
    context.Eax = 0x11111111;
    context.Ebx = 0x22222222;
    context.Ecx = 0x33333333;
    context.Edx = 0x00000010;
    context.Esi = 0x55555555;
    context.Edi = 0x0000ABCD;
    context.SegCs = 0x1B;
    context.SegSs = 0x23;
    context.SegDs = 0x2B;
    context.SegEs = 0x2C;
    context.SegFs = 0x3B;
    context.SegGs = 0x0;
    context.Esp = 0x0012FE40;
    context.EFlags = 0x00010246;
}

std::string RegisterLines(const CONTEXT& context)
{
    return "\nRegisters:\n"
           "EAX:11111111\nEBX:22222222\nECX:33333333\nEDX:00000010\nESI:55555555\nEDI:0000ABCD\n" +
           Format("CS:EIP:001B:%08X\n", static_cast<unsigned>(context.Eip)) +
           Format("SS:ESP:0023:0012FE40  EBP:%08X\n", static_cast<unsigned>(context.Ebp)) +
           "DS:002B  ES:002C  FS:003B  GS:0000\n"
           "Flags:00010246\n";
}

struct Frame {
    unsigned pc;
    unsigned frame;
    std::string logical;  // "section:offset module"
};

std::string CallStackLines(const std::vector<Frame>& frames)
{
    std::string lines = "\nCall stack:\nAddress   Frame     Logical addr  Module\n";
    for (const Frame& frame : frames) {
        lines += Format("%08X  %08X  %s\n", frame.pc, frame.frame, frame.logical.c_str());
    }
    return lines;
}

std::string InThisExe(const void* address)
{
    return Format("0001:%08X %s", TextOffset(address), ExePath().c_str());
}

const std::string kNoModule = "0000:00000000 ";
#endif

}  // namespace

TEST(CrashReportWriter, InstallsItsFilterAndPutsThePreviousOneBack)
{
    LPTOP_LEVEL_EXCEPTION_FILTER original = SetUnhandledExceptionFilter(RecordingFilter);
    {
        CCrashReportWriter writer;
        EXPECT_EQ(SetUnhandledExceptionFilter(OtherFilter), &CCrashReportWriter::CrashReportFilter);
        SetUnhandledExceptionFilter(&CCrashReportWriter::CrashReportFilter);
    }
    EXPECT_EQ(SetUnhandledExceptionFilter(original), &RecordingFilter);
}

TEST_F(CrashReportFilter, RecordOfAnAccessViolationInThisExecutable)
{
    void* address = reinterpret_cast<void*>(&FaultingFunction);
    SyntheticException exception(0xC0000005, address);
    std::string expected =
        ExceptionLines(0xC0000005, "ACCESS_VIOLATION", address,
                       Format("01:%08X %s", TextOffset(address), ExePath().c_str()));
#ifndef _WIN64
    FillRegisters(exception.context);
    exception.context.Eip = Low32(address);
    exception.context.Ebp = 0;
    expected += RegisterLines(exception.context);
    // A frame pointer of 0 ends the walk after the faulting address.
    expected += CallStackLines({{Low32(address), 0, InThisExe(address)}});
#endif
    expected += "\n";

    EXPECT_EQ(CCrashReportWriter::CrashReportFilter(&exception.pointers), EXCEPTION_EXECUTE_HANDLER);
    EXPECT_EQ(Report(), expected);
    EXPECT_EQ(g_previousCalls, 1);
    EXPECT_EQ(FaultingFunction(1), 7);
}

TEST_F(CrashReportFilter, RecordOfACallThroughANullPointer)
{
    SyntheticException exception(0xC0000005, nullptr);
    std::string expected = ExceptionLines(0xC0000005, "ACCESS_VIOLATION", nullptr, "00:00000000 ");
#ifndef _WIN64
    FillRegisters(exception.context);
    exception.context.Eip = 0;
    exception.context.Ebp = 0;
    expected += RegisterLines(exception.context) + CallStackLines({{0, 0, kNoModule}});
#endif
    expected += "\n";

    CCrashReportWriter::CrashReportFilter(&exception.pointers);
    EXPECT_EQ(Report(), expected);
}

TEST_F(CrashReportFilter, TheCodeLineNamesAStackOverflow)
{
    SyntheticException exception(0xC00000FD, nullptr);
    CCrashReportWriter::CrashReportFilter(&exception.pointers);
    const std::string report = Report();
    ASSERT_EQ(report.substr(0, kSeparator.size()), kSeparator);
    EXPECT_EQ(report.substr(kSeparator.size(), 41), "Exception code: C00000FD STACK_OVERFLOW\n\x46");
}

#ifdef _WIN64
TEST_F(CrashReportFilter, A64BitFaultAddressIsWrittenAsItsLow32Bits)
{
    void* address = reinterpret_cast<void*>(0x00007FF012345678ull);
    MEMORY_BASIC_INFORMATION mbi;
    ASSERT_NE(VirtualQuery(address, &mbi, sizeof mbi), 0u);
    ASSERT_EQ(mbi.State, static_cast<DWORD>(MEM_FREE));
    SyntheticException exception(0xC0000094, address);

    CCrashReportWriter::CrashReportFilter(&exception.pointers);
    EXPECT_EQ(Report(), kSeparator + "Exception code: C0000094 INT_DIVIDE_BY_ZERO\n"
                                     "Fault address:  12345678 00:00000000 \n"
                                     "\n");
}

TEST_F(CrashReportFilter, ThisExecutableLiesAbove4GBSoItsAddressesAreCut)
{
    // The image base of a 64-bit executable is above 4 GB: the eight digits
    // show the low half only, and the logical address still locates the fault.
    void* address = reinterpret_cast<void*>(&FaultingFunction);
    ASSERT_GT(reinterpret_cast<uintptr_t>(address), 0xFFFFFFFFull);
    SyntheticException exception(0x80000003, address);

    CCrashReportWriter::CrashReportFilter(&exception.pointers);
    EXPECT_EQ(Report(), kSeparator + "Exception code: 80000003 BREAKPOINT\n" +
                            Format("Fault address:  %08X 01:%08X %s\n",
                                   static_cast<unsigned>(reinterpret_cast<uintptr_t>(address) & 0xFFFFFFFFu),
                                   TextOffset(address), ExePath().c_str()) +
                            "\n");
}
#endif

TEST_F(CrashReportFilter, RecordsAreAppendedToWhatTheFileHolds)
{
    WriteWholeFile(m_reportPath, "an earlier record\n");
    SyntheticException first(0xC0000005, nullptr);
    SyntheticException second(0xC0000094, nullptr);

    CCrashReportWriter::CrashReportFilter(&first.pointers);
    const std::string afterFirst = Report();
    CCrashReportWriter::CrashReportFilter(&second.pointers);
    const std::string afterSecond = Report();

    ASSERT_EQ(afterFirst.substr(0, 18), "an earlier record\n");
    const std::string firstRecord = afterFirst.substr(18);
    EXPECT_EQ(firstRecord.substr(0, kSeparator.size() + 42),
              kSeparator + "Exception code: C0000005 ACCESS_VIOLATION\n");
    ASSERT_EQ(afterSecond.substr(0, afterFirst.size()), afterFirst);
    const std::string secondRecord = afterSecond.substr(afterFirst.size());
    EXPECT_EQ(secondRecord.substr(0, kSeparator.size() + 44),
              kSeparator + "Exception code: C0000094 INT_DIVIDE_BY_ZERO\n");
    EXPECT_EQ(secondRecord.back(), '\n');
    EXPECT_EQ(g_previousCalls, 2);
}

TEST_F(CrashReportFilter, WithoutAPreviousFilterTheAnswerIsContinueSearch)
{
    m_writer.reset();
    SetUnhandledExceptionFilter(nullptr);
    m_writer = std::make_unique<CCrashReportWriter>();
    SyntheticException exception(0xC0000005, nullptr);

    EXPECT_EQ(CCrashReportWriter::CrashReportFilter(&exception.pointers), EXCEPTION_CONTINUE_SEARCH);
    EXPECT_EQ(g_previousCalls, 0);
    EXPECT_EQ(Report().substr(0, kSeparator.size()), kSeparator);

    m_writer.reset();
    EXPECT_EQ(SetUnhandledExceptionFilter(RecordingFilter), nullptr);
}

TEST_F(CrashReportFilter, ThePreviousFilterGetsTheSamePointersAndItsAnswerIsReturned)
{
    SyntheticException exception(0xC0000005, nullptr);
    for (LONG answer : {EXCEPTION_CONTINUE_EXECUTION, EXCEPTION_EXECUTE_HANDLER, EXCEPTION_CONTINUE_SEARCH}) {
        g_previousAnswer = answer;
        g_previousSaw = nullptr;
        EXPECT_EQ(CCrashReportWriter::CrashReportFilter(&exception.pointers), answer);
        EXPECT_EQ(g_previousSaw, &exception.pointers);
    }
    EXPECT_EQ(g_previousCalls, 3);
}

TEST_F(CrashReportFilter, AReportFileHeldOpenByAnyoneGetsNoRecordButTheExceptionGoesOn)
{
    WriteWholeFile(m_reportPath, "held\n");
    // Even a holder that shares everything keeps the writer out: the writer
    // shares nothing, so no other handle may be open.
    HANDLE holder = CreateFileA(m_reportPath.c_str(), GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                                nullptr, OPEN_EXISTING, 0, nullptr);
    ASSERT_NE(holder, INVALID_HANDLE_VALUE);
    SyntheticException exception(0xC0000005, nullptr);
    g_previousAnswer = EXCEPTION_CONTINUE_EXECUTION;

    EXPECT_EQ(CCrashReportWriter::CrashReportFilter(&exception.pointers), EXCEPTION_CONTINUE_EXECUTION);
    EXPECT_EQ(g_previousSaw, &exception.pointers);
    CloseHandle(holder);
    EXPECT_EQ(Report(), "held\n");

    // Once the holder is gone the next record gets in.
    CCrashReportWriter::CrashReportFilter(&exception.pointers);
    EXPECT_EQ(Report().substr(0, 5 + kSeparator.size()), "held\n" + kSeparator);
}

TEST_F(CrashReportFilter, TheWriterLeavesTheFileClosedForOthers)
{
    SyntheticException exception(0xC0000005, nullptr);
    CCrashReportWriter::CrashReportFilter(&exception.pointers);
    HANDLE exclusive = CreateFileA(m_reportPath.c_str(), GENERIC_READ | GENERIC_WRITE, 0, nullptr, OPEN_EXISTING, 0, nullptr);
    EXPECT_NE(exclusive, INVALID_HANDLE_VALUE);
    CloseHandle(exclusive);
}

#ifndef _WIN64
namespace {

__attribute__((noinline)) int CallingFunction(int value)
{
    return value * 7 + 3;
}

// Two pages for hand-built stack frames: the first writable, the second with
// the protection a test asks for.
class FramePages {
public:
    FramePages()
    {
        m_base = static_cast<BYTE*>(VirtualAlloc(nullptr, 8192, MEM_RESERVE | MEM_COMMIT, PAGE_READWRITE));
    }
    ~FramePages() { VirtualFree(m_base, 0, MEM_RELEASE); }

    DWORD* At(unsigned offset) { return reinterpret_cast<DWORD*>(m_base + offset); }
    unsigned Address(unsigned offset) { return Low32(m_base + offset); }
    void ProtectSecondPage(DWORD protection)
    {
        DWORD old = 0;
        VirtualProtect(m_base + 4096, 4096, protection, &old);
    }
    // frame at offset: saved frame pointer, return address.
    void Link(unsigned offset, unsigned callerFrame, unsigned returnAddress)
    {
        At(offset)[0] = callerFrame;
        At(offset)[1] = returnAddress;
    }

private:
    BYTE* m_base;
};

}  // namespace

class CrashCallStack : public CrashReportFilter {
protected:
    // The call-stack lines of a record for a fault in FaultingFunction with
    // the given frame pointer.
    std::string CallStackOf(unsigned ebp)
    {
        SyntheticException exception(0xC0000005, reinterpret_cast<void*>(&FaultingFunction));
        FillRegisters(exception.context);
        exception.context.Eip = Low32(reinterpret_cast<void*>(&FaultingFunction));
        exception.context.Ebp = ebp;
        CCrashReportWriter::CrashReportFilter(&exception.pointers);
        const std::string report = Report();
        DeleteFileA(m_reportPath.c_str());
        const size_t start = report.find("\nCall stack:\n");
        EXPECT_NE(start, std::string::npos);
        EXPECT_EQ(report.substr(report.size() - 2), "\n\n");
        return start == std::string::npos ? "" : report.substr(start, report.size() - 1 - start);
    }

    unsigned Pc() { return Low32(reinterpret_cast<void*>(&FaultingFunction)); }
    std::string PcLogical() { return InThisExe(reinterpret_cast<void*>(&FaultingFunction)); }
    unsigned Return1() { return Low32(reinterpret_cast<BYTE*>(&CallingFunction) + 5); }
    std::string Return1Logical() { return InThisExe(reinterpret_cast<BYTE*>(&CallingFunction) + 5); }

    // f1 -> f2 -> f3 -> f4 in the first page; what f4 links to is up to the test.
    void BuildChain(unsigned f4Link)
    {
        m_pages.Link(0x100, m_pages.Address(0x180), Return1());
        m_pages.Link(0x180, m_pages.Address(0x400), 0x00000010);
        m_pages.Link(0x400, m_pages.Address(0xFF8), Return1() + 1);
        m_pages.Link(0xFF8, f4Link, 0x00000030);
    }

    std::string ChainOfFour()
    {
        return CallStackLines({{Pc(), m_pages.Address(0x100), PcLogical()},
                               {Return1(), m_pages.Address(0x180), Return1Logical()},
                               {0x10, m_pages.Address(0x400), kNoModule},
                               {Return1() + 1, m_pages.Address(0xFF8),
                                InThisExe(reinterpret_cast<BYTE*>(&CallingFunction) + 6)}});
    }

    FramePages m_pages;
};

TEST_F(CrashCallStack, AFramePointerOfZeroGivesOneLine)
{
    EXPECT_EQ(CallStackOf(0), CallStackLines({{Pc(), 0, PcLogical()}}));
}

TEST_F(CrashCallStack, AChainEndsAtAFrameBelowTheCurrentOne)
{
    BuildChain(m_pages.Address(0x180));
    EXPECT_EQ(CallStackOf(m_pages.Address(0x100)), ChainOfFour());
    EXPECT_EQ(CallingFunction(1), 10);
}

TEST_F(CrashCallStack, AChainEndsAtAFrameEqualToTheCurrentOne)
{
    BuildChain(m_pages.Address(0xFF8));
    EXPECT_EQ(CallStackOf(m_pages.Address(0x100)), ChainOfFour());
}

TEST_F(CrashCallStack, AChainEndsAtAMisalignedFrame)
{
    BuildChain(m_pages.Address(0x1002));
    EXPECT_EQ(CallStackOf(m_pages.Address(0x100)), ChainOfFour());
}

TEST_F(CrashCallStack, AChainEndsAtAFrameThatIsNotWritable)
{
    m_pages.ProtectSecondPage(PAGE_READONLY);
    BuildChain(m_pages.Address(0x1000));
    EXPECT_EQ(CallStackOf(m_pages.Address(0x100)), ChainOfFour());
}

TEST_F(CrashCallStack, AChainGoesOnIntoAWritableFrameAbove)
{
    // The same chain with a fifth frame that is sound: it gets its line, and
    // the walk ends at its null link.
    BuildChain(m_pages.Address(0x1000));
    m_pages.Link(0x1000, 0, 0x00000020);
    std::string expected = ChainOfFour();
    expected += Format("%08X  %08X  %s\n", 0x30u, m_pages.Address(0x1000), kNoModule.c_str());
    EXPECT_EQ(CallStackOf(m_pages.Address(0x100)), expected);
}

TEST_F(CrashCallStack, AMisalignedFirstFrameIsNotRead)
{
    BuildChain(m_pages.Address(0x180));
    EXPECT_EQ(CallStackOf(m_pages.Address(0x102)), CallStackLines({{Pc(), m_pages.Address(0x102), PcLogical()}}));
}

TEST_F(CrashCallStack, AFirstFrameThatIsNotWritableIsNotRead)
{
    m_pages.Link(0x1000, m_pages.Address(0x1100), Return1());
    m_pages.ProtectSecondPage(PAGE_READONLY);
    EXPECT_EQ(CallStackOf(m_pages.Address(0x1000)), CallStackLines({{Pc(), m_pages.Address(0x1000), PcLogical()}}));
}

TEST_F(CrashCallStack, AFirstFrameWritableForLessThanEightBytesIsNotRead)
{
    // Its return address would lie on an inaccessible page: reading it would
    // fault inside the filter.
    m_pages.At(0xFFC)[0] = m_pages.Address(0x1100);
    m_pages.ProtectSecondPage(PAGE_NOACCESS);
    EXPECT_EQ(CallStackOf(m_pages.Address(0xFFC)), CallStackLines({{Pc(), m_pages.Address(0xFFC), PcLogical()}}));
}

TEST_F(CrashCallStack, TheWholeRecordOfAWalkedStack)
{
    BuildChain(m_pages.Address(0x100));
    void* address = reinterpret_cast<void*>(&FaultingFunction);
    SyntheticException exception(0xC0000005, address);
    FillRegisters(exception.context);
    exception.context.Eip = Pc();
    exception.context.Ebp = m_pages.Address(0x100);

    CCrashReportWriter::CrashReportFilter(&exception.pointers);
    EXPECT_EQ(Report(), ExceptionLines(0xC0000005, "ACCESS_VIOLATION", address,
                                       Format("01:%08X %s", TextOffset(address), ExePath().c_str())) +
                            RegisterLines(exception.context) + ChainOfFour() + "\n");
}
#endif
