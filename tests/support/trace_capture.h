#pragma once

#include <string>
#include <vector>

// Captures the debugger strings of this process while it lives: a vectored
// exception handler sees the DBG_PRINTEXCEPTION_C that OutputDebugStringA
// raises, from every thread. One capture at a time.
class TraceCapture {
public:
    TraceCapture();
    ~TraceCapture();
    TraceCapture(const TraceCapture&) = delete;
    TraceCapture& operator=(const TraceCapture&) = delete;

    // Every string sent so far, in order.
    std::vector<std::string> Lines() const;
    void Clear();
    // True when some string equals text exactly.
    bool Contains(const std::string& text) const;

private:
    void* m_handler;
};
