// The other half of ks_adapter.h: PortAudio's WDM-KS host API calls these
// instead of Windows' SetupAPI, file, registry and DLL functions, and they
// answer through the kernel-streaming seam, so PortAudio meets the simulated
// devices exactly where our kernel-streaming classes meet them.
//
// PortAudio asks for wide strings where the seam speaks ANSI (as SetupAPI's
// A functions do, in the ANSI code page): the wide functions here convert
// the way Windows' own W/A pairs do. Two places have no counterpart in the
// seam and are answered from what it has:
//  - The filter's name: on Vista and later PortAudio reads the value
//    "FriendlyName" of the device interface's registry key
//    (SetupDiOpenDeviceInterfaceRegKey). The simulated devices have one name
//    each, the one SPDRP_FRIENDLYNAME gives; that key's value is answered
//    from it.
//  - ksuser.dll: LoadLibrary of it gives a module of our own whose
//    KsCreatePin is KsSystem::KsCreatePin. avrt.dll and everything else is
//    loaded from Windows.

#include "ks_system.h"

#include <cstring>
#include <cwchar>
#include <memory>
#include <mutex>
#include <set>
#include <string>
#include <vector>

namespace {

// The wide form of an ANSI string, converted as Windows converts for the W
// functions (the ANSI code page).
std::wstring Wide(const char* text)
{
    const int count = MultiByteToWideChar(CP_ACP, 0, text, -1, nullptr, 0);
    if (count <= 0) {
        return std::wstring();
    }
    std::wstring wide(static_cast<size_t>(count), L'\0');
    MultiByteToWideChar(CP_ACP, 0, text, -1, wide.data(), count);
    wide.resize(static_cast<size_t>(count - 1));
    return wide;
}

std::string Ansi(const wchar_t* text)
{
    const int count = WideCharToMultiByte(CP_ACP, 0, text, -1, nullptr, 0, nullptr, nullptr);
    if (count <= 0) {
        return std::string();
    }
    std::string ansi(static_cast<size_t>(count), '\0');
    WideCharToMultiByte(CP_ACP, 0, text, -1, ansi.data(), count, nullptr, nullptr);
    ansi.resize(static_cast<size_t>(count - 1));
    return ansi;
}

// A device interface's registry key as far as PortAudio reads it: the set
// and the device its interface belongs to.
struct InterfaceKey {
    HDEVINFO set;
    SP_DEVINFO_DATA device;
};

std::mutex g_keysLock;
std::set<InterfaceKey*> g_keys;

InterfaceKey* OurKey(HKEY key)
{
    std::lock_guard lock(g_keysLock);
    auto* candidate = reinterpret_cast<InterfaceKey*>(key);
    return g_keys.count(candidate) ? candidate : nullptr;
}

// The module LoadLibrary gives for ksuser.dll: the address of an object of
// ours, never a real module's.
char g_ksUserModule;
HMODULE KsUserModule() { return reinterpret_cast<HMODULE>(&g_ksUserModule); }

// "ksuser.dll", "ksuser" or a path to either, in any case.
bool IsKsUser(const std::string& name)
{
    std::string base = name.substr(name.find_last_of("\\/") == std::string::npos ? 0 : name.find_last_of("\\/") + 1);
    for (char& c : base) {
        c = static_cast<char>(c >= 'A' && c <= 'Z' ? c - 'A' + 'a' : c);
    }
    return base == "ksuser.dll" || base == "ksuser";
}

DWORD WINAPI SeamKsCreatePin(HANDLE filter, PKSPIN_CONNECT connect, ACCESS_MASK access, PHANDLE pin)
{
    return KsSystem::KsCreatePin(filter, connect, access, pin);
}

}  // namespace

