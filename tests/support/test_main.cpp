#include "message_box.h"
#include "message_box_log.h"

#include <gtest/gtest.h>
#include <windows.h>

#include <mutex>

namespace {

std::mutex g_boxesLock;
std::vector<LoggedMessageBox> g_boxes;

int LogMessageBox(const char* text, const char* caption, unsigned int type)
{
    std::lock_guard<std::mutex> lock(g_boxesLock);
    g_boxes.push_back({text ? text : "", caption ? caption : "", type});
    return IDOK;
}

}  // namespace

std::vector<LoggedMessageBox> LoggedMessageBoxes()
{
    std::lock_guard<std::mutex> lock(g_boxesLock);
    return g_boxes;
}

void ClearLoggedMessageBoxes()
{
    std::lock_guard<std::mutex> lock(g_boxesLock);
    g_boxes.clear();
}

int main(int argc, char** argv)
{
    SetMessageBoxHandler(LogMessageBox);
    testing::InitGoogleTest(&argc, argv);
    return RUN_ALL_TESTS();
}
