#pragma once

#include <functional>
#include <string>
#include <vector>

// Captures the debugger strings of this process while it lives: a vectored
// exception handler sees the DBG_PRINTEXCEPTION_C that OutputDebugStringA
// raises, from every thread. One capture at a time per process. Used by
// telvara-host to show and count the driver's trace lines, and by tests to
// assert exact lines.
class DebugOutputCapture {
public:
    // onLine, when given, is called for every string on the thread that sent it.
    explicit DebugOutputCapture(std::function<void(const std::string&)> onLine = {});
    ~DebugOutputCapture();
    DebugOutputCapture(const DebugOutputCapture&) = delete;
    DebugOutputCapture& operator=(const DebugOutputCapture&) = delete;

    // Every string sent so far, in order.
    std::vector<std::string> Lines() const;
    void Clear();
    // True when some string equals text exactly.
    bool Contains(const std::string& text) const;
    // How many strings equal text exactly.
    size_t Count(const std::string& text) const;

private:
    void* m_handler;
};
