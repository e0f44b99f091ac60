#include "drift_controller.h"

#include <algorithm>
#include <cmath>
#include <numbers>

double RenderFollowerLag(double masterQueued, double followerQueued, double resamplerDelay, double ratio,
                         double jumpPending, double target)
{
    return resamplerDelay + followerQueued / ratio - masterQueued - jumpPending - target;
}

double CaptureFollowerLag(double masterQueued, double deviceQueued, double resamplerDelay, double ratio,
                          double resampledWaiting, double jumpPending, double targetLatency)
{
    return (deviceQueued + resamplerDelay) * ratio + resampledWaiting + masterQueued - jumpPending
           - targetLatency;
}

CDriftController::CDriftController(const SDriftControlConfig& config) : m_config(config)
{
    Reset();
}

void CDriftController::Reset()
{
    m_started = false;
    m_armed = true;
    m_lastTime = 0.0;
    m_integral = 0.0;
    m_ratio = m_config.nominalRatio;
    m_bandwidth = m_config.wideBandwidthHz;
    m_since = 0.0;
}

double CDriftController::Clamp(double ratio) const
{
    const double span = m_config.clampPpm * 1e-6;
    return std::clamp(ratio, m_config.nominalRatio * (1.0 - span), m_config.nominalRatio * (1.0 + span));
}

SDriftStep CDriftController::Update(double seconds, double lag, double feedForwardRatio, bool steady)
{
    SDriftStep step;
    if (!steady || !std::isfinite(lag) || !std::isfinite(feedForwardRatio)) {
        // Nothing to learn from readings that are not trusted: hold.
        m_lastTime = seconds;
        step.ratio = m_ratio;
        return step;
    }
    if (!m_started || (m_armed && std::fabs(lag) > m_config.limitFrames)) {
        step.jumpFrames = std::llround(lag);
        step.resynchronised = m_started;
        if (m_started) {
            ++m_resyncs;
            m_armed = false;
        }
        m_started = true;
        m_integral = 0.0;
        m_bandwidth = m_config.wideBandwidthHz;
        m_since = 0.0;
        m_lastTime = seconds;
        m_ratio = Clamp(feedForwardRatio);
        step.ratio = m_ratio;
        return step;
    }
    if (std::fabs(lag) > m_config.limitFrames) {
        // Still outside after the re-synchronisation: hold until it is back.
        m_lastTime = seconds;
        step.ratio = m_ratio;
        return step;
    }
    if (std::fabs(lag) < m_config.limitFrames / 2)
        m_armed = true;

    const double dt = std::max(0.0, seconds - m_lastTime);
    m_lastTime = seconds;
    m_since = std::fabs(lag) > 4 * m_config.agreeFrames ? 0.0 : m_since + dt;
    m_bandwidth = std::clamp(m_config.memorySeconds / std::max(m_since, 1e-9), m_config.narrowBandwidthHz,
                             m_config.wideBandwidthHz);

    // A lag of e frames moves at (ratio - true ratio) * rate frames a
    // second; a critically damped loop of natural frequency w takes the
    // proportional gain 2w/rate and the integral gain w^2/rate.
    const double omega = 2.0 * std::numbers::pi * m_bandwidth;
    const double kp = 2.0 * omega / m_config.sampleRate;
    const double ki = omega * omega / m_config.sampleRate;
    const double integral = m_integral - ki * lag * dt;
    const double wanted = feedForwardRatio + integral - kp * lag;
    m_ratio = Clamp(wanted);
    // No wind-up against the clamp.
    if (m_ratio == wanted)
        m_integral = integral;
    step.ratio = m_ratio;
    return step;
}
