#include "debug_trace.h"

#include "trace_file.h"

#include <windows.h>

#include <cstdarg>
#include <cstdio>
#include <cstring>

namespace {
constexpr size_t kTraceBufferSize = 4096;
}

void DebugTrace(const char* format, ...)
{
    char effectiveFormat[kTraceBufferSize];
    char text[kTraceBufferSize];
    std::memset(effectiveFormat, 0, sizeof effectiveFormat);
    std::memset(text, 0, sizeof text);

    // The caller's format behind the prefix becomes the format of the line.
    const int joined = std::snprintf(effectiveFormat, sizeof effectiveFormat, "[TELVARA]%s", format);
    if (joined < 0 || static_cast<size_t>(joined) >= sizeof effectiveFormat) {
        // A format this long would be cut mid-directive; send it as plain text.
        OutputDebugStringA(effectiveFormat);
        TraceFile::Line(effectiveFormat);
        return;
    }

    va_list args;
    va_start(args, format);
#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Wformat-nonliteral"
    std::vsnprintf(text, sizeof text, effectiveFormat, args);
#pragma GCC diagnostic pop
    va_end(args);
    OutputDebugStringA(text);
    TraceFile::Line(text);
}
