#include "device_catalogue.h"

#include <gtest/gtest.h>

namespace {

DeviceTable TableOf(std::initializer_list<const char*> names)
{
    DeviceTable table;
    for (const char* name : names) {
        table[name] = DeviceEntry{};
    }
    return table;
}

}  // namespace

TEST(MakeUniqueName, ANewNameStaysAsItIs)
{
    EXPECT_EQ(CDeviceCatalogue::MakeUniqueName(TableOf({"Headset"}), "Speakers"), "Speakers");
    EXPECT_EQ(CDeviceCatalogue::MakeUniqueName(DeviceTable{}, ""), "");
}

TEST(MakeUniqueName, TakenNamesGetTheFirstFreeNumberInFront)
{
    EXPECT_EQ(CDeviceCatalogue::MakeUniqueName(TableOf({"Speakers"}), "Speakers"), "1_Speakers");
    EXPECT_EQ(CDeviceCatalogue::MakeUniqueName(TableOf({"Speakers", "1_Speakers"}), "Speakers"), "2_Speakers");
    EXPECT_EQ(CDeviceCatalogue::MakeUniqueName(TableOf({"Speakers", "2_Speakers"}), "Speakers"), "1_Speakers");
    EXPECT_EQ(CDeviceCatalogue::MakeUniqueName(TableOf({""}), ""), "1_");
}

TEST(MakeUniqueName, TheCounterRestartsForEveryName)
{
    const DeviceTable table = TableOf({"A", "1_A", "2_A", "B"});
    EXPECT_EQ(CDeviceCatalogue::MakeUniqueName(table, "A"), "3_A");
    EXPECT_EQ(CDeviceCatalogue::MakeUniqueName(table, "B"), "1_B");
}

TEST(MakeUniqueName, ANameThatLooksNumberedIsNumberedAgain)
{
    EXPECT_EQ(CDeviceCatalogue::MakeUniqueName(TableOf({"1_A"}), "1_A"), "1_1_A");
}
