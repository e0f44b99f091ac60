#include "settings_file.h"

#include "debug_trace.h"
#include "settings_keys.h"
#include "settings_paths.h"

#include <windows.h>

#include <cstdio>

namespace {

// An unknown settings path must not send the write to win.ini.
void WriteProfileKey(const std::string& section, const std::string& key, const std::string& text)
{
    const std::string path = SettingsFilePath();
    if (path.empty()) {
        DebugTrace("SettingsFile: no settings path, %s.%s not written\n", section.c_str(), key.c_str());
        return;
    }
    if (!WritePrivateProfileStringA(section.c_str(), key.c_str(), text.c_str(), path.c_str())) {
        DebugTrace("SettingsFile: writing %s.%s to %s failed, error %lu\n", section.c_str(), key.c_str(), path.c_str(),
                   GetLastError());
    }
}

}  // namespace

void SettingsFile::WriteDefaultValue(const std::string& key, const std::string& text)
{
    std::lock_guard<std::mutex> lock(m_reloadLock);
    if (m_pConfig) {
        m_pConfig->setString(std::string(SettingsKeys::kDefaultSection) + "." + key, text);
    }
    WriteProfileKey(SettingsKeys::kDefaultSection, key, text);
}

void SettingsFile::WriteDeviceString(const std::string& deviceName, const std::string& direction,
                                     const std::string& key, const std::string& text)
{
    WriteProfileKey(deviceName, direction + key, text);
}

void SettingsFile::WriteDeviceInt(const std::string& deviceName, const std::string& direction, const std::string& key,
                                  int value)
{
    char text[16];
    std::snprintf(text, sizeof text, "%d", value);
    WriteDeviceString(deviceName, direction, key, text);
}

void SettingsFile::WriteDeviceFloat(const std::string& deviceName, const std::string& direction,
                                    const std::string& key, float value)
{
    char text[64];
    std::snprintf(text, sizeof text, "%6.2f", static_cast<double>(value));
    WriteDeviceString(deviceName, direction, key, text);
}

void SettingsFile::WriteDriftCompensation(bool on)
{
    WriteDefaultValue(SettingsKeys::kDriftCompensation, on ? "1" : "0");
}

void SettingsFile::WriteClockMaster(const std::string& deviceName)
{
    WriteDefaultValue(SettingsKeys::kClockMaster, deviceName);
}
