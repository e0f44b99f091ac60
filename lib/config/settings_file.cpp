#include "settings_file.h"

#include "debug_trace.h"
#include "message_box.h"
#include "settings_keys.h"
#include "settings_limits.h"
#include "settings_lists.h"
#include "settings_paths.h"

#include <Poco/Exception.h>
#include <Poco/File.h>
#include <Poco/NumberParser.h>

#include <windows.h>

#include <cstdio>
#include <cstdlib>
#include <exception>

namespace {

constexpr const char* kCaption = "TELVARA";
// " 配置文件创建失败!" and "读取配置文件出现异常:%s" in code page 936.
constexpr const char* kCreateFailedSuffix = " \xc5\xe4\xd6\xc3\xce\xc4\xbc\xfe\xb4\xb4\xbd\xa8\xca\xa7\xb0\xdc!";
constexpr const char* kReadExceptionFormat =
    "\xb6\xc1\xc8\xa1\xc5\xe4\xd6\xc3\xce\xc4\xbc\xfe\xb3\xf6\xcf\xd6\xd2\xec\xb3\xa3:%s";
// Shown in place of the path when the application-data folder is unknown.
constexpr const char* kUnknownPath = "%APPDATA%\\ZQV\\config.ini";
// A settings file is a few kilobytes; anything this large is not ours, and
// parsing it inside the host would stall the host.
constexpr Poco::File::FileSize kMaximumFileSize = 1024 * 1024;

std::string Key(const std::string& section, const std::string& key)
{
    return section + "." + key;
}

// A switch that only the number 0 turns off: absent, empty or not a number
// leaves it on (traced), and never stops the load.
bool SwitchedOn(const Poco::Util::AbstractConfiguration& config, const std::string& key)
{
    const std::string text = config.getString(key, "");
    if (text.empty()) {
        return true;
    }
    int value = 1;
    if (!Poco::NumberParser::tryParse(text, value)) {
        DebugTrace("config.ini: %s=%s is not a number, taken as on\n", key.c_str(), text.c_str());
        return true;
    }
    return value != 0;
}

void CheckSize(const Poco::File& file)
{
    if (file.getSize() > kMaximumFileSize) {
        throw Poco::DataFormatException("file larger than 1 MiB", file.path());
    }
}

// Panel and driver start at the same moment when a host creates the driver.
// The one that creates config.ini holds it open without sharing it for a
// moment, so the other one's first open can fail; it tries again, 10 ms
// apart, for half a second at most.
Poco::Util::IniFileConfiguration* OpenConfiguration(const std::string& utf8Path)
{
    constexpr int kTries = 50;
    for (int attempt = 1;; ++attempt) {
        try {
            return new Poco::Util::IniFileConfiguration(utf8Path);
        } catch (const Poco::FileException&) {
            if (attempt == kTries) {
                throw;
            }
            Sleep(10);
        }
    }
}

}  // namespace

SettingsFile::SettingsFile(SettingsFailureAction onFailure)
{
    try {
        m_strPath = SettingsFilePath();
        if (m_strPath.empty()) {
            Fail(std::string(kUnknownPath) + kCreateFailedSuffix, onFailure);
            return;
        }
        const std::string utf8Path = ToUtf8Path(m_strPath);
        Poco::File file(utf8Path);
        if (!file.exists()) {
            Poco::File folder(ToUtf8Path(SettingsFolderPath()));
            try {
                folder.createDirectory();
            } catch (const Poco::FileException&) {
                // The other program may have made it since the look; only a
                // folder that is still not there is a failure.
                if (!folder.exists()) {
                    throw;
                }
            }
            // createFile answers false when the file exists by now: the other
            // program (panel or driver) created it in the meantime, which is
            // fine as long as it is there now.
            if (!file.createFile() && !file.exists()) {
                Fail(m_strPath + kCreateFailedSuffix, onFailure);
                return;
            }
        }
        CheckSize(file);
        m_pConfig = OpenConfiguration(utf8Path);
    } catch (const Poco::Exception& e) {
        char text[1024];
        std::snprintf(text, sizeof text, kReadExceptionFormat, e.displayText().c_str());
        Fail(text, onFailure);
    }
}

