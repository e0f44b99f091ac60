#pragma once

// Assertions of the kernel-streaming classes. They stay active in release
// builds and report expression, source and line through the runtime's
// assertion report (_assert), unless a test has installed its own reporter.
using KsAssertReporter = void (*)(const char* expression, const char* source, unsigned line);

void KsAssertFailed(const char* expression, const char* source, unsigned line);

// nullptr restores the runtime's report. Returns the reporter installed before.
KsAssertReporter SetKsAssertReporter(KsAssertReporter reporter);

#define KS_ASSERT(expression, source) \
    ((expression) ? static_cast<void>(0) : KsAssertFailed(#expression, source, __LINE__))
