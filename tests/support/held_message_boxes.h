#pragma once

#include "message_box_log.h"

#include <windows.h>

#include <vector>

// Message boxes that stay up until the test lets them go, as a user who has
// not read them yet: while this object lives, every box shown through the
// system's message-box handler is logged and then blocks its thread until
// LetGo() (or the destructor, or 60 s). The handler installed before comes
// back at destruction. One at a time per process.
class HeldMessageBoxes {
public:
    HeldMessageBoxes();
    ~HeldMessageBoxes();
    HeldMessageBoxes(const HeldMessageBoxes&) = delete;
    HeldMessageBoxes& operator=(const HeldMessageBoxes&) = delete;

    // Boxes shown so far (those still up included).
    std::vector<LoggedMessageBox> Shown() const;
    // Waits at most timeoutMs until a box is up; true when one is.
    bool WaitUntilShown(DWORD timeoutMs) const;
    // Every box up now and later is answered IDOK at once.
    void LetGo();
};
