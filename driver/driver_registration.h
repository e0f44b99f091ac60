#pragma once

#include <windows.h>

// Result codes of registration.
enum : int {
    kRegistrationNotLoaded = -101,      // the library is not loaded under the module name
    kRegistrationNoPath = -102,         // its path could not be read
    kRegistrationNoClassText = -103,    // the class id could not be turned into text
    kRegistrationNoAnsiClassText = -104,  // ... or into the ANSI code page
};

// Registers the COM class (HKCR\CLSID\{id} with InprocServer32) and the ASIO
// driver entry (HKLM\SOFTWARE\ASIO\<keyName>). The class keys are kept when
// they already name this library's path, rebuilt otherwise; the ASIO key is
// always rebuilt. 0, -1 when the last value could not be written, or one of
// the codes above.
int RegisterDriverServer(REFCLSID clsid, const char* moduleName, const char* keyName, const char* description,
                         const char* threadingModel);
// Removes both; 0 or one of the codes above.
int UnregisterDriverServer(REFCLSID clsid, const char* moduleName, const char* keyName);
