#pragma once

// Threshold of the kernel-streaming trace: a KsTrace call emits only when its
// level is at most this value. 0 at start, so the wrappers are silent.
extern int KsTraceLevel;

// Levels of KsTrace.
enum : int {
    KSTRACE_ERROR = 1,        // errors of an operation
    KSTRACE_PROPERTY = 3,     // a pin property that cannot be read
    KSTRACE_OUTCOME = 4,      // an operation ends without a device error
    KSTRACE_INFO = 5,         // information
    KSTRACE_ENTRY_EXIT = 6,   // entry to and exit from every wrapper operation
};

// Writes one debugger string, cut to 259 characters, when level <= KsTraceLevel.
void KsTrace(int level, const char* format, ...) __attribute__((format(gnu_printf, 2, 3)));
