/* Force-included (gcc -include) when PortAudio's WDM-KS host API is compiled
 * for the PortAudio check: renames the operating-system calls it makes on
 * device interfaces, filters and pins, so that they reach ks_adapter.cpp,
 * which answers them through the kernel-streaming seam (KsSystem::), and so
 * from kssim. Everything else it calls (events, waits, threads, timers,
 * winmm) stays Windows'.
 *
 * Only macros, no declarations: the renamed functions are declared by the
 * Windows headers themselves under their new names, so they keep Windows'
 * exact prototypes. The *API macros are emptied (setupapi.h empties its own
 * for _SETUPAPI_) so that those declarations are not dllimport: the adapter
 * defines them in the program. */
#ifndef TELVARA_PA_KS_ADAPTER_H
#define TELVARA_PA_KS_ADAPTER_H

#define WINBASEAPI
#define _SETUPAPI_
#define WINADVAPI

/* Device-interface enumeration (the wide functions but for the set). */
#define SetupDiGetClassDevsA TelvaraPa_SetupDiGetClassDevsA
#define SetupDiEnumDeviceInterfaces TelvaraPa_SetupDiEnumDeviceInterfaces
#define SetupDiGetDeviceInterfaceAlias TelvaraPa_SetupDiGetDeviceInterfaceAlias
#define SetupDiGetDeviceInterfaceDetailW TelvaraPa_SetupDiGetDeviceInterfaceDetailW
#define SetupDiGetDeviceRegistryPropertyW TelvaraPa_SetupDiGetDeviceRegistryPropertyW
#define SetupDiOpenDeviceInterfaceRegKey TelvaraPa_SetupDiOpenDeviceInterfaceRegKey
#define SetupDiDestroyDeviceInfoList TelvaraPa_SetupDiDestroyDeviceInfoList
#define RegQueryValueExW TelvaraPa_RegQueryValueExW
#define RegCloseKey TelvaraPa_RegCloseKey

/* Filters and pins. */
#define CreateFileW TelvaraPa_CreateFileW
#define DeviceIoControl TelvaraPa_DeviceIoControl
#define CloseHandle TelvaraPa_CloseHandle
#define CancelIoEx TelvaraPa_CancelIoEx

/* ksuser.dll's KsCreatePin is found at run time. */
#define LoadLibraryA TelvaraPa_LoadLibraryA
#define LoadLibraryW TelvaraPa_LoadLibraryW
#define GetProcAddress TelvaraPa_GetProcAddress
#define FreeLibrary TelvaraPa_FreeLibrary

#endif
