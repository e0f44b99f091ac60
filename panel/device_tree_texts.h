#pragma once

// Texts of the device tree and of the panel's messages, code page 936 (GBK)
// bytes like every text the panel shows.
namespace DeviceTreeTexts {

// "自动分配": entry 0 of the channel list, and a -1 link in an item text.
inline constexpr const char* kAutomatic = "\xd7\xd4\xb6\xaf\xb7\xd6\xc5\xe4";
// "声道配置": the device pane's caption while no device is highlighted
inline constexpr const char* kChannelGroup = "\xc9\xf9\xb5\xc0\xc5\xe4\xd6\xc3";
// "播放", "录音"
inline constexpr const char* kPlaybackGroup = "\xb2\xa5\xb7\xc5";
inline constexpr const char* kRecordingGroup = "\xc2\xbc\xd2\xf4";
// "左", "右"
inline constexpr const char* kLeft = "\xd7\xf3";
inline constexpr const char* kRight = "\xd3\xd2";
// "未映射": a link that leaves the channel silent (-2, or any other negative
// link but -1)
inline constexpr const char* kNotMapped = "\xce\xb4\xd3\xb3\xc9\xe4";
// "%d(无此声道)": a link to an output channel the ticked devices do not make
inline constexpr const char* kMissingOutput = "%d(\xce\xde\xb4\xcb\xc9\xf9\xb5\xc0)";
// "%s声道[%s]": a side and the text of the channel's link
inline constexpr const char* kStereoChannel = "%s\xc9\xf9\xb5\xc0[%s]";
// "声道%d[%s]": channel index and the text of the channel's link
inline constexpr const char* kPlaybackChannel = "\xc9\xf9\xb5\xc0%d[%s]";
// "声道[%d]": input channel number
inline constexpr const char* kRecordingChannel = "\xc9\xf9\xb5\xc0[%d]";
// "声道%d": an entry of the channel list
inline constexpr const char* kChannelListEntry = "\xc9\xf9\xb5\xc0%d";

// "声道链接的输出声道%d不存在，此声道静音，请在列表中重新选择"
inline constexpr const char* kMissingOutputNotice =
    "\xc9\xf9\xb5\xc0\xc1\xb4\xbd\xd3\xb5\xc4\xca\xe4\xb3\xf6\xc9\xf9\xb5\xc0%d\xb2\xbb\xb4\xe6\xd4\xda\xa3\xac\xb4\xcb"
    "\xc9\xf9\xb5\xc0\xbe\xb2\xd2\xf4\xa3\xac\xc7\xeb\xd4\xda\xc1\xd0\xb1\xed\xd6\xd0\xd6\xd8\xd0\xc2\xd1\xa1\xd4\xf1";
// "勾选此设备的播放后即可设置输出延迟"
inline constexpr const char* kDelayNeedsTickNotice =
    "\xb9\xb4\xd1\xa1\xb4\xcb\xc9\xe8\xb1\xb8\xb5\xc4\xb2\xa5\xb7\xc5\xba\xf3\xbc\xb4\xbf\xc9\xc9\xe8\xd6\xc3"
    "\xca\xe4\xb3\xf6\xd1\xd3\xb3\xd9";
// "请勾选要使用的声音设备：播放设备勾选“播放”，录音设备勾选“录音”": what to do
// first, while no device is ticked
inline constexpr const char* kTickDevicesHint =
    "\xc7\xeb\xb9\xb4\xd1\xa1\xd2\xaa\xca\xb9\xd3\xc3\xb5\xc4\xc9\xf9\xd2\xf4\xc9\xe8\xb1\xb8\xa3\xba\xb2\xa5"
    "\xb7\xc5\xc9\xe8\xb1\xb8\xb9\xb4\xd1\xa1\xa1\xb0\xb2\xa5\xb7\xc5\xa1\xb1\xa3\xac\xc2\xbc\xd2\xf4\xc9\xe8"
    "\xb1\xb8\xb9\xb4\xd1\xa1\xa1\xb0\xc2\xbc\xd2\xf4\xa1\xb1";

// "(被占用)": after a device, and its direction, whose pin instances
// another program holds (the scan found every one taken)
inline constexpr const char* kInUse = "(\xb1\xbb\xd5\xbc\xd3\xc3)";
// "(主时钟)": after the device whose clock the others follow
inline constexpr const char* kClockMaster = "(\xd6\xf7\xca\xb1\xd6\xd3)";

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
