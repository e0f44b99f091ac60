#include "message_box.h"
#include "message_box_log.h"

#include <gtest/gtest.h>
#include <windows.h>

namespace {
int g_calls = 0;
int AnswerCancel(const char*, const char*, unsigned int)
{
    ++g_calls;
    return IDCANCEL;
}
}  // namespace

TEST(MessageBox, GoesToTheInstalledHandlerWithItsAnswer)
{
    MessageBoxHandler previous = SetMessageBoxHandler(AnswerCancel);
    ASSERT_NE(previous, nullptr) << "the test main installs a logging handler";
    g_calls = 0;
    EXPECT_EQ(ShowMessageBox("text", "TELVARA", MB_ICONERROR), IDCANCEL);
    EXPECT_EQ(g_calls, 1);
    EXPECT_EQ(SetMessageBoxHandler(previous), &AnswerCancel);
}

TEST(MessageBox, TheTestMainLogsBoxesInsteadOfShowingThem)
{
    ClearLoggedMessageBoxes();
    EXPECT_EQ(ShowMessageBox("x \xc5\xe4", "TELVARA", MB_ICONERROR), IDOK);
    const auto boxes = LoggedMessageBoxes();
    ASSERT_EQ(boxes.size(), 1u);
    EXPECT_EQ(boxes[0].text, "x \xc5\xe4");
    EXPECT_EQ(boxes[0].caption, "TELVARA");
    EXPECT_EQ(boxes[0].type, static_cast<unsigned>(MB_ICONERROR));
}
