#pragma once

#include <cstdint>
#include <vector>

struct SRC_STATE_tag;

// The converter settings the variable resampler can run with, from cheapest
// to best (libsamplerate's sinc converters).
enum class EResamplerQuality { Fastest, Medium, Best };
const char* ResamplerQualityName(EResamplerQuality quality);

// One device's variable-ratio resampler over the engine's interleaved int32
// frames (full scale). The ratio is output frames per input frame and may
// change before every block; it is held constant within a block, so the
// frames' input times are known exactly and Delay() is exact.
//
// Everything is allocated by the constructor; Process never allocates. In
// bypass the frames go through untouched (bit for bit, one frame out per
// frame in) and the converter's state is left alone.
//
// One thread uses it (the engine's).
class CVariableResampler {
public:
    // Room for blocks of up to maxInputFrames; the ratio stays within
    // nominal * [1 - maxDeviation, 1 + maxDeviation] and starts at nominal
    // (a device at another rate than the host's: its rate over the host's,
    // or the other way round). Throws std::runtime_error with
    // libsamplerate's text when the converter cannot be made.
    CVariableResampler(int channels, int32_t maxInputFrames, EResamplerQuality quality,
                       double maxDeviation = 0.01, double nominal = 1.0);
    ~CVariableResampler();
    CVariableResampler(const CVariableResampler&) = delete;
    CVariableResampler& operator=(const CVariableResampler&) = delete;

    int Channels() const { return m_channels; }
    int32_t MaxInputFrames() const { return m_maxInput; }
    // The most frames one Process call can give out: the output buffer's
    // required size, in frames.
    int32_t MaxOutputFrames() const { return m_maxOutput; }

    // A ratio outside the allowed deviation is clamped to it.
    void SetRatio(double ratio);
    double Ratio() const { return m_ratio; }

    void SetBypass(bool bypass) { m_bypass = bypass; }
    bool Bypass() const { return m_bypass; }

    // Converts `frames` input frames (at most MaxInputFrames) into `out`
    // (room for MaxOutputFrames) and returns the frames given out. Every
    // input frame is taken. -1 on a converter error (nothing is given out;
    // the state is reset); -1 also for a block larger than MaxInputFrames
    // (nothing taken).
    int32_t Process(const int32_t* in, int32_t frames, int32_t* out);

    // The input frames the converter holds: frames taken minus the input
    // time of the next frame it will give out (fractional). Zero in bypass.
    double Delay() const { return m_bypass ? 0.0 : m_held; }
    // The input time of the next output frame, counted in input frames from
    // the first frame taken since construction or Reset (fractional).
    double NextOutputInputTime() const { return static_cast<double>(m_taken) - Delay(); }
    int64_t FramesTaken() const { return m_taken; }

    // Forgets all history: the next frame given out is the next frame taken.
    void Reset();

private:
    int m_channels;
    int32_t m_maxInput;
    int32_t m_maxOutput;
    double m_maxDeviation;
    double m_nominal;
    SRC_STATE_tag* m_pState = nullptr;
    std::vector<float> m_in;
    std::vector<float> m_out;
    double m_ratio = 1.0;
    bool m_bypass = false;
    double m_held = 0.0;  // input frames taken but not yet given out, by input time
    int64_t m_taken = 0;
};
