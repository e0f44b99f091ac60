#pragma once

#include <cstddef>

// Texts of the driver that users and hosts see, in code page 936.
namespace DriverTexts {
// "无法打开输入/输出端口,ASIO 声卡初始化失败!"
inline constexpr const char* kCannotOpenPorts =
    "\xce\xde\xb7\xa8\xb4\xf2\xbf\xaa\xca\xe4\xc8\xeb/\xca\xe4\xb3\xf6\xb6\xcb\xbf\xda,ASIO \xc9\xf9\xbf\xa8\xb3\xf5"
    "\xca\xbc\xbb\xaf\xca\xa7\xb0\xdc!";
// "未找到音频设备。可能的原因：1.未配置音频设备,请在控制面板选择! 2.多个播放器同时指定了TELVARA作为输出设备,只能一个实例运行!"
// (123 bytes with its NUL: it fits the host's 124-byte error field whole)
inline constexpr const char* kNoAudioDevice =
    "\xce\xb4\xd5\xd2\xb5\xbd\xd2\xf4\xc6\xb5\xc9\xe8\xb1\xb8\xa1\xa3\xbf\xc9\xc4\xdc\xb5\xc4\xd4\xad\xd2\xf2\xa3\xba"
    "1.\xce\xb4\xc5\xe4\xd6\xc3\xd2\xf4\xc6\xb5\xc9\xe8\xb1\xb8,\xc7\xeb\xd4\xda\xbf\xd8\xd6\xc6\xc3\xe6\xb0\xe5"
    "\xd1\xa1\xd4\xf1! 2.\xb6\xe0\xb8\xf6\xb2\xa5\xb7\xc5\xc6\xf7\xcd\xac\xca\xb1\xd6\xb8\xb6\xa8\xc1\xcb"
    "TELVARA\xd7\xf7\xce\xaa\xca\xe4\xb3\xf6\xc9\xe8\xb1\xb8,\xd6\xbb\xc4\xdc\xd2\xbb\xb8\xf6\xca\xb5\xc0\xfd"
    "\xd4\xcb\xd0\xd0!";

// "另一个TELVARA驱动实例正在运行,只能一个实例运行!"
inline constexpr const char* kAlreadyStreaming = "\xc1\xed\xd2\xbb\xb8\xf6" "TELVARA" "\xc7\xfd\xb6\xaf\xca\xb5\xc0\xfd\xd5\xfd\xd4\xda\xd4\xcb\xd0\xd0,\xd6\xbb\xc4\xdc\xd2\xbb\xb8\xf6\xca\xb5\xc0\xfd\xd4\xcb\xd0\xd0!";

// What getErrorMessage says of the configured devices an init left out:
// "未打开的设备:" and each as "name(reason)", separated by ";", the ones
// that did not fit counted by ";另有%d个".
inline constexpr const char* kLeftOutLead = "\xce\xb4\xb4\xf2\xbf\xaa\xb5\xc4\xc9\xe8\xb1\xb8:";
inline constexpr const char* kMoreLeftOut = ";\xc1\xed\xd3\xd0%d\xb8\xf6";
// "被其他程序占用": every pin instance is taken, another program uses the device
inline constexpr const char* kReasonBusy = "\xb1\xbb\xc6\xe4\xcb\xfb\xb3\xcc\xd0\xf2\xd5\xbc\xd3\xc3";
// "不支持此采样率", "不支持此格式"
inline constexpr const char* kReasonRate = "\xb2\xbb\xd6\xa7\xb3\xd6\xb4\xcb\xb2\xc9\xd1\xf9\xc2\xca";
inline constexpr const char* kReasonFormat = "\xb2\xbb\xd6\xa7\xb3\xd6\xb4\xcb\xb8\xf1\xca\xbd";
// "未找到", "无法使用"
inline constexpr const char* kReasonGone = "\xce\xb4\xd5\xd2\xb5\xbd";
inline constexpr const char* kReasonUnusable = "\xce\xde\xb7\xa8\xca\xb9\xd3\xc3";

// The host's error field (ASIODriverInfo.errorMessage) holds this many
// bytes with the terminating NUL.
inline constexpr size_t kErrorMessageBytes = 124;

// Copies text into a field of `capacity` bytes, NUL included, cut before a
// GBK character that would not fit whole (a lead byte 0x81..0xFE takes the
// byte after it along).
inline void CopyWholeGbk(char* field, size_t capacity, const char* text)
{
    if (!field || capacity == 0) {
        return;
    }
    size_t at = 0;
    while (text && text[at] != '\0') {
        const auto lead = static_cast<unsigned char>(text[at]);
        const size_t width = lead >= 0x81 && lead <= 0xFE && text[at + 1] != '\0' ? 2 : 1;
        if (at + width + 1 > capacity) {
            break;
        }
        for (size_t i = 0; i < width; ++i) {
            field[at + i] = text[at + i];
        }
        at += width;
    }
    field[at] = '\0';
}
}  // namespace DriverTexts
