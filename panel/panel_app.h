#pragma once

#include "panel_links.h"

// The panel program: one instance per logon, one hidden dialog behind the
// notification-area icon, ended by the dialog's exits. Everything runs on
// the process's one thread.
class CQuorvexApp {
public:
    explicit CQuorvexApp(const PanelLinks& links) : m_links(links) {}

    // The start-up sequence up to the end of the dialog's loop. Always false:
    // there is nothing to run after it.
    bool InitInstance();
    // The process's exit code: 0, or -1 when config.ini could not be used,
    // or 1 when no window could be made (no display).
    int ExitInstance() const { return m_exitCode; }

    int Run()
    {
        InitInstance();
        return ExitInstance();
    }

private:
    PanelLinks m_links;
    int m_exitCode = 0;
};

// The instance mutex "Telvara Panel", held (never closed) for the life of
// the process; false when another panel of this logon holds it.
bool TakeInstanceMutex();
