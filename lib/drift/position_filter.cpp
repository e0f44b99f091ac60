#include "position_filter.h"

#include <algorithm>
#include <cmath>
#include <numbers>

CPositionFilter::CPositionFilter(const SPositionFilterConfig& config) : m_config(config)
{
    Reset();
}

void CPositionFilter::Reset()
{
    m_haveReading = false;
    m_time = 0.0;
    m_position = 0.0;
    m_rate = m_goodRate = m_config.nominalRate;
    m_bandwidth = m_config.wideBandwidthHz;
    m_since = 0.0;
    m_steadyFor = 0.0;
    m_lastError = 0.0;
    m_sinceJump = 0;
}

void CPositionFilter::Update(double seconds, double position)
{
    if (!m_haveReading) {
        m_haveReading = true;
        m_time = seconds;
        m_position = position;
        m_sinceJump = 0;
        m_steadyFor = 0.0;
        return;
    }
    const double dt = seconds - m_time;
    if (!(dt > 0.0))
        return;
    const double predicted = m_position + m_rate * dt;
    const double error = position - predicted;
    m_lastError = error;
    if (std::fabs(error) > m_config.jumpFrames) {
        // A stalled device, a position that jumped or a reading from long
        // ago: take the position as it is, keep the rate from before the
        // disturbance and trust neither until readings agree again.
        m_position = position;
        m_time = seconds;
        m_rate = m_goodRate;
        m_sinceJump = 0;
        m_bandwidth = m_config.wideBandwidthHz;
        m_since = 0.0;
        m_steadyFor = 0.0;
        ++m_discontinuities;
        return;
    }
    // Gains of a critically damped second-order loop for this interval: the
    // interval changes from reading to reading (late wake-ups), so the
    // gains follow it instead of assuming the nominal period.
    const double omega = std::min(2.0 * std::numbers::pi * m_bandwidth * dt, 0.5);
    m_position = predicted + std::numbers::sqrt2 * omega * error;
    m_rate += omega * omega * error / dt;
    m_time = seconds;
    if (m_sinceJump < m_config.steadyUpdates)
        ++m_sinceJump;
    m_steadyFor += dt;

    if (std::fabs(error) <= m_config.agreeFrames)
        m_goodRate = m_rate;
    m_since = std::fabs(error) > 4 * m_config.agreeFrames ? 0.0 : m_since + dt;
    m_bandwidth = std::clamp(m_config.memorySeconds / std::max(m_since, 1e-9), m_config.narrowBandwidthHz,
                             m_config.wideBandwidthHz);
}
