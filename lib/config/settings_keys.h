#pragma once

// Section, key names and direction prefixes of config.ini.
namespace SettingsKeys {
inline constexpr const char* kDefaultSection = "default";
inline constexpr const char* kBlockFrames = "BlockFrames";
inline constexpr const char* kBitsPerSample = "BitSpersample";  // lower-case "s" after "Bit", as stored
inline constexpr const char* kSampleFormat = "SampleFormat";    // "int" or "float": the host's sample type
inline constexpr const char* kSampleRate = "SampleRate";
inline constexpr const char* kInputLatency = "InputLatency";
inline constexpr const char* kOutputLatency = "OutputLatency";
inline constexpr const char* kVolume = "Volume";
inline constexpr const char* kRequestsInFlight = "RequestsInFlight";
inline constexpr const char* kTraceFile = "TraceFile";  // 1: the trace also goes to telvara-trace.log
inline constexpr const char* kClockMaster = "ClockMaster";  // a device's unique name; empty: the first render device
inline constexpr const char* kIn = "in";
inline constexpr const char* kOut = "out";

inline constexpr const char* kMaximumChannels = "MaximumChannels";
inline constexpr const char* kMinimumSampleFrequency = "MinimumSampleFrequency";
inline constexpr const char* kMaximumSampleFrequency = "MaximumSampleFrequency";
inline constexpr const char* kMinimumBitsPerSample = "MinimumBitsPerSample";
inline constexpr const char* kMaximumBitsPerSample = "MaximumBitsPerSample";
inline constexpr const char* kChannelLink = "ChannelLink";
inline constexpr const char* kOutLatency = "OutLatency";
// In section "default" for every device, and with the direction prefix in a
// device's section for that device alone: 0 is off, anything else on.
inline constexpr const char* kDriftCompensation = "DriftCompensation";
}  // namespace SettingsKeys