void SettingsFile::Fail(const std::string& messageText, SettingsFailureAction onFailure)
{
    m_strFailure = messageText;
    ShowMessageBox(messageText.c_str(), kCaption, MB_ICONERROR);
    if (onFailure == SettingsFailureAction::ExitProcess) {
        std::fflush(stdout);
        std::exit(-1);
    }
}

void SettingsFile::ReloadConfiguration()
{
    m_strPath = SettingsFilePath();
    const std::string utf8Path = ToUtf8Path(m_strPath);
    if (utf8Path.empty()) {
        throw Poco::FileNotFoundException("application-data folder unknown", kUnknownPath);
    }
    CheckSize(Poco::File(utf8Path));
    if (m_pConfig) {
        m_pConfig->load(utf8Path);
    } else {
        m_pConfig = new Poco::Util::IniFileConfiguration(utf8Path);
    }
}

DriverSettings* SettingsFile::LoadSettings()
{
    using namespace SettingsKeys;
    std::lock_guard<std::mutex> lock(m_reloadLock);
    m_settings.inputDevices.clear();
    m_settings.outputDevices.clear();
    m_settings.uncompensatedInputs.clear();
    m_settings.uncompensatedOutputs.clear();
    try {
        ReloadConfiguration();
        // The file is readable again: whatever failed before is over.
        m_strFailure.clear();
        const std::string section = kDefaultSection;
        // Every value is kept inside what the driver's operations take.
        m_settings.blockFrames =
            SettingsLimits::BlockFrames(m_pConfig->getInt(Key(section, kBlockFrames), SettingsLimits::kDefaultBlockFrames));
        const int32_t bits = m_pConfig->getInt(Key(section, kBitsPerSample), SettingsLimits::kDefaultBitsPerSample);
        m_settings.bitsPerSample =
            SettingsLimits::IsSupportedBitsPerSample(bits) ? bits : SettingsLimits::kDefaultBitsPerSample;
        m_settings.hostSampleType = SettingsLimits::HostSampleTypeOf(
            m_settings.bitsPerSample, m_pConfig->getString(Key(section, kSampleFormat), std::string()));
        const int32_t rate = m_pConfig->getInt(Key(section, kSampleRate), SettingsLimits::kDefaultSampleRate);
        m_settings.sampleRate = SettingsLimits::IsSupportedSampleRate(rate) ? rate : SettingsLimits::kDefaultSampleRate;
        m_settings.inputLatency = SettingsLimits::LatencySetting(m_pConfig->getInt(Key(section, kInputLatency), 0));
        m_settings.outputLatency = SettingsLimits::LatencySetting(m_pConfig->getInt(Key(section, kOutputLatency), 0));
        m_settings.volume = SettingsLimits::Volume(static_cast<float>(m_pConfig->getDouble(Key(section, kVolume), 1.0)));
        m_settings.requestsInFlight = std::clamp(m_pConfig->getInt(Key(section, kRequestsInFlight), kFewestRequestsInFlight),
                                                 kFewestRequestsInFlight, kMostRequestsInFlight);
        m_settings.traceFile = m_pConfig->getInt(Key(section, kTraceFile), 0) != 0;
        m_settings.driftCompensation = SwitchedOn(*m_pConfig, Key(section, kDriftCompensation));
        m_settings.clockMaster = m_pConfig->getString(Key(section, kClockMaster), "");
        LoadDeviceSettings(kIn, m_settings.inputDevices, m_settings.uncompensatedInputs);
        LoadDeviceSettings(kOut, m_settings.outputDevices, m_settings.uncompensatedOutputs);
    } catch (const std::exception& e) {
        const std::string text = dynamic_cast<const Poco::Exception*>(&e)
                                     ? static_cast<const Poco::Exception&>(e).displayText()
                                     : std::string(e.what());
        // Traced, never printed: the standard output is the host's, and a
        // host may stream its data there.
        DebugTrace("System exception:%s\n", text.c_str());
    } catch (...) {
        DebugTrace("Unknown runtime exception\n");
    }
    return &m_settings;
}

