#include "held_message_boxes.h"

#include "message_box.h"

#include <mutex>
#include <stdexcept>

namespace {

std::mutex g_lock;
std::vector<LoggedMessageBox> g_shown;
HANDLE g_shownEvent = nullptr;    // manual reset: some box has been shown
HANDLE g_letGoEvent = nullptr;    // manual reset: boxes are answered
bool g_installed = false;
MessageBoxHandler g_previous = nullptr;

// Longest a box is held: a test that forgets to let go fails, it does not hang.
constexpr DWORD kLongestHoldMs = 60000;

int HoldMessageBox(const char* text, const char* caption, unsigned int type)
{
    {
        std::lock_guard<std::mutex> lock(g_lock);
        g_shown.push_back({text ? text : "", caption ? caption : "", type});
    }
    SetEvent(g_shownEvent);
    WaitForSingleObject(g_letGoEvent, kLongestHoldMs);
    return IDOK;
}

}  // namespace

HeldMessageBoxes::HeldMessageBoxes()
{
    std::lock_guard<std::mutex> lock(g_lock);
    if (g_installed) {
        throw std::logic_error("one HeldMessageBoxes at a time");
    }
    g_shown.clear();
    // Made once and kept: a thread that is still on its way out of the
    // handler after a test ended must find them.
    if (!g_shownEvent) {
        g_shownEvent = CreateEventA(nullptr, TRUE, FALSE, nullptr);
        g_letGoEvent = CreateEventA(nullptr, TRUE, FALSE, nullptr);
    }
    if (!g_shownEvent || !g_letGoEvent) {
        throw std::runtime_error("HeldMessageBoxes: CreateEvent failed");
    }
    ResetEvent(g_shownEvent);
    ResetEvent(g_letGoEvent);
    g_installed = true;
    g_previous = SetMessageBoxHandler(HoldMessageBox);
}

HeldMessageBoxes::~HeldMessageBoxes()
{
    // Boxes still up are answered.
    LetGo();
    SetMessageBoxHandler(g_previous);
    std::lock_guard<std::mutex> lock(g_lock);
    g_installed = false;
}

std::vector<LoggedMessageBox> HeldMessageBoxes::Shown() const
{
    std::lock_guard<std::mutex> lock(g_lock);
    return g_shown;
}

bool HeldMessageBoxes::WaitUntilShown(DWORD timeoutMs) const
{
    return WaitForSingleObject(g_shownEvent, timeoutMs) == WAIT_OBJECT_0;
}

void HeldMessageBoxes::LetGo()
{
    SetEvent(g_letGoEvent);
}
