#pragma once

#include <windows.h>

#include <string>
#include <vector>

// An ASIO driver as HKLM\SOFTWARE\ASIO lists it.
struct RegisteredDriver {
    std::string keyName;
    std::string description;
    CLSID clsid;
};

// Every driver under HKLM\SOFTWARE\ASIO with a readable class id, in
// registry order. The view is this program's own, as for any host: a 32-bit
// build sees the 32-bit drivers (WOW6432Node), a 64-bit build the 64-bit ones.
std::vector<RegisteredDriver> ListRegisteredDrivers();
// The driver whose key name or description equals name (case-insensitive).
bool FindRegisteredDriver(const std::string& name, RegisteredDriver& driver);
