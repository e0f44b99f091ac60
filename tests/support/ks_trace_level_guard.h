#pragma once

#include "ks_trace.h"

// Sets the kernel-streaming trace threshold for a scope and restores it.
struct KsTraceLevelGuard {
    int saved = KsTraceLevel;
    explicit KsTraceLevelGuard(int level) { KsTraceLevel = level; }
    ~KsTraceLevelGuard() { KsTraceLevel = saved; }
    KsTraceLevelGuard(const KsTraceLevelGuard&) = delete;
    KsTraceLevelGuard& operator=(const KsTraceLevelGuard&) = delete;
};
