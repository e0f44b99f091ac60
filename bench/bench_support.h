#pragma once

// Pieces the benchmark programs share.

#include "asio.h"

#include <windows.h>

#include <string>

namespace BenchSupport {

// Seconds of the performance counter.
inline double Seconds()
{
    static const double frequency = [] {
        LARGE_INTEGER f;
        QueryPerformanceFrequency(&f);
        return static_cast<double>(f.QuadPart);
    }();
    LARGE_INTEGER now;
    QueryPerformanceCounter(&now);
    return static_cast<double>(now.QuadPart) / frequency;
}

// The host's answer to the driver's messages for a benchmark that asks for
// nothing but the time info: it takes resets and time info, and answers 1 to
// the time-info question.
inline long AsioMessage(long selector, long value, void*, double*)
{
    if (selector == kAsioSelectorSupported) {
        return value == kAsioResetRequest || value == kAsioSupportsTimeInfo;
    }
    return selector == kAsioSupportsTimeInfo ? 1 : 0;
}

// config.ini for render devices "A", "B", ... each linked to the host's
// outputs 0 and 1, and the capture device "Mic"; `extra` goes into
// [default] as it stands (whole lines).
inline std::string SpeakersAndMicSettings(int renderDevices, int sampleRate, long frames, const std::string& extra = "")
{
    std::string text = "[default]\nout=";
    for (int i = 0; i < renderDevices; ++i) {
        text.append(i ? ";" : "").append(1, static_cast<char>('A' + i));
    }
    text.append("\nin=Mic\nSampleRate=").append(std::to_string(sampleRate));
    text.append("\nBlockFrames=").append(std::to_string(frames)).append("\n").append(extra);
    for (int i = 0; i < renderDevices; ++i) {
        text.append("[").append(1, static_cast<char>('A' + i)).append("]\noutMaximumChannels=2\noutChannelLink=0;1\n");
    }
    return text + "[Mic]\ninMaximumChannels=2\n";
}

}  // namespace BenchSupport
