#pragma once

#include <windows.h>

// Appends a text record of every unhandled exception of the process to a
// report file beside the process's executable (Player.exe -> Player.RPT), then
// hands the exception on to the filter that was installed before.
//
// Each module that wants reports defines one global instance, so that the
// filter is installed while the module is loaded and the previous filter is
// put back when it is unloaded. The filter runs without a this pointer, which
// is why the state is static: one live instance per module at a time.
//
// The 32-bit build writes registers and a frame-pointer call stack; the
// 64-bit build writes the exception code and the fault address only.
class CCrashReportWriter {
public:
    CCrashReportWriter();
    ~CCrashReportWriter();
    CCrashReportWriter(const CCrashReportWriter&) = delete;
    CCrashReportWriter& operator=(const CCrashReportWriter&) = delete;

    // The unhandled-exception filter: appends one record, then answers what the
    // previous filter answers, or EXCEPTION_CONTINUE_SEARCH when there is none.
    static LONG WINAPI CrashReportFilter(PEXCEPTION_POINTERS pExceptionInfo);

    // Name of an exception code: a fixed name for the common codes, NTDLL's
    // message text for the others. The text of other codes lives in one static
    // buffer that a later lookup overwrites; a code NTDLL has no text for
    // answers whatever that buffer held before.
    static LPCSTR GetExceptionName(DWORD dwCode);

    // Logical address of addr: the module holding it (path into szModule, at
    // most cchModule bytes), the 1-based number of the image section holding it
    // and its offset into that section. The outputs are cleared first, so a
    // failed lookup leaves section 0, offset 0 and (unless the module itself was
    // found) an empty path.
    static BOOL FindModuleSection(LPCVOID addr, LPSTR szModule, DWORD cchModule, DWORD& dwSection, DWORD& dwOffset);

    // The report path derived from a module path: the executable's file-name
    // extension, when it has at least three characters, becomes "RPT"; any
    // other path is taken as it is. Both buffers hold MAX_PATH bytes.
    static void MakeReportPath(LPCSTR szModulePath, LPSTR szReportPath);

    // Where records of this process go; empty until a writer is constructed.
    static LPCSTR GetReportPath() { return m_szReportPath; }

private:
    static void WriteRecord(PEXCEPTION_POINTERS pExceptionInfo);
    static int WriteReport(LPCSTR format, ...);
#ifndef _WIN64
    static void WriteCallStack(const CONTEXT* pContext);
#endif

    static LPTOP_LEVEL_EXCEPTION_FILTER m_pPreviousFilter;
    static CHAR m_szReportPath[MAX_PATH];
    static HANDLE m_hReportFile;
};
