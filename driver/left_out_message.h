#pragma once

#include "device_open_report.h"

#include <cstddef>
#include <string>
#include <vector>

// The error text that names the configured devices an open left out, each
// as "name(reason)" after `lead`, separated by ";", within `capacity` bytes
// with the NUL and cut only between whole GBK characters. Devices that do
// not fit are counted at the end (";另有%d个"). Empty when every configured
// device is open.
std::string LeftOutMessage(const std::vector<DeviceOpenReport>& reports, const std::string& lead, size_t capacity);
