#include "message_box.h"

#include <windows.h>

#include <atomic>

namespace {
std::atomic<MessageBoxHandler> g_messageBoxHandler{nullptr};
}

int ShowMessageBox(const char* text, const char* caption, unsigned int type)
{
    if (MessageBoxHandler handler = g_messageBoxHandler.load()) {
        return handler(text, caption, type);
    }
    return MessageBoxA(nullptr, text, caption, type);
}

MessageBoxHandler SetMessageBoxHandler(MessageBoxHandler handler)
{
    return g_messageBoxHandler.exchange(handler);
}
