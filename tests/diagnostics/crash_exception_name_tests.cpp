#include "child_process.h"
#include "crash_report_writer.h"

#include <gtest/gtest.h>
#include <windows.h>

#include <cstring>
#include <string>
#include <utility>
#include <vector>

namespace {

const std::vector<std::pair<DWORD, std::string>> kNamedCodes = {
    {0x80000001, "GUARD_PAGE"},
    {0x80000002, "DATATYPE_MISALIGNMENT"},
    {0x80000003, "BREAKPOINT"},
    {0x80000004, "SINGLE_STEP"},
    {0xC0000005, "ACCESS_VIOLATION"},
    {0xC0000006, "IN_PAGE_ERROR"},
    {0xC0000008, "INVALID_HANDLE"},
    {0xC000001D, "ILLEGAL_INSTRUCTION"},
    {0xC0000025, "NONCONTINUABLE_EXCEPTION"},
    {0xC0000026, "INVALID_DISPOSITION"},
    {0xC000008C, "ARRAY_BOUNDS_EXCEEDED"},
    {0xC000008D, "FLT_DENORMAL_OPERAND"},
    {0xC000008E, "FLT_DIVIDE_BY_ZERO"},
    {0xC000008F, "FLT_INEXACT_RESULT"},
    {0xC0000090, "FLT_INVALID_OPERATION"},
    {0xC0000091, "FLT_OVERFLOW"},
    {0xC0000092, "FLT_STACK_CHECK"},
    {0xC0000093, "FLT_UNDERFLOW"},
    {0xC0000094, "INT_DIVIDE_BY_ZERO"},
    {0xC0000095, "INT_OVERFLOW"},
    {0xC0000096, "PRIV_INSTRUCTION"},
    {0xC00000FD, "STACK_OVERFLOW"},
};

// Codes outside the table; NTDLL may or may not have a text for them.
const DWORD kOtherCodes[] = {0xC0000135, 0xC0000017, 0x80000005, 0xC0000409, 0x40010006, 0xE06D7363, 0x12345678};

// NTDLL's own text for a code, looked up here without the writer.
bool NtdllText(DWORD code, std::string& text)
{
    char buffer[512] = {};
    const DWORD length = FormatMessageA(FORMAT_MESSAGE_FROM_HMODULE | FORMAT_MESSAGE_IGNORE_INSERTS,
                                        GetModuleHandleA("NTDLL.DLL"), code, 0, buffer, sizeof buffer, nullptr);
    if (length == 0) {
        return false;
    }
    text.assign(buffer);
    return true;
}

// Exit code of the child below when its check ran and held; a child that
// matched no test would end with 0.
constexpr UINT kFreshBufferWasEmpty = 0x5A;

// A code NTDLL has no text for, found among the codes outside the table.
bool FindCodeWithoutText(DWORD& code)
{
    std::string text;
    for (DWORD candidate : kOtherCodes) {
        if (!NtdllText(candidate, text)) {
            code = candidate;
            return true;
        }
    }
    return false;
}

}  // namespace

TEST(CrashExceptionName, EveryCodeOfTheTableHasItsName)
{
    for (const auto& [code, name] : kNamedCodes) {
        EXPECT_EQ(std::string(CCrashReportWriter::GetExceptionName(code)), name) << std::hex << code;
    }
}

TEST(CrashExceptionName, NeighboursOfTableCodesAreNotNamedFromTheTable)
{
    for (DWORD code : {0x80000000u, 0x80000005u, 0xC0000007u, 0xC000008Bu, 0xC0000097u, 0xC00000FCu, 0xC00000FEu}) {
        const std::string name = CCrashReportWriter::GetExceptionName(code);
        for (const auto& entry : kNamedCodes) {
            EXPECT_NE(name, entry.second) << std::hex << code;
        }
    }
}

TEST(CrashExceptionName, OtherCodesAnswerNtdllsTextInOneSharedBuffer)
{
    // Walk the codes in order: each answer is NTDLL's text where it has one,
    // and otherwise the text the shared buffer held after the previous lookup.
    const char* const buffer = CCrashReportWriter::GetExceptionName(kOtherCodes[0]);
    std::string held = buffer;
    for (DWORD code : kOtherCodes) {
        std::string text;
        const std::string expected = NtdllText(code, text) ? text : held;
        const char* const name = CCrashReportWriter::GetExceptionName(code);
        EXPECT_EQ(name, buffer) << std::hex << code;
        EXPECT_EQ(std::string(name), expected) << std::hex << code;
        held = name;
    }
}

TEST(CrashExceptionName, ACodeWithoutNtdllTextAnswersWhatTheBufferHeld)
{
    DWORD code = 0;
    ASSERT_TRUE(FindCodeWithoutText(code)) << "every probe code has an NTDLL text";
    // Stand in for an earlier lookup that found a text.
    char* const buffer = const_cast<char*>(CCrashReportWriter::GetExceptionName(code));
    std::strcpy(buffer, "text of an earlier lookup\r\n");

    // A table lookup in between leaves the buffer alone.
    EXPECT_EQ(std::string(CCrashReportWriter::GetExceptionName(0xC0000005)), "ACCESS_VIOLATION");
    const char* const name = CCrashReportWriter::GetExceptionName(code);
    EXPECT_EQ(name, buffer);
    EXPECT_EQ(std::string(name), "text of an earlier lookup\r\n");
    buffer[0] = '\0';
}

TEST(CrashExceptionName, DISABLED_FirstLookupOfACodeWithoutTextIsEmpty)
{
    DWORD code = 0;
    ASSERT_TRUE(FindCodeWithoutText(code));
    ASSERT_EQ(std::string(CCrashReportWriter::GetExceptionName(code)), "");
    ExitProcess(kFreshBufferWasEmpty);
}

TEST(CrashExceptionName, TheSharedBufferStartsEmptyInANewProcess)
{
    EXPECT_EQ(RunChildTest("CrashExceptionName.DISABLED_FirstLookupOfACodeWithoutTextIsEmpty", 60000),
              static_cast<long>(kFreshBufferWasEmpty));
}