void SettingsFile::LoadDeviceSettings(const char* direction, DeviceSettingsTable& table,
                                      std::set<std::string>& uncompensated)
{
    using namespace SettingsKeys;
    const std::string list = m_pConfig->getString(Key(kDefaultSection, direction), "");
    if (list.empty()) {
        return;
    }
    std::vector<std::string> names = SplitSettingsList(list);
    if (names.size() > static_cast<size_t>(SettingsLimits::kMostDevicesPerList)) {
        DebugTrace("config.ini: %s lists %u devices, the first %d are used\n", direction,
                   static_cast<unsigned>(names.size()), SettingsLimits::kMostDevicesPerList);
        names.resize(SettingsLimits::kMostDevicesPerList);
    }
    for (size_t position = 0; position < names.size(); ++position) {
        const std::string& name = names[position];
        const std::string prefix = direction;
        DeviceSettings device;
        device.maximumChannels = m_pConfig->getInt(Key(name, prefix + kMaximumChannels), 0);
        device.minimumSampleFrequency = m_pConfig->getInt(Key(name, prefix + kMinimumSampleFrequency), 0);
        device.maximumSampleFrequency = m_pConfig->getInt(Key(name, prefix + kMaximumSampleFrequency), 44100);
        device.minimumBitsPerSample = m_pConfig->getInt(Key(name, prefix + kMinimumBitsPerSample), 16);
        device.maximumBitsPerSample = m_pConfig->getInt(Key(name, prefix + kMaximumBitsPerSample), 16);
        device.outLatency =
            SettingsLimits::OutLatency(static_cast<float>(m_pConfig->getDouble(Key(name, prefix + kOutLatency), 0.0)));
        const ChannelLink link =
            ParseChannelLink(m_pConfig->getString(Key(name, prefix + kChannelLink), ""), static_cast<int>(position),
                             !m_bKeepAutomaticLinks);
        device.channelLinkLeft = link.left;
        device.channelLinkRight = link.right;
        // Read last, so that a device whose values stop the load leaves no
        // trace in the set either.
        if (!SwitchedOn(*m_pConfig, Key(name, prefix + kDriftCompensation))) {
            uncompensated.insert(name);
        }
        table[name] = device;
    }
}

LiveValues SettingsFile::LoadLiveValues()
{
    using namespace SettingsKeys;
    LiveValues values;
    std::lock_guard<std::mutex> lock(m_reloadLock);
    const auto readReal = [this](const std::string& key) -> std::optional<float> {
        try {
            if (m_pConfig->hasProperty(key)) {
                return static_cast<float>(m_pConfig->getDouble(key));
            }
        } catch (const std::exception&) {
            // Half written, or not a number: as if absent.
        }
        return std::nullopt;
    };
    try {
        ReloadConfiguration();
        if (const std::optional<float> volume = readReal(Key(kDefaultSection, kVolume))) {
            values.volume = SettingsLimits::Volume(*volume);
        }
        std::vector<std::string> names = SplitSettingsList(m_pConfig->getString(Key(kDefaultSection, kOut), ""));
        names.resize(std::min(names.size(), static_cast<size_t>(SettingsLimits::kMostDevicesPerList)));
        for (const std::string& name : names) {
            if (const std::optional<float> delay = readReal(Key(name, std::string(kOut) + kOutLatency))) {
                values.outputDelays[name] = SettingsLimits::OutLatency(*delay);
            }
        }
    } catch (const std::exception& e) {
        DebugTrace("System exception:%s\n", e.what());
    }
    return values;
}

std::string SettingsFile::ReadDefaultText(const std::string& key, const std::string& fallback)
{
    std::lock_guard<std::mutex> lock(m_reloadLock);
    if (!m_pConfig) {
        return fallback;
    }
    try {
        return m_pConfig->getString(std::string(SettingsKeys::kDefaultSection) + "." + key, fallback);
    } catch (const std::exception&) {
        return fallback;
    }
}

SettingsFile& GetSettingsFile(SettingsFailureAction onFirstUse)
{
    // Lives until the process ends: engine and control threads may still read
    // through it while the process is shutting down.
    static SettingsFile* const instance = new SettingsFile(onFirstUse);
    return *instance;
}
