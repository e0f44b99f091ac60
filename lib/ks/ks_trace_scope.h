#pragma once

#include "ks_trace.h"

#include <windows.h>

// Entry and exit lines of the kernel-streaming wrappers, at level 6:
//   "CKsPin::SetState() Enter"
//   "CKsPin::SetState Leave, returning 0x80004005"   (operations with an HRESULT)
//   "CKsPin::ClosePin() Leave"                      (every other operation)
inline void KsTraceEnter(const char* nameWithParentheses)
{
    KsTrace(KSTRACE_ENTRY_EXIT, "%s Enter", nameWithParentheses);
}

inline HRESULT KsTraceLeave(const char* name, HRESULT hr)
{
    KsTrace(KSTRACE_ENTRY_EXIT, "%s Leave, returning %#08x", name, static_cast<unsigned>(hr));
    return hr;
}

inline void KsTraceLeave(const char* nameWithParentheses)
{
    KsTrace(KSTRACE_ENTRY_EXIT, "%s Leave", nameWithParentheses);
}
