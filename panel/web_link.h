#pragma once

#include <string>

// Asks the shell to open the web site: explorer.exe with the address as its
// parameter hands it to the default browser. The result is not examined.
void OpenWebSite(const std::string& address);
