#include "settings_lists.h"

#include <cstdlib>

std::vector<std::string> SplitSettingsList(const std::string& text)
{
    std::vector<std::string> items;
    size_t start = 0;
    while (start < text.size()) {
        const size_t end = text.find(';', start);
        if (end == std::string::npos) {
            items.push_back(text.substr(start));
            break;
        }
        items.push_back(text.substr(start, end - start));
        start = end + 1;
    }
    return items;
}

std::string JoinSettingsList(const std::vector<std::string>& items)
{
    std::string joined;
    for (size_t i = 0; i < items.size(); ++i) {
        if (i > 0) {
            joined += ';';
        }
        joined += items[i];
    }
    return joined;
}

ChannelLink ParseChannelLink(const std::string& text, int listPosition, bool resolveAutomatic)
{
    if (text.empty()) {
        return {listPosition, listPosition + 1};
    }
    ChannelLink link{-1, 0};
    const std::vector<std::string> items = SplitSettingsList(text);
    for (size_t i = 0; i < items.size(); ++i) {
        const int value = static_cast<int>(std::strtol(items[i].c_str(), nullptr, 10));
        if (i == 0) {
            link.left = value;
        } else {
            link.right = value;
        }
    }
    // -1 is the panel's automatic assignment: the same links as no value.
    if (!resolveAutomatic) {
        return link;
    }
    if (link.left == -1) {
        link.left = listPosition;
    }
    if (link.right == -1) {
        link.right = listPosition + 1;
    }
    return link;
}
