#pragma once

#include <string>
#include <string_view>
#include <vector>

// One open device as the master choice sees it.
struct SMasterCandidate {
    std::string name;  // the device's unique name
    bool render = true;
};

struct SMasterChoice {
    int index = -1;          // the master among the candidates; -1 when there are none
    bool namedFound = false; // the named device was among them and is the master
};

// The clock master of a stream: the device the settings name (render or
// capture, matched by its unique name), else the first render device, else
// the first device.
SMasterChoice ChooseMaster(const std::vector<SMasterCandidate>& devices, std::string_view named);
