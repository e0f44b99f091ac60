#pragma once

#include <windows.h>

// The import address table entry through which module calls function of dll
// (nullptr when the module does not import it by name), and a write of that
// entry that goes through the page protection. Swapping an entry redirects
// every call the module makes through it, whichever thread makes it.
void** FindImportSlot(HMODULE module, const char* dll, const char* function);
void WriteImportSlot(void** slot, void* value);
