#include "endpoint_format.h"

#include <cstdio>

SampleFormat PinSampleFormat(const EndpointFormat& format)
{
    if (format.isFloat) {
        return SampleFormat::Float32;
    }
    switch (format.bytesPerSample) {
    case 1:
        return SampleFormat::Int8;
    case 3:
        return SampleFormat::Int24;
    case 4:
        return format.validBits == 24 ? SampleFormat::Int24In32 : SampleFormat::Int32;
    default:
        return SampleFormat::Int16;
    }
}

std::string DescribeEndpointFormat(const EndpointFormat& format)
{
    char depth[32];
    const int containerBits = format.bytesPerSample * 8;
    if (format.validBits != 0 && format.validBits < containerBits) {
        std::snprintf(depth, sizeof depth, "%d-in-%d bit", static_cast<int>(format.validBits), containerBits);
    } else {
        std::snprintf(depth, sizeof depth, "%d bit", containerBits);
    }
    char text[96];
    std::snprintf(text, sizeof text, "%s %s, %d ch, %ld Hz", depth, format.isFloat ? "float" : "integer",
                  static_cast<int>(format.pinChannels), static_cast<long>(format.sampleRate));
    return text;
}
