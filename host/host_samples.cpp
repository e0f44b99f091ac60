#include "host_samples.h"

#include <algorithm>
#include <cmath>
#include <cstring>

bool IsSupportedType(ASIOSampleType type)
{
    return type == ASIOSTInt16LSB || type == ASIOSTInt24LSB || type == ASIOSTInt32LSB || type == ASIOSTFloat32LSB;
}

void PutSample(void* half, long frame, ASIOSampleType type, int16_t sample)
{
    auto* bytes = static_cast<uint8_t*>(half);
    switch (type) {
    case ASIOSTInt24LSB: {
        const auto value = static_cast<uint32_t>(static_cast<int32_t>(sample) * 256);
        uint8_t* at = bytes + frame * 3;
        at[0] = static_cast<uint8_t>(value);
        at[1] = static_cast<uint8_t>(value >> 8);
        at[2] = static_cast<uint8_t>(value >> 16);
        break;
    }
    case ASIOSTInt32LSB: {
        const auto value = static_cast<int32_t>(static_cast<uint32_t>(static_cast<uint16_t>(sample)) << 16);
        std::memcpy(bytes + frame * 4, &value, 4);
        break;
    }
    case ASIOSTFloat32LSB: {
        const float value = static_cast<float>(sample) / 32768.0f;
        std::memcpy(bytes + frame * 4, &value, 4);
        break;
    }
    default:
        std::memcpy(bytes + frame * 2, &sample, 2);
        break;
    }
}

int16_t GetSample(const void* half, long frame, ASIOSampleType type)
{
    const auto* bytes = static_cast<const uint8_t*>(half);
    double scaled = 0.0;  // in steps of 16 bits
    switch (type) {
    case ASIOSTInt24LSB: {
        const uint8_t* at = bytes + frame * 3;
        const auto value = static_cast<int32_t>((static_cast<uint32_t>(at[0]) << 8) | (static_cast<uint32_t>(at[1]) << 16) |
                                                (static_cast<uint32_t>(at[2]) << 24));
        scaled = value / 65536.0;
        break;
    }
    case ASIOSTInt32LSB: {
        int32_t value;
        std::memcpy(&value, bytes + frame * 4, 4);
        scaled = value / 65536.0;
        break;
    }
    case ASIOSTFloat32LSB: {
        float value;
        std::memcpy(&value, bytes + frame * 4, 4);
        scaled = std::isnan(value) ? 0.0 : static_cast<double>(value) * 32768.0;
        break;
    }
    default: {
        int16_t value;
        std::memcpy(&value, bytes + frame * 2, 2);
        return value;
    }
    }
    return static_cast<int16_t>(std::clamp(std::floor(scaled + 0.5), -32768.0, 32767.0));
}
