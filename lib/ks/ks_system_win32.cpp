#include "ks_system.h"

// The shipped side of the seam: straight to Windows, nothing more.

namespace KsSystem {

HDEVINFO SetupDiGetClassDevsA(const GUID* classGuid, PCSTR enumerator, HWND parent, DWORD flags)
{
    return ::SetupDiGetClassDevsA(classGuid, enumerator, parent, flags);
}

BOOL SetupDiEnumDeviceInterfaces(HDEVINFO set, PSP_DEVINFO_DATA deviceInfo, const GUID* interfaceClass,
                                 DWORD memberIndex, PSP_DEVICE_INTERFACE_DATA interfaceData)
{
    return ::SetupDiEnumDeviceInterfaces(set, deviceInfo, interfaceClass, memberIndex, interfaceData);
}

BOOL SetupDiGetDeviceInterfaceDetailA(HDEVINFO set, PSP_DEVICE_INTERFACE_DATA interfaceData,
                                      PSP_DEVICE_INTERFACE_DETAIL_DATA_A detail, DWORD detailSize,
                                      PDWORD requiredSize, PSP_DEVINFO_DATA deviceInfo)
{
    return ::SetupDiGetDeviceInterfaceDetailA(set, interfaceData, detail, detailSize, requiredSize, deviceInfo);
}

BOOL SetupDiGetDeviceInterfaceAlias(HDEVINFO set, PSP_DEVICE_INTERFACE_DATA interfaceData, const GUID* aliasClass,
                                    PSP_DEVICE_INTERFACE_DATA aliasData)
{
    return ::SetupDiGetDeviceInterfaceAlias(set, interfaceData, aliasClass, aliasData);
}

BOOL SetupDiGetDeviceRegistryPropertyA(HDEVINFO set, PSP_DEVINFO_DATA deviceInfo, DWORD property,
                                       PDWORD propertyType, PBYTE buffer, DWORD bufferSize, PDWORD requiredSize)
{
    return ::SetupDiGetDeviceRegistryPropertyA(set, deviceInfo, property, propertyType, buffer, bufferSize,
                                               requiredSize);
}

BOOL SetupDiDestroyDeviceInfoList(HDEVINFO set)
{
    return ::SetupDiDestroyDeviceInfoList(set);
}

HANDLE CreateFileA(LPCSTR path, DWORD access, DWORD shareMode, LPSECURITY_ATTRIBUTES security, DWORD disposition,
                   DWORD flags, HANDLE templateFile)
{
    return ::CreateFileA(path, access, shareMode, security, disposition, flags, templateFile);
}

BOOL DeviceIoControl(HANDLE handle, DWORD code, LPVOID inBuffer, DWORD inSize, LPVOID outBuffer, DWORD outSize,
                     LPDWORD bytesReturned, LPOVERLAPPED overlapped)
{
    return ::DeviceIoControl(handle, code, inBuffer, inSize, outBuffer, outSize, bytesReturned, overlapped);
}

DWORD KsCreatePin(HANDLE filter, PKSPIN_CONNECT connect, ACCESS_MASK access, PHANDLE pin)
{
    using KsCreatePinFunction = DWORD(WINAPI*)(HANDLE, PKSPIN_CONNECT, ACCESS_MASK, PHANDLE);
    // Loaded on first use and kept for the life of the process: pins may be
    // created at any time, and ksuser.dll is never unloaded under them.
    static const KsCreatePinFunction createPin = []() -> KsCreatePinFunction {
        HMODULE ksuser = LoadLibraryA("ksuser.dll");
        if (!ksuser) {
            return nullptr;
        }
        return reinterpret_cast<KsCreatePinFunction>(reinterpret_cast<void*>(GetProcAddress(ksuser, "KsCreatePin")));
    }();
    if (!createPin) {
        return ERROR_FILE_NOT_FOUND;
    }
    return createPin(filter, connect, access, pin);
}

BOOL CancelIoEx(HANDLE handle, LPOVERLAPPED overlapped)
{
    return ::CancelIoEx(handle, overlapped);
}

BOOL CloseHandle(HANDLE handle)
{
    return ::CloseHandle(handle);
}

}  // namespace KsSystem
