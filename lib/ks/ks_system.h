#pragma once

#include "ks_platform.h"

// Everything the kernel-streaming classes ask of the operating system. Two
// implementations exist and the program's link picks one: ks_system_win32
// forwards to Windows (the shipped binaries), kssim answers from a model of
// WDM audio devices (tests and demo). Each function behaves like the Windows
// function of the same name: same arguments, results and last-error codes.
namespace KsSystem {

// SetupAPI: device-interface enumeration.
HDEVINFO SetupDiGetClassDevsA(const GUID* classGuid, PCSTR enumerator, HWND parent, DWORD flags);
BOOL SetupDiEnumDeviceInterfaces(HDEVINFO set, PSP_DEVINFO_DATA deviceInfo, const GUID* interfaceClass,
                                 DWORD memberIndex, PSP_DEVICE_INTERFACE_DATA interfaceData);
BOOL SetupDiGetDeviceInterfaceDetailA(HDEVINFO set, PSP_DEVICE_INTERFACE_DATA interfaceData,
                                      PSP_DEVICE_INTERFACE_DETAIL_DATA_A detail, DWORD detailSize,
                                      PDWORD requiredSize, PSP_DEVINFO_DATA deviceInfo);
BOOL SetupDiGetDeviceInterfaceAlias(HDEVINFO set, PSP_DEVICE_INTERFACE_DATA interfaceData, const GUID* aliasClass,
                                    PSP_DEVICE_INTERFACE_DATA aliasData);
BOOL SetupDiGetDeviceRegistryPropertyA(HDEVINFO set, PSP_DEVINFO_DATA deviceInfo, DWORD property,
                                       PDWORD propertyType, PBYTE buffer, DWORD bufferSize, PDWORD requiredSize);
BOOL SetupDiDestroyDeviceInfoList(HDEVINFO set);

// Opening a filter by its device path.
HANDLE CreateFileA(LPCSTR path, DWORD access, DWORD shareMode, LPSECURITY_ATTRIBUTES security, DWORD disposition,
                   DWORD flags, HANDLE templateFile);

// Property and stream requests on filter and pin handles. The OVERLAPPED's
// event may carry the low bit that keeps a completion away from a completion
// port; completion signals the event without that bit.
BOOL DeviceIoControl(HANDLE handle, DWORD code, LPVOID inBuffer, DWORD inSize, LPVOID outBuffer, DWORD outSize,
                     LPDWORD bytesReturned, LPOVERLAPPED overlapped);

// KsCreatePin of ksuser.dll: 0 or a Win32 error code. ERROR_FILE_NOT_FOUND
// when ksuser.dll or its KsCreatePin cannot be had.
DWORD KsCreatePin(HANDLE filter, PKSPIN_CONNECT connect, ACCESS_MASK access, PHANDLE pin);

// Cancels every request outstanding on a filter or pin handle, whichever
// thread issued it; each completes as cancelled (ERROR_OPERATION_ABORTED).
BOOL CancelIoEx(HANDLE handle, LPOVERLAPPED overlapped);

// Closes a filter or pin handle; requests still outstanding complete as cancelled.
BOOL CloseHandle(HANDLE handle);

}  // namespace KsSystem
