// The notification-area record, byte for byte.
#include "tray_icon.h"

#include <gtest/gtest.h>

#include <cstring>
#include <string>

namespace {

// Every byte from offset on is zero.
bool ZeroFrom(const char* field, size_t size, size_t offset)
{
    for (size_t i = offset; i < size; ++i) {
        if (field[i] != 0) {
            return false;
        }
    }
    return true;
}

TEST(TrayIconRecordTest, IconRecordHasTheExactMembers)
{
    NOTIFYICONDATAA record;
    std::memset(&record, 0xCC, sizeof record);  // leftovers must not survive
    HWND window = reinterpret_cast<HWND>(0x1234);
    HICON icon = reinterpret_cast<HICON>(0x5678);
    FillTrayIconRecord(record, window, icon);

#ifdef _WIN64
    EXPECT_EQ(record.cbSize, sizeof(NOTIFYICONDATAA));
#else
    EXPECT_EQ(record.cbSize, 508u);
#endif
    EXPECT_EQ(record.hWnd, window);
    EXPECT_EQ(record.uID, 0u);
    EXPECT_EQ(record.uFlags, 7u);
    EXPECT_EQ(record.uCallbackMessage, 1025u);
    EXPECT_EQ(record.hIcon, icon);
    EXPECT_STREQ(record.szTip, "TELVARA");
    EXPECT_TRUE(ZeroFrom(record.szTip, sizeof record.szTip, 7));
    EXPECT_TRUE(ZeroFrom(record.szInfo, sizeof record.szInfo, 0));
    EXPECT_TRUE(ZeroFrom(record.szInfoTitle, sizeof record.szInfoTitle, 0));
    EXPECT_EQ(record.dwState, 0u);
    EXPECT_EQ(record.uTimeout, 0u);
    EXPECT_EQ(record.dwInfoFlags, 0u);
}

TEST(TrayIconRecordTest, BalloonReplacesTheFlagsAndCopiesBoundedTexts)
{
    NOTIFYICONDATAA record;
    FillTrayIconRecord(record, nullptr, nullptr);
    FillTrayBalloon(record, "SampleRate:44100hz 16bit", "TELVARA", 5000, NIIF_INFO);
    EXPECT_EQ(record.uFlags, 16u);
    EXPECT_STREQ(record.szInfo, "SampleRate:44100hz 16bit");
    EXPECT_STREQ(record.szInfoTitle, "TELVARA");
    EXPECT_EQ(record.uTimeout, 5000u);
    EXPECT_EQ(record.dwInfoFlags, 1u);
    EXPECT_STREQ(record.szTip, "TELVARA");

    // Null texts are empty; texts longer than their fields are cut, and the
    // earlier, longer text leaves nothing behind.
    const std::string longText(400, 'x');
    FillTrayBalloon(record, longText.c_str(), nullptr, 0, 0);
    EXPECT_EQ(std::string(record.szInfo), longText.substr(0, sizeof record.szInfo - 1));
    EXPECT_EQ(record.szInfoTitle[0], '\0');
    FillTrayBalloon(record, nullptr, "T", 0, 0);
    EXPECT_TRUE(ZeroFrom(record.szInfo, sizeof record.szInfo, 0));
    EXPECT_STREQ(record.szInfoTitle, "T");
}

}  // namespace
