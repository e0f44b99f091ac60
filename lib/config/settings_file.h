#pragma once

#include "driver_settings.h"

#include <Poco/AutoPtr.h>
#include <Poco/Util/IniFileConfiguration.h>

#include <atomic>
#include <map>
#include <mutex>
#include <optional>
#include <set>
#include <string>

// What to do when config.ini can neither be created nor read. Both show the
// error box; the panel ends itself, while the driver lives inside the user's
// audio program and must not take that program down with it.
enum class SettingsFailureAction {
    ExitProcess,
    Continue,  // defaults stay in force; IsUsable() tells the caller
};

// The settings a running driver changes without reopening its devices.
struct LiveValues {
    std::optional<float> volume;
    std::map<std::string, float> outputDelays;  // OutLatency by device name
};

// Access to config.ini: loading it into the DriverSettings record, and the
// panel's writers. One instance per process (GetSettingsFile).
class SettingsFile {
public:
    // Creates the folder and an empty file when missing and parses it.
    explicit SettingsFile(SettingsFailureAction onFailure);
    SettingsFile(const SettingsFile&) = delete;
    SettingsFile& operator=(const SettingsFile&) = delete;

    // Rereads the file and refills the record; the same pointer every call.
    // A value that cannot be read stops the load there (traced on standard
    // output); fields not reached keep their previous values.
    DriverSettings* LoadSettings();

    // From now on loads keep a -1 channel link as stored instead of playing
    // it as the list position: the panel shows it as automatic assignment
    // and writes it back as such. The driver never calls it.
    void KeepAutomaticLinks() { m_bKeepAutomaticLinks = true; }

    // What a running driver takes up at once, read afresh: the volume and
    // the output delay factor of every device of the "out" list. The panel
    // rewrites the file in place, so a read may meet it half written: a value
    // the file does not hold, or not in a readable form, is left out (the
    // driver keeps what it has). Never throws.
    LiveValues LoadLiveValues();

    // A key of section "default" as the file read last (and the writes
    // since) hold it; fallback when the key is absent or nothing was read.
    std::string ReadDefaultText(const std::string& key, const std::string& fallback);

    // False when the file could not be created or parsed at construction,
    // until a later load reads it.
    bool IsUsable() const { return m_strFailure.empty(); }
    // The text of the error box shown then (GBK), or empty.
    const std::string& GetFailureText() const { return m_strFailure; }

    // Panel writers: one key each, written with WritePrivateProfileStringA to
    // the file at SettingsFilePath(). WriteDefaultValue also updates the
    // loaded configuration, the device writers change the file only.
    void WriteDefaultValue(const std::string& key, const std::string& text);
    void WriteDeviceString(const std::string& deviceName, const std::string& direction, const std::string& key,
                           const std::string& text);
    void WriteDeviceInt(const std::string& deviceName, const std::string& direction, const std::string& key, int value);
    void WriteDeviceFloat(const std::string& deviceName, const std::string& direction, const std::string& key,
                          float value);
    // "DriftCompensation" as 1 or 0, and "ClockMaster" as the device's unique
    // name (empty: back to the first render device); both in section
    // "default", through WriteDefaultValue.
    void WriteDriftCompensation(bool on);
    void WriteClockMaster(const std::string& deviceName);

    // ANSI path of config.ini, set on every load.
    std::string m_strPath;

private:
    void Fail(const std::string& messageText, SettingsFailureAction onFailure);
    void ReloadConfiguration();
    // One list's devices into table, and those whose own drift compensation
    // is off into uncompensated.
    void LoadDeviceSettings(const char* direction, DeviceSettingsTable& table, std::set<std::string>& uncompensated);

    // Reloads come from the host's thread and the driver's control thread.
    std::mutex m_reloadLock;
    std::atomic<bool> m_bKeepAutomaticLinks{false};
    Poco::AutoPtr<Poco::Util::IniFileConfiguration> m_pConfig;
    DriverSettings m_settings;
    std::string m_strFailure;
};

// The process-wide instance, constructed on first use with the given failure
// action (later calls return the same instance and ignore the argument).
SettingsFile& GetSettingsFile(SettingsFailureAction onFirstUse = SettingsFailureAction::ExitProcess);
