#pragma once

#include <string>
#include <vector>

// Every test program answers message boxes itself (IDOK) and keeps them here,
// so no modal box can block a headless run.
struct LoggedMessageBox {
    std::string text;
    std::string caption;
    unsigned int type;
};

std::vector<LoggedMessageBox> LoggedMessageBoxes();
void ClearLoggedMessageBoxes();
