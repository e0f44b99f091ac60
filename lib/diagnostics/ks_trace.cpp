#include "ks_trace.h"

#include "trace_file.h"

#include <windows.h>

#include <cstdarg>
#include <cstdio>

int KsTraceLevel = 0;

void KsTrace(int level, const char* format, ...)
{
    if (level > KsTraceLevel) {
        return;
    }
    char text[MAX_PATH];
    va_list args;
    va_start(args, format);
    std::vsnprintf(text, sizeof text, format, args);
    va_end(args);
    OutputDebugStringA(text);
    TraceFile::Line(text);
}
