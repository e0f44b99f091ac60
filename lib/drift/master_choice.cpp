#include "master_choice.h"

SMasterChoice ChooseMaster(const std::vector<SMasterCandidate>& devices, std::string_view named)
{
    SMasterChoice choice;
    if (!named.empty()) {
        for (size_t i = 0; i < devices.size(); ++i) {
            if (devices[i].name == named) {
                choice.index = static_cast<int>(i);
                choice.namedFound = true;
                return choice;
            }
        }
    }
    for (size_t i = 0; i < devices.size(); ++i) {
        if (devices[i].render) {
            choice.index = static_cast<int>(i);
            return choice;
        }
    }
    if (!devices.empty())
        choice.index = 0;
    return choice;
}
