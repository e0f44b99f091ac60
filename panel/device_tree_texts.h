#pragma once

// Texts of the device tree and of the panel's messages, code page 936 (GBK)
// bytes like every text the panel shows.
namespace DeviceTreeTexts {

// "自动分配": entry 0 of the channel list, and a -1 link in an item text.
inline constexpr const char* kAutomatic = "\xd7\xd4\xb6\xaf\xb7\xd6\xc5\xe4";
// "播放", "录音"
inline constexpr const char* kPlaybackGroup = "\xb2\xa5\xb7\xc5";
inline constexpr const char* kRecordingGroup = "\xc2\xbc\xd2\xf4";
// "左", "右"
inline constexpr const char* kLeft = "\xd7\xf3";
inline constexpr const char* kRight = "\xd3\xd2";
// "%s声道[%s]": a side and a link ("%d", or kAutomatic for -1)
inline constexpr const char* kStereoChannel = "%s\xc9\xf9\xb5\xc0[%s]";
// "%s声道[未映射]"
inline constexpr const char* kStereoUnmapped = "%s\xc9\xf9\xb5\xc0[\xce\xb4\xd3\xb3\xc9\xe4]";
// "声道%d[%d]": channel index and output channel number
inline constexpr const char* kPlaybackChannel = "\xc9\xf9\xb5\xc0%d[%d]";
// "声道[%d]": input channel number
inline constexpr const char* kRecordingChannel = "\xc9\xf9\xb5\xc0[%d]";
// "声道%d": an entry of the channel list
inline constexpr const char* kChannelListEntry = "\xc9\xf9\xb5\xc0%d";

// "%d-%dHz", "%d-%dBit", "%.2fms"
inline constexpr const char* kRateRange = "%d-%dHz";
inline constexpr const char* kBitsRange = "%d-%dBit";
inline constexpr const char* kDelayMilliseconds = "%.2fms";

// "当前采样率下无可用设备进行设置，请确保蓝牙音箱或外部音频设备已连接!", "提示"
inline constexpr const char* kNoDevice =
    "\xb5\xb1\xc7\xb0\xb2\xc9\xd1\xf9\xc2\xca\xcf\xc2\xce\xde\xbf\xc9\xd3\xc3\xc9\xe8\xb1\xb8\xbd\xf8\xd0\xd0\xc9\xe8"
    "\xd6\xc3\xa3\xac\xc7\xeb\xc8\xb7\xb1\xa3\xc0\xb6\xd1\xc0\xd2\xf4\xcf\xe4\xbb\xf2\xcd\xe2\xb2\xbf\xd2\xf4\xc6\xb5"
    "\xc9\xe8\xb1\xb8\xd2\xd1\xc1\xac\xbd\xd3!";
inline constexpr const char* kNoDeviceTitle = "\xcc\xe1\xca\xbe";
// "注册USB设备通知失败", "错误"
inline constexpr const char* kRegistrationFailed = "\xd7\xa2\xb2\xe1USB\xc9\xe8\xb1\xb8\xcd\xa8\xd6\xaa\xca\xa7\xb0\xdc";
inline constexpr const char* kRegistrationFailedTitle = "\xb4\xed\xce\xf3";

}  // namespace DeviceTreeTexts
