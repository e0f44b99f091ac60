#pragma once

#include <windows.h>

#include <string>
#include <vector>

// Message boxes that a loaded driver library shows. The library carries its
// own copy of the message-box handler, so a test program's handler never
// sees them; instead the library's import of MessageBoxA is pointed at a
// logger for as long as this object lives. No box can block a headless run
// and every box is checked by text, caption and style.
class DriverMessageBoxLog {
public:
    struct Box {
        std::string text;
        std::string caption;
        unsigned int type;
    };

    // False from Installed() when the library does not import MessageBoxA
    // from user32.dll (then nothing is patched).
    explicit DriverMessageBoxLog(HMODULE library);
    ~DriverMessageBoxLog();
    DriverMessageBoxLog(const DriverMessageBoxLog&) = delete;
    DriverMessageBoxLog& operator=(const DriverMessageBoxLog&) = delete;

    bool Installed() const { return m_slot != nullptr; }
    // Every box since the log was installed (or cleared), from any thread.
    static std::vector<Box> Boxes();
    static void Clear();

private:
    void** m_slot = nullptr;
    void* m_original = nullptr;
};
