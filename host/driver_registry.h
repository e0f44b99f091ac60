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

// Every driver under HKLM\SOFTWARE\ASIO (64-bit view) with a readable class
// id, in registry order.
std::vector<RegisteredDriver> ListRegisteredDrivers();
// The driver whose key name or description equals name (case-insensitive).
bool FindRegisteredDriver(const std::string& name, RegisteredDriver& driver);
