#pragma once

#include <cstdint>
#include <string>

// The test signals telvara-host plays: one sample per call, per frame.
class TestSignal {
public:
    enum class Kind { Sine, Ramp, Clicks, Silence };

    // False for an unknown name.
    static bool Parse(const std::string& name, Kind& kind);

    TestSignal(Kind kind, double frequency, double sampleRate);
    // The sample of the next frame.
    int16_t Next();

private:
    Kind m_kind;
    double m_phaseStep;
    double m_phase = 0;
    uint32_t m_frame = 0;
    uint32_t m_clickPeriod;
};
