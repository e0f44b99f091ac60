#include "import_patch.h"

#include "import_slot.h"

#include <mutex>

namespace {

std::mutex g_lock;
std::vector<DriverMessageBoxLog::Box> g_boxes;

int WINAPI LogBox(HWND, LPCSTR text, LPCSTR caption, UINT type)
{
    std::lock_guard<std::mutex> lock(g_lock);
    g_boxes.push_back({text ? text : "", caption ? caption : "", type});
    return IDOK;
}

}  // namespace

DriverMessageBoxLog::DriverMessageBoxLog(HMODULE library)
{
    Clear();
    m_slot = library ? FindImportSlot(library, "user32.dll", "MessageBoxA") : nullptr;
    if (m_slot) {
        m_original = *m_slot;
        WriteImportSlot(m_slot, reinterpret_cast<void*>(&LogBox));
    }
}

DriverMessageBoxLog::~DriverMessageBoxLog()
{
    if (m_slot) {
        WriteImportSlot(m_slot, m_original);
    }
}

std::vector<DriverMessageBoxLog::Box> DriverMessageBoxLog::Boxes()
{
    std::lock_guard<std::mutex> lock(g_lock);
    return g_boxes;
}

void DriverMessageBoxLog::Clear()
{
    std::lock_guard<std::mutex> lock(g_lock);
    g_boxes.clear();
}
