#pragma once

#include <cstdint>

// The samples the end-to-end hosts write into their output buffers, known to
// the tests that check what the devices played. Never zero, so that silence
// from a delay line stands out; the buffers differ in sign or pace (buffer 0
// rises, the others fall 7, 13, 19 ... steps a frame).
namespace e2e {

inline int16_t StreamSample(int buffer, long frame)
{
    return buffer == 0 ? static_cast<int16_t>(1 + frame % 32000)
                       : static_cast<int16_t>(-(1 + (frame * (6 * buffer + 1)) % 32000));
}

// The two buffers of the C host: clicks on a small ramp, and a falling ramp.
inline int16_t CHostSample(int buffer, long frame)
{
    if (buffer == 0) {
        return frame % 441 == 0 ? static_cast<int16_t>(32767) : static_cast<int16_t>(frame % 256);
    }
    return static_cast<int16_t>(-1 - frame % 509);
}

// The trace lines a streaming host waits for before it finishes: the control
// thread took up the new volume, or the new output delay (GBK text).
inline constexpr const char* kVolumeTracePrefix = "[TELVARA]ASIO Ctrol VOLUME ";
inline constexpr const char* kOutputDelayTrace =
    "[TELVARA]\xbd\xd3\xca\xd5\xb5\xbd\xb8\xc4\xb1\xe4\xca\xe4\xb3\xf6\xd1\xd3\xb3\xd9\xca\xc2\xbc\xfe";

// Exit codes of e2e_helper.
enum HelperExit : int {
    kHelperOk = 0,
    kHelperUsage = 2,
    kHelperNoDriver = 3,
    kHelperDriverFailed = 4,
    kHelperTimedOut = 6,
    kHelperChainedOn = 0x600D,       // crash: the filter installed first saw the fault
    kHelperUnexpectedFault = 0x0BAD,  // crash: it saw something else
};

}  // namespace e2e
