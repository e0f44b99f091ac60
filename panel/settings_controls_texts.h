#pragma once

// Trace texts of the settings controls, code page 936 (GBK) bytes.
namespace SettingsControlTexts {

inline constexpr const char* kVolumeSet = "ASIO SET VOLUME %f";
// "调整设备[%s]延迟 %f 事件发送%s" with "成功" or "失败"
inline constexpr const char* kDelaySet =
    "\xb5\xf7\xd5\xfb\xc9\xe8\xb1\xb8[%s]\xd1\xd3\xb3\xd9 %f \xca\xc2\xbc\xfe\xb7\xa2\xcb\xcd%s";
inline constexpr const char* kSucceeded = "\xb3\xc9\xb9\xa6";
inline constexpr const char* kFailed = "\xca\xa7\xb0\xdc";

}  // namespace SettingsControlTexts
