#include "ks_assert.h"

#include <assert.h>

#include <atomic>

namespace {
std::atomic<KsAssertReporter> g_ksAssertReporter{nullptr};
}

void KsAssertFailed(const char* expression, const char* source, unsigned line)
{
    if (KsAssertReporter reporter = g_ksAssertReporter.load()) {
        reporter(expression, source, line);
        return;
    }
    _assert(expression, source, line);
}

KsAssertReporter SetKsAssertReporter(KsAssertReporter reporter)
{
    return g_ksAssertReporter.exchange(reporter);
}
