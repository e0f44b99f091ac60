#include "drift_controller.h"
#include "loop_model.h"
#include "master_choice.h"
#include "variable_resampler.h"

#include <gtest/gtest.h>

#include <cmath>
#include <numbers>
#include <random>
#include <vector>

namespace {

TEST(VariableResampler, BypassPassesFramesBitForBit)
{
    CVariableResampler res(2, 64, EResamplerQuality::Medium);
    res.SetRatio(1.0009);
    res.SetBypass(true);
    std::mt19937 random(7);
    std::vector<int32_t> in(128), out(static_cast<size_t>(res.MaxOutputFrames()) * 2, 0x5a5a5a5a);
    for (int block = 0; block < 50; ++block) {
        for (int32_t& s : in)
            s = static_cast<int32_t>(random());
        in[0] = INT32_MIN;
        in[1] = INT32_MAX;
        ASSERT_EQ(res.Process(in.data(), 64, out.data()), 64);
        ASSERT_TRUE(std::equal(in.begin(), in.end(), out.begin())) << "block " << block;
        ASSERT_EQ(res.Delay(), 0.0);
    }
}

// The frames given out lie where Delay() says: each output frame matches
// the ideal sine at its reported input time, while the ratio changes from
// block to block as under control, and the count of frames given out
// follows the ratio.
TEST(VariableResampler, OutputFramesLieAtTheirReportedInputTimes)
{
    CVariableResampler res(1, 64, EResamplerQuality::Medium);
    const double w = 2.0 * std::numbers::pi * 1000.0 / 48000.0;
    const double amplitude = 1e9;
    std::vector<int32_t> in(64), out(static_cast<size_t>(res.MaxOutputFrames()));
    double signal = 0, error = 0, expectedOut = 0;
    int64_t given = 0;
    for (int block = 0; block < 3000; ++block) {
        const double ratio = 1.0 + 400e-6 * std::sin(block / 300.0);
        res.SetRatio(ratio);
        for (int i = 0; i < 64; ++i)
            in[static_cast<size_t>(i)] = static_cast<int32_t>(std::lround(amplitude * std::sin(w * (block * 64 + i))));
        const double first = res.NextOutputInputTime();
        const int32_t n = res.Process(in.data(), 64, out.data());
        ASSERT_GE(n, 0);
        given += n;
        expectedOut += 64 * ratio;
        for (int32_t k = 0; block > 100 && k < n; ++k) {
            const double ideal = amplitude * std::sin(w * (first + k / ratio));
            signal += ideal * ideal;
            error += (out[static_cast<size_t>(k)] - ideal) * (out[static_cast<size_t>(k)] - ideal);
        }
        ASSERT_NEAR(res.NextOutputInputTime() + res.Delay(), (block + 1) * 64.0, 1e-6);
    }
    EXPECT_GT(10.0 * std::log10(signal / error), 110.0);
    // What is not yet given out is the converter's delay, turned into output frames.
    EXPECT_NEAR(static_cast<double>(given), expectedOut - res.Delay(), 1.0);
    EXPECT_GT(res.Delay(), 30.0);
    EXPECT_LT(res.Delay(), 64.0);
}

TEST(VariableResampler, RatioIsClampedToItsRange)
{
    CVariableResampler res(1, 64, EResamplerQuality::Fastest, 0.002);
    res.SetRatio(1.5);
    EXPECT_DOUBLE_EQ(res.Ratio(), 1.002);
    res.SetRatio(0.5);
    EXPECT_DOUBLE_EQ(res.Ratio(), 0.998);
    EXPECT_THROW(CVariableResampler(0, 64, EResamplerQuality::Fastest), std::runtime_error);
    // Around the ratio of two rates (a 44.1 kHz device under a 48 kHz
    // host), where it starts; its output room follows.
    CVariableResampler own(1, 64, EResamplerQuality::Fastest, 0.002, 44100.0 / 48000.0);
    EXPECT_DOUBLE_EQ(own.Ratio(), 44100.0 / 48000.0);
    own.SetRatio(1.0);
    EXPECT_DOUBLE_EQ(own.Ratio(), 44100.0 / 48000.0 * 1.002);
    own.SetRatio(0.5);
    EXPECT_DOUBLE_EQ(own.Ratio(), 44100.0 / 48000.0 * 0.998);
    EXPECT_EQ(own.MaxOutputFrames(), static_cast<int32_t>(std::ceil(64 * 44100.0 / 48000.0 * 1.002)) + 8);
    EXPECT_THROW(CVariableResampler(1, 64, EResamplerQuality::Fastest, 0.002, 9.0), std::runtime_error);
}

TEST(VariableResampler, RefusesABlockLargerThanItsRoom)
{
    CVariableResampler res(2, 64, EResamplerQuality::Fastest);
    std::vector<int32_t> in(65 * 2), out(static_cast<size_t>(res.MaxOutputFrames()) * 2);
    EXPECT_EQ(res.Process(in.data(), 65, out.data()), -1);
    EXPECT_EQ(res.FramesTaken(), 0);
    EXPECT_GE(res.Process(in.data(), 64, out.data()), 0);
    EXPECT_EQ(res.FramesTaken(), 64);
}

// A jump still to be applied counts as done: dropping frames shortens the
// follower's path, inserting lengthens it, so the controller does not jump
// again while a jump of more than a block is spread over several cycles.
TEST(FollowerLag, CountsQueuesResamplerAndPendingJump)
{
    struct Case {
        bool capture;
        double master, device, delay, ratio, waiting, pending, target, lag;
    };
    const Case cases[] = {
        {false, 1024, 1024, 0, 1.0, 0, 0, 0, 0},
        {false, 1024, 1034.2, 20, 1.0, 0, 0, 0, 30.2},
        {false, 1024, 1004.4, 20, 1.001, 0, 0, 0, 1004.4 / 1.001 + 20 - 1024},
        {false, 1024, 2024, 0, 1.0, 0, 600, 0, 400},    // 600 frames still to drop
        {false, 1024, 1024, 0, 1.0, 0, -50, 0, 50},     // 50 still to insert
        {false, 1024, 1024, 0, 1.0, 0, 0, 48, -48},     // configured to play 48 frames later
        {true, 1024, 300, 20, 1.0, 700, 0, 2000, 44},
        {true, 1024, 300, 20, 0.999, 700, 0, 2000, 320 * 0.999 + 700 + 1024 - 2000},
        {true, 1024, 900, 20, 1.0, 700, 600, 2000, 44},  // 600 device frames still to drop
    };
    for (const Case& c : cases) {
        const double lag = c.capture
            ? CaptureFollowerLag(c.master, c.device, c.delay, c.ratio, c.waiting, c.pending, c.target)
            : RenderFollowerLag(c.master, c.device, c.delay, c.ratio, c.pending, c.target);
        EXPECT_NEAR(lag, c.lag, 1e-9) << c.capture << " " << c.device << " " << c.pending;
    }
}

TEST(MasterChoice, NamedDeviceElseFirstRenderElseFirst)
{
    const std::vector<SMasterCandidate> devices{{"Mic", false}, {"Speakers", true}, {"Headset", true}};
    struct Case {
        std::vector<SMasterCandidate> devices;
        const char* named;
        int index;
        bool found;
    };
    const Case cases[] = {
        {devices, "", 1, false},
        {devices, "Headset", 2, true},
        {devices, "Mic", 0, true},          // a capture device may be named
        {devices, "Gone", 1, false},        // a named device that is not open: the default
        {devices, "headset", 1, false},     // names match exactly
        {{{"Mic", false}, {"Line", false}}, "", 0, false},
        {{}, "Mic", -1, false},
    };
    for (const Case& c : cases) {
        const SMasterChoice choice = ChooseMaster(c.devices, c.named);
        EXPECT_EQ(choice.index, c.index) << c.named;
        EXPECT_EQ(choice.namedFound, c.found) << c.named;
    }
}

TEST(DriftController, FirstLagIsJumpedThenLoopStarts)
{
    CDriftController ctl;
    // Unsteady readings: held, no jump.
    SDriftStep step = ctl.Update(0.0, 37.4, 1.0001, false);
    EXPECT_EQ(step.jumpFrames, 0);
    EXPECT_EQ(step.ratio, 1.0);
    EXPECT_FALSE(ctl.Started());
    step = ctl.Update(0.01, -37.6, 1.0001, true);
    EXPECT_EQ(step.jumpFrames, -38);
    EXPECT_FALSE(step.resynchronised);
    EXPECT_DOUBLE_EQ(step.ratio, 1.0001);
    step = ctl.Update(0.02, 0.4, 1.0001, true);
    EXPECT_EQ(step.jumpFrames, 0);
    EXPECT_LT(step.ratio, 1.0001);  // a positive lag slows the follower's stream
    EXPECT_EQ(ctl.Resynchronisations(), 0);
}

TEST(DriftController, LeavingTheLimitsResynchronisesOnceAndRearms)
{
    SDriftControlConfig config;
    config.limitFrames = 100;
    CDriftController ctl(config);
    ctl.Update(0.0, 0.0, 1.0, true);
    double t = 0.0;
    int jumps = 0;
    for (int i = 0; i < 50; ++i) {  // out of limits for many cycles: one jump
        t += 0.01;
        const SDriftStep step = ctl.Update(t, 500.0, 1.0, true);
        jumps += step.jumpFrames != 0;
        EXPECT_LE(std::fabs(step.ratio - 1.0), 1250e-6);
    }
    EXPECT_EQ(jumps, 1);
    EXPECT_EQ(ctl.Resynchronisations(), 1);
    ctl.Update(t += 0.01, 10.0, 1.0, true);  // back within half the limits: armed again
    EXPECT_EQ(ctl.Update(t += 0.01, -300.0, 1.0, true).jumpFrames, -300);
    EXPECT_EQ(ctl.Resynchronisations(), 2);
}

TEST(DriftController, RatioNeverLeavesItsClamp)
{
    // About 1, and about the ratio of two rates (a device at its own rate).
    for (const double nominal : {1.0, 44100.0 / 48000.0}) {
        SDriftControlConfig config;
        config.nominalRatio = nominal;
        CDriftController ctl(config);
        EXPECT_DOUBLE_EQ(ctl.Ratio(), nominal);
        ctl.Update(0.0, 0.0, nominal, true);
        double t = 0.0;
        for (double lag : {-400.0, 400.0, -479.0, 479.0}) {
            for (int i = 0; i < 1000; ++i) {
                const SDriftStep step = ctl.Update(t += 0.01, lag, nominal * (lag > 0 ? 1.01 : 0.99), true);
                ASSERT_LE(std::fabs(step.ratio / nominal - 1.0), 1250e-6 + 1e-12) << nominal;
            }
        }
    }
}

// The whole loop on synthetic clocks: the real resampler, filters and
// controller against device clocks with rate errors, noise and late
// cycles; offsets measured on the model's own timeline.
struct LoopCase {
    const char* name;
    std::vector<SModelFollower> followers;
    bool noisy;
    double seconds;
    int64_t resyncs;  // expected over the whole run: a disturbed device is re-synchronised once
};

class DriftLoop : public ::testing::TestWithParam<LoopCase> {};

TEST_P(DriftLoop, LocksAndHolds)
{
    const LoopCase& c = GetParam();
    SModelScenario sc;
    sc.name = c.name;
    sc.blockFrames = 512;
    sc.seconds = c.seconds;
    sc.followers = c.followers;
    sc.positionNoise = c.noisy;
    sc.jitterSeconds = c.noisy ? 0.003 : 0.0;
    sc.quality = EResamplerQuality::Fastest;  // the loop does not depend on the filter; this is cheaper
    const SModelResult result = RunDriftModel(sc);
    ASSERT_EQ(result.followers.size(), c.followers.size());
    EXPECT_EQ(result.masterUnderrunFrames, 0);
    for (size_t i = 0; i < c.followers.size(); ++i) {
        const SModelFollowerResult& f = result.followers[i];
        SCOPED_TRACE(testing::Message() << c.name << ", follower " << i);
        EXPECT_GE(f.lockSeconds, 0.0);
        EXPECT_LT(f.lockSeconds, 15.0);
        EXPECT_LT(std::fabs(f.finalOffsetFrames), 1.0);  // re-synchronised or not, it goes on in step
        EXPECT_LE(f.worstRatioPpm, 1250.0 + 1e-6);         // never out of the clamp, whatever the device does
        EXPECT_EQ(f.resyncsTotal, c.resyncs);
        if (c.resyncs == 0) {
            EXPECT_LT(f.worstOffsetFrames, 4.8);  // 0.1 ms
            EXPECT_LE(f.ratioRmsPpm, 1.0);
            EXPECT_EQ(f.underrunFrames, 0);
            EXPECT_EQ(f.overrunFrames, 0);
        }
    }
}

INSTANTIATE_TEST_SUITE_P(
    Scenarios, DriftLoop,
    ::testing::Values(
        LoopCase{"constant -150 and +150 ppm", {{false, -150}, {false, 150}}, false, 120, 0},
        LoopCase{"-1000 and +1000 ppm with noise and late cycles", {{false, -1000}, {false, 1000}}, true, 120, 0},
        LoopCase{"rate wandering 5 ppm in 10 min", {{false, 0, 30.0}}, true, 600, 0},
        LoopCase{"capture at +100 ppm", {{true, 100}}, true, 120, 0},
        LoopCase{"stall of 2 s at 60 s", {{false, 150, 0, 60.0, 2.0}}, false, 150, 1},
        LoopCase{"position jump of 3000 frames at 60 s", {{false, -150, 0, -1, 0, 60.0, 3000.0}}, true, 150, 1}),
    [](const ::testing::TestParamInfo<LoopCase>& info) { return "case" + std::to_string(info.index); });

TEST(DriftLoopEqualClocks, RatioStaysWithinAFewPpmOfOne)
{
    SModelScenario sc;
    sc.seconds = 120;
    sc.followers = {{false, 0.0}};
    sc.positionNoise = true;
    sc.jitterSeconds = 0.003;
    sc.quality = EResamplerQuality::Fastest;
    const SModelFollowerResult f = RunDriftModel(sc).followers.at(0);
    EXPECT_GE(f.lockSeconds, 0.0);
    EXPECT_LE(f.worstRatioErrorPpm, 3.0);
    EXPECT_LE(f.ratioRmsPpm, 1.0);
    EXPECT_EQ(f.resyncsTotal, 0);
}

}  // namespace
