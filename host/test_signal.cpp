#include "test_signal.h"

#include <cmath>

bool TestSignal::Parse(const std::string& name, Kind& kind)
{
    if (name == "sine") {
        kind = Kind::Sine;
    } else if (name == "ramp") {
        kind = Kind::Ramp;
    } else if (name == "clicks") {
        kind = Kind::Clicks;
    } else if (name == "silence") {
        kind = Kind::Silence;
    } else {
        return false;
    }
    return true;
}

TestSignal::TestSignal(Kind kind, double frequency, double sampleRate)
    : m_kind(kind),
      m_phaseStep(2.0 * 3.14159265358979323846 * frequency / sampleRate),
      m_clickPeriod(frequency > 0 ? static_cast<uint32_t>(sampleRate / frequency) : 1)
{
    if (m_clickPeriod == 0) {
        m_clickPeriod = 1;
    }
}

int16_t TestSignal::Next()
{
    const uint32_t frame = m_frame++;
    switch (m_kind) {
    case Kind::Sine: {
        const double value = std::sin(m_phase) * 16383.0;
        m_phase += m_phaseStep;
        return static_cast<int16_t>(value);
    }
    case Kind::Ramp:
        return static_cast<int16_t>(frame & 0x7fff);
    case Kind::Clicks:
        // A click at frame 0, then one per period.
        return frame % m_clickPeriod == 0 ? static_cast<int16_t>(32767) : static_cast<int16_t>(0);
    default:
        return 0;
    }
}
