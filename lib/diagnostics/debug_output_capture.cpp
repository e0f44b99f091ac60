#include "debug_output_capture.h"

#include <windows.h>

#include <algorithm>
#include <mutex>
#include <stdexcept>

namespace {

std::mutex g_linesLock;
std::vector<std::string> g_lines;
std::function<void(const std::string&)> g_onLine;

LONG CALLBACK CaptureDebugString(EXCEPTION_POINTERS* info)
{
    const EXCEPTION_RECORD* record = info->ExceptionRecord;
    if (record->ExceptionCode != DBG_PRINTEXCEPTION_C || record->NumberParameters < 2) {
        return EXCEPTION_CONTINUE_SEARCH;
    }
    // Parameters: length including the terminator, then the text.
    const auto length = static_cast<size_t>(record->ExceptionInformation[0]);
    const auto* text = reinterpret_cast<const char*>(record->ExceptionInformation[1]);
    std::string line(text, length > 0 ? length - 1 : 0);
    if (g_onLine) {
        g_onLine(line);
    }
    std::lock_guard<std::mutex> lock(g_linesLock);
    g_lines.push_back(std::move(line));
    return EXCEPTION_CONTINUE_EXECUTION;
}

}  // namespace

DebugOutputCapture::DebugOutputCapture(std::function<void(const std::string&)> onLine)
{
    Clear();
    g_onLine = std::move(onLine);
    m_handler = AddVectoredExceptionHandler(1, CaptureDebugString);
    if (!m_handler) {
        throw std::runtime_error("AddVectoredExceptionHandler failed");
    }
}

DebugOutputCapture::~DebugOutputCapture()
{
    RemoveVectoredExceptionHandler(m_handler);
    g_onLine = nullptr;
}

std::vector<std::string> DebugOutputCapture::Lines() const
{
    std::lock_guard<std::mutex> lock(g_linesLock);
    return g_lines;
}

void DebugOutputCapture::Clear()
{
    std::lock_guard<std::mutex> lock(g_linesLock);
    g_lines.clear();
}

bool DebugOutputCapture::Contains(const std::string& text) const
{
    return Count(text) > 0;
}

size_t DebugOutputCapture::Count(const std::string& text) const
{
    std::lock_guard<std::mutex> lock(g_linesLock);
    return static_cast<size_t>(std::count(g_lines.begin(), g_lines.end(), text));
}
