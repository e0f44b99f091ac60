#include "settings_lists.h"

#include <gtest/gtest.h>

using Items = std::vector<std::string>;

TEST(SplitSettingsList, KeepsEmptyItemsButNoTrailingOne)
{
    EXPECT_EQ(SplitSettingsList(""), Items{});
    EXPECT_EQ(SplitSettingsList("A"), Items{"A"});
    EXPECT_EQ(SplitSettingsList("A;B"), (Items{"A", "B"}));
    EXPECT_EQ(SplitSettingsList("A;;B"), (Items{"A", "", "B"}));
    EXPECT_EQ(SplitSettingsList("A;B;"), (Items{"A", "B"}));
    EXPECT_EQ(SplitSettingsList(";A"), (Items{"", "A"}));
    EXPECT_EQ(SplitSettingsList(";"), Items{""});
    EXPECT_EQ(SplitSettingsList(";;"), (Items{"", ""}));
}

TEST(SplitSettingsList, DoesNotTrimBlanks)
{
    EXPECT_EQ(SplitSettingsList(" A ; B"), (Items{" A ", " B"}));
}

TEST(JoinSettingsList, JoinsWithoutTrailingSeparatorAndSplitsBack)
{
    EXPECT_EQ(JoinSettingsList({}), "");
    EXPECT_EQ(JoinSettingsList({"A"}), "A");
    const Items names{"Speakers", "1_Speakers", "\xd1\xef\xc9\xf9\xc6\xf7"};
    EXPECT_EQ(JoinSettingsList(names), "Speakers;1_Speakers;\xd1\xef\xc9\xf9\xc6\xf7");
    EXPECT_EQ(SplitSettingsList(JoinSettingsList(names)), names);
}

TEST(ParseChannelLink, EmptyLinksTheListPositionAndTheNext)
{
    EXPECT_EQ(ParseChannelLink("", 0).left, 0);
    EXPECT_EQ(ParseChannelLink("", 0).right, 1);
    EXPECT_EQ(ParseChannelLink("", 3).left, 3);
    EXPECT_EQ(ParseChannelLink("", 3).right, 4);
}

TEST(ParseChannelLink, MinusOneIsAutomaticLikeAnEmptyValueOtherNegativesStay)
{
    const ChannelLink automatic = ParseChannelLink("-1;-1", 3);
    EXPECT_EQ(automatic.left, 3);
    EXPECT_EQ(automatic.right, 4);
    const ChannelLink leftOnly = ParseChannelLink("-1", 2);
    EXPECT_EQ(leftOnly.left, 2);
    EXPECT_EQ(leftOnly.right, 0);
    const ChannelLink mixed = ParseChannelLink("-2;-1", 5);
    EXPECT_EQ(mixed.left, -2);
    EXPECT_EQ(mixed.right, 6);
    // As the panel reads it: -1 stays, so it can be shown and written back.
    const ChannelLink kept = ParseChannelLink("-1;-1", 3, false);
    EXPECT_EQ(kept.left, -1);
    EXPECT_EQ(kept.right, -1);
}

TEST(ParseChannelLink, FirstItemIsLeftLastFurtherItemIsRight)
{
    const ChannelLink single = ParseChannelLink("3", 7);
    EXPECT_EQ(single.left, 3);
    EXPECT_EQ(single.right, 0);
    const ChannelLink three = ParseChannelLink("4;5;6", 0);
    EXPECT_EQ(three.left, 4);
    EXPECT_EQ(three.right, 6);
}

TEST(ParseChannelLink, ReadsLikeStrtol)
{
    const ChannelLink letters = ParseChannelLink("x;y", 5);
    EXPECT_EQ(letters.left, 0);
    EXPECT_EQ(letters.right, 0);
    const ChannelLink signs = ParseChannelLink("  -2; +7abc", 0);
    EXPECT_EQ(signs.left, -2);
    EXPECT_EQ(signs.right, 7);
    const ChannelLink separatorOnly = ParseChannelLink(";", 4);
    EXPECT_EQ(separatorOnly.left, 0);
    EXPECT_EQ(separatorOnly.right, 0);
    const ChannelLink leadingSeparator = ParseChannelLink(";9", 4);
    EXPECT_EQ(leadingSeparator.left, 0);
    EXPECT_EQ(leadingSeparator.right, 9);
}
