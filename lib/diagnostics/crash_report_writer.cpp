#include "crash_report_writer.h"

#include <cstdarg>
#include <cstring>

LPTOP_LEVEL_EXCEPTION_FILTER CCrashReportWriter::m_pPreviousFilter = nullptr;
CHAR CCrashReportWriter::m_szReportPath[MAX_PATH] = {};
HANDLE CCrashReportWriter::m_hReportFile = INVALID_HANDLE_VALUE;

namespace {

constexpr DWORD kWriteBufferSize = 1024;  // the most wvsprintfA ever produces

struct ExceptionNameEntry {
    DWORD dwCode;
    LPCSTR szName;
};

constexpr ExceptionNameEntry kExceptionNames[] = {
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

}  // namespace

CCrashReportWriter::CCrashReportWriter()
{
    m_pPreviousFilter = SetUnhandledExceptionFilter(CrashReportFilter);

    CHAR szModulePath[MAX_PATH] = {};
    const DWORD cchPath = GetModuleFileNameA(nullptr, szModulePath, MAX_PATH);
    if (cchPath == 0 || cchPath >= MAX_PATH) {
        // A cut path would name some other file; better no report than that.
        m_szReportPath[0] = '\0';
        return;
    }
    MakeReportPath(szModulePath, m_szReportPath);
}

CCrashReportWriter::~CCrashReportWriter()
{
    SetUnhandledExceptionFilter(m_pPreviousFilter);
}

void CCrashReportWriter::MakeReportPath(LPCSTR szModulePath, LPSTR szReportPath)
{
    lstrcpynA(szReportPath, szModulePath, MAX_PATH);

    // Only the file name's extension is replaced: a dot in a folder name
    // (C:\my.tools\player) must not move the report into another folder.
    LPSTR szFileName = szReportPath;
    for (LPSTR p = szReportPath; *p; ++p) {
        if (*p == '\\' || *p == '/') {
            szFileName = p + 1;
        }
    }
    LPSTR szDot = std::strrchr(szFileName, '.');
    if (szDot && std::strlen(szDot + 1) >= 3) {
        std::memcpy(szDot + 1, "RPT", 4);
    }
}

LONG WINAPI CCrashReportWriter::CrashReportFilter(PEXCEPTION_POINTERS pExceptionInfo)
{
    // Without sharing, at most one thread holds the file; a thread that cannot
    // open it writes nothing. The shared handle is published only by the
    // thread that opened it and withdrawn before the file is closed, so a
    // second thread can never see (or close) a handle that is not its own.
    const HANDLE hFile = CreateFileA(m_szReportPath, GENERIC_WRITE, 0, nullptr, OPEN_ALWAYS,
                                     FILE_FLAG_WRITE_THROUGH, nullptr);
    if (hFile != INVALID_HANDLE_VALUE) {
        m_hReportFile = hFile;
        SetFilePointer(hFile, 0, nullptr, FILE_END);
        WriteRecord(pExceptionInfo);
        m_hReportFile = INVALID_HANDLE_VALUE;
        CloseHandle(hFile);
    }

    if (m_pPreviousFilter) {
        return m_pPreviousFilter(pExceptionInfo);
    }
    return EXCEPTION_CONTINUE_SEARCH;
}

void CCrashReportWriter::WriteRecord(PEXCEPTION_POINTERS pExceptionInfo)
{
    // Static, to spare the stack of a thread that may have overflowed it; only
    // the thread holding the report file gets here.
    static CHAR szFaultingModule[MAX_PATH];

    const PEXCEPTION_RECORD pRecord = pExceptionInfo->ExceptionRecord;
    WriteReport("//=====================================================\n");
    WriteReport("Exception code: %08X %s\n", pRecord->ExceptionCode, GetExceptionName(pRecord->ExceptionCode));

    DWORD dwSection = 0;
    DWORD dwOffset = 0;
    FindModuleSection(pRecord->ExceptionAddress, szFaultingModule, sizeof szFaultingModule, dwSection, dwOffset);
    // Eight digits in both builds: a 64-bit address shows its low half.
    WriteReport("Fault address:  %08X %02X:%08X %s\n",
                static_cast<DWORD>(reinterpret_cast<DWORD_PTR>(pRecord->ExceptionAddress)), dwSection, dwOffset,
                szFaultingModule);

#ifndef _WIN64
    const CONTEXT* pContext = pExceptionInfo->ContextRecord;
    WriteReport("\nRegisters:\n");
    WriteReport("EAX:%08X\nEBX:%08X\nECX:%08X\nEDX:%08X\nESI:%08X\nEDI:%08X\n", pContext->Eax, pContext->Ebx,
                pContext->Ecx, pContext->Edx, pContext->Esi, pContext->Edi);
    WriteReport("CS:EIP:%04X:%08X\n", pContext->SegCs, pContext->Eip);
    WriteReport("SS:ESP:%04X:%08X  EBP:%08X\n", pContext->SegSs, pContext->Esp, pContext->Ebp);
    WriteReport("DS:%04X  ES:%04X  FS:%04X  GS:%04X\n", pContext->SegDs, pContext->SegEs, pContext->SegFs,
                pContext->SegGs);
    WriteReport("Flags:%08X\n", pContext->EFlags);
    WriteCallStack(pContext);
#endif

    WriteReport("\n");
}

LPCSTR CCrashReportWriter::GetExceptionName(DWORD dwCode)
{
    for (const ExceptionNameEntry& entry : kExceptionNames) {
        if (entry.dwCode == dwCode) {
            return entry.szName;
        }
    }

    // One buffer for every lookup: when NTDLL has no text for the code,
    // FormatMessageA leaves the buffer alone and the previous text is answered.
    static CHAR szBuffer[512];
    FormatMessageA(FORMAT_MESSAGE_FROM_HMODULE | FORMAT_MESSAGE_IGNORE_INSERTS, GetModuleHandleA("NTDLL.DLL"), dwCode,
                   0, szBuffer, sizeof szBuffer, nullptr);
    return szBuffer;
}

BOOL CCrashReportWriter::FindModuleSection(LPCVOID addr, LPSTR szModule, DWORD cchModule, DWORD& dwSection,
                                           DWORD& dwOffset)
{
    if (cchModule > 0) {
        szModule[0] = '\0';
    }
    dwSection = 0;
    dwOffset = 0;

    MEMORY_BASIC_INFORMATION mbi;
    if (!VirtualQuery(addr, &mbi, sizeof mbi)) {
        return FALSE;
    }
    // Free memory (a call through a null pointer lands there) has no
    // allocation base; GetModuleFileNameA would take a null base for the
    // executable and the header reads below would fault inside the filter.
    const auto pBase = static_cast<const BYTE*>(mbi.AllocationBase);
    if (!pBase) {
        return FALSE;
    }
    if (!GetModuleFileNameA(reinterpret_cast<HMODULE>(const_cast<BYTE*>(pBase)), szModule, cchModule)) {
        if (cchModule > 0) {
            szModule[0] = '\0';
        }
        return FALSE;
    }
    // A path cut to the buffer comes back without terminator on some systems
    // (Wine among them); the record prints it with %s.
    szModule[cchModule - 1] = '\0';

    const auto pDosHeader = reinterpret_cast<const IMAGE_DOS_HEADER*>(pBase);
    const auto pNtHeaders = reinterpret_cast<const IMAGE_NT_HEADERS*>(pBase + pDosHeader->e_lfanew);
    const auto pSections = reinterpret_cast<const IMAGE_SECTION_HEADER*>(
        reinterpret_cast<const BYTE*>(&pNtHeaders->OptionalHeader) + pNtHeaders->FileHeader.SizeOfOptionalHeader);
    const DWORD_PTR rva = static_cast<const BYTE*>(addr) - pBase;

    for (WORD i = 0; i < pNtHeaders->FileHeader.NumberOfSections; ++i) {
        const IMAGE_SECTION_HEADER& section = pSections[i];
        const DWORD dwStart = section.VirtualAddress;
        const DWORD dwLength =
            section.Misc.VirtualSize > section.SizeOfRawData ? section.Misc.VirtualSize : section.SizeOfRawData;
        // The end is inclusive: an address just past a section still counts.
        if (rva >= dwStart && rva <= static_cast<DWORD_PTR>(dwStart) + dwLength) {
            dwSection = i + 1;
            dwOffset = static_cast<DWORD>(rva - dwStart);
            return TRUE;
        }
    }
    return FALSE;
}

int CCrashReportWriter::WriteReport(LPCSTR format, ...)
{
    // Static for the same reason as the module path of WriteRecord.
    static CHAR szBuffer[kWriteBufferSize];

    va_list args;
    va_start(args, format);
    const int cch = wvsprintfA(szBuffer, format, args);
    va_end(args);

    if (cch > 0) {
        DWORD dwWritten = 0;
        WriteFile(m_hReportFile, szBuffer, static_cast<DWORD>(cch), &dwWritten, nullptr);
    }
    return cch;
}

#ifndef _WIN64
void CCrashReportWriter::WriteCallStack(const CONTEXT* pContext)
{
    static CHAR szModule[MAX_PATH];

    WriteReport("\nCall stack:\n");
    WriteReport("Address   Frame     Logical addr  Module\n");

    DWORD dwPc = pContext->Eip;
    auto pFrame = reinterpret_cast<const DWORD*>(pContext->Ebp);
    // The frame taken from the context passes the same tests as every later
    // one before its two words are read.
    bool bFrameSound = (reinterpret_cast<DWORD_PTR>(pFrame) & 3) == 0 && !IsBadWritePtr(const_cast<DWORD*>(pFrame), 8);

    for (;;) {
        DWORD dwSection = 0;
        DWORD dwOffset = 0;
        FindModuleSection(reinterpret_cast<LPCVOID>(dwPc), szModule, sizeof szModule, dwSection, dwOffset);
        WriteReport("%08X  %08X  %04X:%08X %s\n", dwPc, reinterpret_cast<DWORD>(pFrame), dwSection, dwOffset, szModule);
        if (!bFrameSound) {
            break;
        }

        const DWORD dwReturnAddress = pFrame[1];
        const auto pCallerFrame = reinterpret_cast<const DWORD*>(pFrame[0]);
        // A frame chain only ever climbs the stack; anything else is a frame
        // pointer used as a general register, or a broken stack.
        if ((reinterpret_cast<DWORD_PTR>(pCallerFrame) & 3) != 0 || pCallerFrame <= pFrame ||
            IsBadWritePtr(const_cast<DWORD*>(pCallerFrame), 8)) {
            break;
        }
        dwPc = dwReturnAddress;
        pFrame = pCallerFrame;
    }
}
#endif
