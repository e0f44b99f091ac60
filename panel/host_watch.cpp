#include "host_watch.h"

#include <tlhelp32.h>

#include <cstdlib>

const char* CommandLineArguments(const char* commandLine)
{
    const char* p = commandLine ? commandLine : "";
    if (*p == '"') {
        ++p;
        while (*p && *p != '"') {
            ++p;
        }
        if (*p == '"') {
            ++p;
        }
    } else {
        while (*p && *p != ' ' && *p != '\t') {
            ++p;
        }
    }
    while (*p == ' ' || *p == '\t') {
        ++p;
    }
    return p;
}

DWORD ParseHostProcessId(const char* arguments)
{
    return static_cast<DWORD>(std::strtol(arguments ? arguments : "", nullptr, 10));
}

bool IsProcessAlive(DWORD processId)
{
    // Windows lists its idle process under id 0; Wine's process list has no
    // such entry. Id 0 is never a host that could end.
    if (processId == 0) {
        return true;
    }
    HANDLE snapshot = CreateToolhelp32Snapshot(TH32CS_SNAPPROCESS, 0);
    if (snapshot == INVALID_HANDLE_VALUE) {
        return true;
    }
    PROCESSENTRY32 entry{};
    entry.dwSize = sizeof entry;
    bool found = false;
    for (BOOL more = Process32First(snapshot, &entry); more && !found; more = Process32Next(snapshot, &entry)) {
        found = entry.th32ProcessID == processId;
    }
    CloseHandle(snapshot);
    return found;
}
