#include "variable_resampler.h"

#include <samplerate.h>

#include <algorithm>
#include <cmath>
#include <cstring>
#include <stdexcept>

namespace {
int ConverterOf(EResamplerQuality quality)
{
    switch (quality) {
    case EResamplerQuality::Fastest: return SRC_SINC_FASTEST;
    case EResamplerQuality::Medium: return SRC_SINC_MEDIUM_QUALITY;
    case EResamplerQuality::Best: return SRC_SINC_BEST_QUALITY;
    }
    return SRC_SINC_FASTEST;
}
constexpr float kToFloat = 1.0f / 2147483648.0f;
}  // namespace

const char* ResamplerQualityName(EResamplerQuality quality)
{
    switch (quality) {
    case EResamplerQuality::Fastest: return "sinc-fastest";
    case EResamplerQuality::Medium: return "sinc-medium";
    case EResamplerQuality::Best: return "sinc-best";
    }
    return "?";
}

CVariableResampler::CVariableResampler(int channels, int32_t maxInputFrames, EResamplerQuality quality,
                                       double maxDeviation, double nominal)
    : m_channels(channels), m_maxInput(maxInputFrames), m_maxDeviation(maxDeviation), m_nominal(nominal),
      m_ratio(nominal)
{
    if (channels < 1 || maxInputFrames < 1 || !(maxDeviation > 0.0 && maxDeviation < 0.5) ||
        !(nominal >= 0.125 && nominal <= 8.0))
        throw std::runtime_error("resampler: bad channel count, block size or ratio range");
    // At the highest ratio a block gives out ratio * frames, plus one frame
    // of rounding and a few the converter may still owe from the block
    // before (it gives a frame out as soon as its whole filter is in).
    m_maxOutput = static_cast<int32_t>(std::ceil(maxInputFrames * nominal * (1.0 + maxDeviation))) + 8;
    int error = 0;
    m_pState = src_new(ConverterOf(quality), channels, &error);
    if (!m_pState)
        throw std::runtime_error(src_strerror(error));
    m_in.resize(static_cast<size_t>(maxInputFrames) * channels);
    m_out.resize(static_cast<size_t>(m_maxOutput) * channels);
}

CVariableResampler::~CVariableResampler()
{
    src_delete(m_pState);
}

void CVariableResampler::SetRatio(double ratio)
{
    m_ratio = std::clamp(ratio, m_nominal * (1.0 - m_maxDeviation), m_nominal * (1.0 + m_maxDeviation));
}

void CVariableResampler::Reset()
{
    src_reset(m_pState);
    m_held = 0.0;
    m_taken = 0;
}

int32_t CVariableResampler::Process(const int32_t* in, int32_t frames, int32_t* out)
{
    if (frames < 0 || frames > m_maxInput)
        return -1;
    const size_t samples = static_cast<size_t>(frames) * m_channels;
    if (m_bypass) {
        std::memcpy(out, in, samples * sizeof(int32_t));
        m_taken += frames;
        return frames;
    }
    for (size_t i = 0; i < samples; ++i)
        m_in[i] = static_cast<float>(in[i]) * kToFloat;

    // The ratio is set on the state first, so that libsamplerate does not
    // ramp from the previous block's ratio over this one: with one ratio per
    // block every output frame lies exactly 1/ratio input frames after the
    // one before, which Delay() counts on.
    if (src_set_ratio(m_pState, m_ratio) != 0) {
        Reset();
        return -1;
    }
    SRC_DATA data{};
    data.data_in = m_in.data();
    data.input_frames = frames;
    data.data_out = m_out.data();
    data.output_frames = m_maxOutput;
    data.src_ratio = m_ratio;
    data.end_of_input = 0;
    if (src_process(m_pState, &data) != 0 || data.input_frames_used != frames) {
        Reset();
        return -1;
    }
    const int32_t given = static_cast<int32_t>(data.output_frames_gen);
    m_taken += frames;
    m_held += frames - given / m_ratio;

    const size_t outSamples = static_cast<size_t>(given) * m_channels;
    for (size_t i = 0; i < outSamples; ++i) {
        // float carries 24 bits: scaled back, rounded and kept within int32.
        const double v = std::nearbyint(static_cast<double>(m_out[i]) * 2147483648.0);
        out[i] = static_cast<int32_t>(std::clamp(v, -2147483648.0, 2147483647.0));
    }
    return given;
}
