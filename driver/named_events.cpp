#include "named_events.h"

#include <windows.h>
#include <sddl.h>

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
