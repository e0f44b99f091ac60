#pragma once

#include <windows.h>

// The import address table entry through which module calls function of dll
// (nullptr when the module does not import it by name), and a write of that
// entry that goes through the page protection. Swapping an entry redirects
// every call the module makes through it, whichever thread makes it.
void** FindImportSlot(HMODULE module, const char* dll, const char* function);
// The same whatever DLL the module imports function from (the C runtime's
// functions come from msvcrt.dll or from UCRT's api-ms-win-crt-* sets); the
// DLL's name goes to *dll when given.
void** FindImportSlotInAnyDll(HMODULE module, const char* function, const char** dll = nullptr);
void WriteImportSlot(void** slot, void* value);
