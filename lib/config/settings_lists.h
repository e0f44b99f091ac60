#pragma once

#include <string>
#include <vector>

// Splits a ";" list as config.ini stores it: no trimming, an item before a
// leading or between two separators is empty, a trailing separator adds none.
std::vector<std::string> SplitSettingsList(const std::string& text);

// Joins names with ";" and no trailing separator (the panel's form).
std::string JoinSettingsList(const std::vector<std::string>& items);

struct ChannelLink {
    int left;
    int right;
};

// A ChannelLink value: the first item is the left link, every further item
// the right one (the last wins); each is read like strtol in base 10. An empty
// value links the list position and the next one; so does -1 (automatic
// assignment) for its side, unless resolveAutomatic is false (the panel shows
// and keeps -1 as it is stored). Other negative links leave a channel silent.
ChannelLink ParseChannelLink(const std::string& text, int listPosition, bool resolveAutomatic = true);
