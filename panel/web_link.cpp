#include "web_link.h"

#include "shell_calls.h"

void OpenWebSite(const std::string& address)
{
    PanelShellExecute(nullptr, "open", "explorer.exe", address.c_str(), nullptr, SW_SHOW);
}