extern "C" {

HDEVINFO WINAPI TelvaraPa_SetupDiGetClassDevsA(const GUID* classGuid, PCSTR enumerator, HWND parent, DWORD flags)
{
    return KsSystem::SetupDiGetClassDevsA(classGuid, enumerator, parent, flags);
}

BOOL WINAPI TelvaraPa_SetupDiEnumDeviceInterfaces(HDEVINFO set, PSP_DEVINFO_DATA deviceInfo, const GUID* interfaceClass,
                                                  DWORD memberIndex, PSP_DEVICE_INTERFACE_DATA interfaceData)
{
    return KsSystem::SetupDiEnumDeviceInterfaces(set, deviceInfo, interfaceClass, memberIndex, interfaceData);
}

BOOL WINAPI TelvaraPa_SetupDiGetDeviceInterfaceAlias(HDEVINFO set, PSP_DEVICE_INTERFACE_DATA interfaceData,
                                                     const GUID* aliasClass, PSP_DEVICE_INTERFACE_DATA aliasData)
{
    return KsSystem::SetupDiGetDeviceInterfaceAlias(set, interfaceData, aliasClass, aliasData);
}

BOOL WINAPI TelvaraPa_SetupDiGetDeviceInterfaceDetailW(HDEVINFO set, PSP_DEVICE_INTERFACE_DATA interfaceData,
                                                       PSP_DEVICE_INTERFACE_DETAIL_DATA_W detail, DWORD detailSize,
                                                       PDWORD requiredSize, PSP_DEVINFO_DATA deviceInfo)
{
    if (detail && detail->cbSize != sizeof(SP_DEVICE_INTERFACE_DETAIL_DATA_W)) {
        SetLastError(ERROR_INVALID_USER_BUFFER);
        return FALSE;
    }
    DWORD ansiSize = 0;
    if (KsSystem::SetupDiGetDeviceInterfaceDetailA(set, interfaceData, nullptr, 0, &ansiSize, deviceInfo) ||
        GetLastError() != ERROR_INSUFFICIENT_BUFFER) {
        return FALSE;  // the seam's error stands
    }
    std::vector<char> storage(ansiSize);
    auto* ansi = reinterpret_cast<PSP_DEVICE_INTERFACE_DETAIL_DATA_A>(storage.data());
    ansi->cbSize = sizeof(SP_DEVICE_INTERFACE_DETAIL_DATA_A);
    if (!KsSystem::SetupDiGetDeviceInterfaceDetailA(set, interfaceData, ansi, ansiSize, nullptr, deviceInfo)) {
        return FALSE;
    }
    const std::wstring path = Wide(ansi->DevicePath);
    const DWORD needed =
        static_cast<DWORD>(offsetof(SP_DEVICE_INTERFACE_DETAIL_DATA_W, DevicePath) + (path.size() + 1) * sizeof(wchar_t));
    if (requiredSize) {
        *requiredSize = needed;
    }
    if (!detail || detailSize < needed) {
        SetLastError(ERROR_INSUFFICIENT_BUFFER);
        return FALSE;
    }
    std::memcpy(detail->DevicePath, path.c_str(), (path.size() + 1) * sizeof(wchar_t));
    return TRUE;
}

BOOL WINAPI TelvaraPa_SetupDiGetDeviceRegistryPropertyW(HDEVINFO set, PSP_DEVINFO_DATA deviceInfo, DWORD property,
                                                        PDWORD propertyType, PBYTE buffer, DWORD bufferSize,
                                                        PDWORD requiredSize)
{
    DWORD ansiSize = 0;
    DWORD type = 0;
    if (KsSystem::SetupDiGetDeviceRegistryPropertyA(set, deviceInfo, property, &type, nullptr, 0, &ansiSize) ||
        GetLastError() != ERROR_INSUFFICIENT_BUFFER) {
        return FALSE;
    }
    std::vector<char> ansi(ansiSize + 1, '\0');
    if (!KsSystem::SetupDiGetDeviceRegistryPropertyA(set, deviceInfo, property, &type,
                                                     reinterpret_cast<PBYTE>(ansi.data()), ansiSize, nullptr)) {
        return FALSE;
    }
    if (type != REG_SZ) {
        // The seam answers text properties only; nothing else is asked for.
        SetLastError(ERROR_INVALID_DATA);
        return FALSE;
    }
    const std::wstring text = Wide(ansi.data());
    const DWORD needed = static_cast<DWORD>((text.size() + 1) * sizeof(wchar_t));
    if (propertyType) {
        *propertyType = type;
    }
    if (requiredSize) {
        *requiredSize = needed;
    }
    if (!buffer || bufferSize < needed) {
        SetLastError(ERROR_INSUFFICIENT_BUFFER);
        return FALSE;
    }
    std::memcpy(buffer, text.c_str(), needed);
    return TRUE;
}

HKEY WINAPI TelvaraPa_SetupDiOpenDeviceInterfaceRegKey(HDEVINFO set, PSP_DEVICE_INTERFACE_DATA interfaceData,
                                                       DWORD /*reserved*/, REGSAM /*access*/)
{
    auto key = std::make_unique<InterfaceKey>();
    key->set = set;
    key->device.cbSize = sizeof(SP_DEVINFO_DATA);
    DWORD size = 0;
    // The detail call fills the device record also when it answers the size.
    if (!KsSystem::SetupDiGetDeviceInterfaceDetailA(set, interfaceData, nullptr, 0, &size, &key->device) &&
        GetLastError() != ERROR_INSUFFICIENT_BUFFER) {
        return static_cast<HKEY>(INVALID_HANDLE_VALUE);
    }
    std::lock_guard lock(g_keysLock);
    g_keys.insert(key.get());
    return reinterpret_cast<HKEY>(key.release());
}

LONG WINAPI TelvaraPa_RegQueryValueExW(HKEY key, LPCWSTR name, LPDWORD reserved, LPDWORD type, LPBYTE data,
                                       LPDWORD dataSize)
{
    InterfaceKey* ours = OurKey(key);
    if (!ours) {
        return ::RegQueryValueExW(key, name, reserved, type, data, dataSize);
    }
    if (!name || std::wcscmp(name, L"FriendlyName") != 0) {
        return ERROR_FILE_NOT_FOUND;
    }
    DWORD needed = 0;
    const BOOL ok = TelvaraPa_SetupDiGetDeviceRegistryPropertyW(ours->set, &ours->device, SPDRP_FRIENDLYNAME, type,
                                                                data, dataSize ? *dataSize : 0, &needed);
    if (!ok && GetLastError() != ERROR_INSUFFICIENT_BUFFER) {
        return ERROR_FILE_NOT_FOUND;
    }
    if (dataSize) {
        *dataSize = needed;
    }
    if (!ok) {
        return data ? ERROR_MORE_DATA : ERROR_SUCCESS;
    }
    return ERROR_SUCCESS;
}

LONG WINAPI TelvaraPa_RegCloseKey(HKEY key)
{
    if (InterfaceKey* ours = OurKey(key)) {
        {
            std::lock_guard lock(g_keysLock);
            g_keys.erase(ours);
        }
        delete ours;
        return ERROR_SUCCESS;
    }
    return ::RegCloseKey(key);
}

BOOL WINAPI TelvaraPa_SetupDiDestroyDeviceInfoList(HDEVINFO set)
{
    return KsSystem::SetupDiDestroyDeviceInfoList(set);
}

HANDLE WINAPI TelvaraPa_CreateFileW(LPCWSTR path, DWORD access, DWORD shareMode, LPSECURITY_ATTRIBUTES security,
                                    DWORD disposition, DWORD flags, HANDLE templateFile)
{
    const std::string ansi = Ansi(path);
    return KsSystem::CreateFileA(ansi.c_str(), access, shareMode, security, disposition, flags, templateFile);
}

BOOL WINAPI TelvaraPa_DeviceIoControl(HANDLE handle, DWORD code, LPVOID inBuffer, DWORD inSize, LPVOID outBuffer,
                                      DWORD outSize, LPDWORD bytesReturned, LPOVERLAPPED overlapped)
{
    return KsSystem::DeviceIoControl(handle, code, inBuffer, inSize, outBuffer, outSize, bytesReturned, overlapped);
}

BOOL WINAPI TelvaraPa_CloseHandle(HANDLE handle)
{
    return KsSystem::CloseHandle(handle);
}

BOOL WINAPI TelvaraPa_CancelIoEx(HANDLE handle, LPOVERLAPPED overlapped)
{
    return KsSystem::CancelIoEx(handle, overlapped);
}

HMODULE WINAPI TelvaraPa_LoadLibraryA(LPCSTR name)
{
    if (name && IsKsUser(name)) {
        return KsUserModule();
    }
    return ::LoadLibraryA(name);
}

HMODULE WINAPI TelvaraPa_LoadLibraryW(LPCWSTR name)
{
    if (name && IsKsUser(Ansi(name))) {
        return KsUserModule();
    }
    return ::LoadLibraryW(name);
}

FARPROC WINAPI TelvaraPa_GetProcAddress(HMODULE module, LPCSTR name)
{
    if (module != KsUserModule()) {
        return ::GetProcAddress(module, name);
    }
    // A name, not an ordinal (those are below 64 K).
    if (reinterpret_cast<ULONG_PTR>(name) > 0xFFFF && std::strcmp(name, "KsCreatePin") == 0) {
        // FARPROC is how GetProcAddress hands out any function; the caller casts back.
        return reinterpret_cast<FARPROC>(reinterpret_cast<void*>(&SeamKsCreatePin));
    }
    SetLastError(ERROR_PROC_NOT_FOUND);
    return nullptr;
}

BOOL WINAPI TelvaraPa_FreeLibrary(HMODULE module)
{
    if (module == KsUserModule()) {
        return TRUE;
    }
    return ::FreeLibrary(module);
}

}  // extern "C"
