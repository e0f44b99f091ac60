#include "named_events.h"

#include <windows.h>
#include <sddl.h>
#include <tlhelp32.h>

#include <cstdio>
#include <cstring>
#include <vector>

namespace {

// "D:" full access for the user, SYSTEM and administrators; "S:" a medium
// mandatory label, so that a medium-integrity panel may set an event made by
// an elevated (high-integrity) host.
bool UserSecurityDescriptor(std::vector<char>& userSid, PSECURITY_DESCRIPTOR* descriptor)
{
    HANDLE token = nullptr;
    if (!OpenProcessToken(GetCurrentProcess(), TOKEN_QUERY, &token)) {
        return false;
    }
    DWORD size = 0;
    GetTokenInformation(token, TokenUser, nullptr, 0, &size);
    std::vector<BYTE> buffer(size);
    const bool haveUser = size && GetTokenInformation(token, TokenUser, buffer.data(), size, &size);
    CloseHandle(token);
    if (!haveUser) {
        return false;
    }
    LPSTR sidText = nullptr;
    if (!ConvertSidToStringSidA(reinterpret_cast<TOKEN_USER*>(buffer.data())->User.Sid, &sidText)) {
        return false;
    }
    userSid.assign(sidText, sidText + std::strlen(sidText) + 1);
    LocalFree(sidText);
    char sddl[256];
    std::snprintf(sddl, sizeof sddl, "D:(A;;GA;;;%s)(A;;GA;;;SY)(A;;GA;;;BA)S:(ML;;NW;;;ME)", userSid.data());
    return ConvertStringSecurityDescriptorToSecurityDescriptorA(sddl, SDDL_REVISION_1, descriptor, nullptr) != FALSE;
}

}  // namespace

const char* LinkEventName(LinkSignal signal)
{
    return signal == LinkSignal::SettingsChanged ? TelvaraEvents::kSettingsChanged
                                                 : TelvaraEvents::kOutputDelayChanged;
}

std::string ProcessLinkEventName(LinkSignal signal, uint32_t processId)
{
    return std::string(LinkEventName(signal)) + "." + std::to_string(processId);
}

bool SignalDrivers(LinkSignal signal)
{
    return SetNamedEvent(LinkEventName(signal));
}

int RelayToOtherDriverProcesses(LinkSignal signal)
{
    // Driver processes are not listed anywhere: each process is asked for
    // its event by name, which costs one look-up per process and only when
    // the user changes a setting.
    HANDLE snapshot = CreateToolhelp32Snapshot(TH32CS_SNAPPROCESS, 0);
    if (snapshot == INVALID_HANDLE_VALUE) {
        return 0;
    }
    const DWORD self = GetCurrentProcessId();
    int reached = 0;
    PROCESSENTRY32W entry{};
    entry.dwSize = sizeof entry;
    for (BOOL more = Process32FirstW(snapshot, &entry); more; more = Process32NextW(snapshot, &entry)) {
        if (entry.th32ProcessID != self && SetNamedEvent(ProcessLinkEventName(signal, entry.th32ProcessID).c_str())) {
            ++reached;
        }
    }
    CloseHandle(snapshot);
    return reached;
}

bool SetNamedEvent(const char* name)
{
    HANDLE event = OpenEventA(EVENT_ALL_ACCESS, FALSE, name);
    if (!event) {
        return false;
    }
    SetEvent(event);
    CloseHandle(event);
    return true;
}

void* CreateSharedEvent(const char* name)
{
    std::vector<char> userSid;
    PSECURITY_DESCRIPTOR descriptor = nullptr;
    SECURITY_ATTRIBUTES attributes{sizeof attributes, nullptr, FALSE};
    if (UserSecurityDescriptor(userSid, &descriptor)) {
        attributes.lpSecurityDescriptor = descriptor;
    }
    // Without a descriptor the event still works for processes of the same
    // integrity level.
    HANDLE event = CreateEventA(attributes.lpSecurityDescriptor ? &attributes : nullptr, FALSE, FALSE, name);
    if (descriptor) {
        LocalFree(descriptor);
    }
    return event;
}
