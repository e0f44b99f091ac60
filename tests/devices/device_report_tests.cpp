// What the device set tells of every configured device after an open: open
// with its format, or why not, as the driver passes it on to the host.

#include "device_test_support.h"

#include "pin_instances.h"

namespace {

using DeviceReportTest = DeviceSetTest;

kssim::DeviceModel WithRates(kssim::DeviceModel model, ULONG lowest, ULONG highest)
{
    model.pins[0].ranges[0].minimumSampleFrequency = lowest;
    model.pins[0].ranges[0].maximumSampleFrequency = highest;
    return model;
}

}  // namespace

TEST_F(DeviceReportTest, EveryConfiguredDeviceIsOpenOrNamesWhyNot)
{
    // One device per way a device can fail to open; the others still open.
    kssim::DeviceModel refusing = SimRender("Refusing");
    refusing.pins[0].refusesEveryFormat = true;
    kssim::DeviceModel globalLimit = SimRender("Global limit");
    globalLimit.pins[0].instances = {4, 0};
    globalLimit.pins[0].globalInstances = {2, 2};
    // "Slow" takes no rate the resampler reaches from 44100 Hz; "Low" and
    // "Low mic" take 22050 Hz at most and run there, resampled.
    Sim().Reset({SimRender("Free"), SimRender("Held"), globalLimit, WithRates(SimRender("Slow"), 1000, 4000),
                 WithRates(SimRender("Low"), 8000, 22050), refusing, SimRender("Huge"), SimCapture("Mic"),
                 SimCapture("Taken mic"), WithRates(SimCapture("Low mic"), 8000, 22050)});
    Sim().HoldInstances(RenderPath("Held"), -1);
    Sim().HoldInstances(CapturePath("Taken mic"), -1);
    WriteConfig(ConfigText()
                    .Out("Free", 2)
                    .Out("Held", 2)
                    .Out("Global limit", 2)
                    .Out("Slow", 2)
                    .Out("Low", 2)
                    .Out("Refusing", 2)
                    .Out("Unplugged", 2)
                    .Out("Huge", 70000)
                    .In("Mic", 2)
                    .In("Taken mic", 2)
                    .In("Low mic", 2)
                    .In("Gone mic", 2));
    CDeviceSet& set = MakeSet();
    EXPECT_TRUE(set.OpenRender(RenderRequest(44100.0)));
    EXPECT_TRUE(set.OpenCapture(CaptureRequest(44100.0)));
    ASSERT_EQ(set.Render().size(), 2u);
    EXPECT_EQ(Render(0).Name(), "Free");
    EXPECT_EQ(Render(1).Name(), "Low");
    EXPECT_FALSE(Render(0).ConvertsRate());
    EXPECT_TRUE(Render(1).ConvertsRate());
    EXPECT_EQ(Render(1).Format().sampleRate, 22050);
    EXPECT_DOUBLE_EQ(Render(1).RateRatio(), 0.5);
    ASSERT_EQ(set.Capture().size(), 2u);
    EXPECT_EQ(Capture(0).Name(), "Low mic");
    EXPECT_EQ(Capture(1).Name(), "Mic");
    EXPECT_EQ(Capture(0).Format().sampleRate, 22050);
    EXPECT_EQ(Capture(0).HostRate(), 44100);

    struct Expected {
        const char* name;
        StreamDirection direction;
        DeviceOutcome outcome;
    };
    // The "out" list, then the "in" list, each in name order.
    const Expected expected[] = {
        {"Free", StreamDirection::Render, DeviceOutcome::Open},
        {"Global limit", StreamDirection::Render, DeviceOutcome::Busy},
        {"Held", StreamDirection::Render, DeviceOutcome::Busy},
        {"Huge", StreamDirection::Render, DeviceOutcome::Unusable},
        {"Low", StreamDirection::Render, DeviceOutcome::Open},
        {"Refusing", StreamDirection::Render, DeviceOutcome::FormatRefused},
        {"Slow", StreamDirection::Render, DeviceOutcome::RateRefused},
        {"Unplugged", StreamDirection::Render, DeviceOutcome::Gone},
        {"Gone mic", StreamDirection::Capture, DeviceOutcome::Gone},
        {"Low mic", StreamDirection::Capture, DeviceOutcome::Open},
        {"Mic", StreamDirection::Capture, DeviceOutcome::Open},
        {"Taken mic", StreamDirection::Capture, DeviceOutcome::Busy},
    };
    const std::vector<DeviceOpenReport> reports = set.Reports();
    ASSERT_EQ(reports.size(), std::size(expected));
    for (size_t i = 0; i < reports.size(); ++i) {
        EXPECT_EQ(reports[i].name, expected[i].name) << i;
        EXPECT_EQ(reports[i].direction, expected[i].direction) << expected[i].name;
        EXPECT_EQ(reports[i].outcome, expected[i].outcome) << expected[i].name;
    }
    EXPECT_EQ(OpenReportText(reports),
              "out  Free: open, 16 bit integer, 2 ch, 44100 Hz\n"
              "out  Global limit: in use by another program\n"
              "out  Held: in use by another program\n"
              "out  Huge: cannot stream here\n"
              "out  Low: open, 16 bit integer, 2 ch, 22050 Hz, resampled from the host's 44100 Hz\n"
              "out  Refusing: refused the sample format\n"
              "out  Slow: does not take 44100 Hz\n"
              "out  Unplugged: not found\n"
              "in   Gone mic: not found\n"
              "in   Low mic: open, 16 bit integer, 2 ch, 22050 Hz, resampled from the host's 44100 Hz\n"
              "in   Mic: open, 16 bit integer, 2 ch, 44100 Hz\n"
              "in   Taken mic: in use by another program\n");
    // Nothing of a refused device stays open.
    for (const char* name : {"Held", "Global limit", "Slow", "Refusing", "Huge"}) {
        EXPECT_EQ(Sim().OpenPinInstances(RenderPath(name), 0), 0) << name;
    }
    EXPECT_EQ(Sim().OpenPinInstances(CapturePath("Taken mic"), 0), 0);

    set.CloseRender();
    set.CloseCapture();
    EXPECT_TRUE(set.Reports().empty()) << "closed devices report nothing";
}

TEST_F(DeviceReportTest, ADeviceTheOtherProgramLetsGoOfOpensAtTheNextOpen)
{
    Sim().Reset({SimRender("A"), SimRender("B")});
    WriteConfig(ConfigText().Out("A", 2).Out("B", 2));
    Sim().HoldInstances(RenderPath("B"), -1);
    CDeviceSet& set = MakeSet();
    ASSERT_TRUE(set.OpenRender(RenderRequest()));
    ASSERT_EQ(set.Render().size(), 1u);
    EXPECT_EQ(set.Reports().at(1).outcome, DeviceOutcome::Busy);
    // The scan saw it taken as well, for the panel.
    EXPECT_TRUE(set.Catalogue().Devices().at("B").render.allInstancesTaken);
    EXPECT_FALSE(set.Catalogue().Devices().at("A").render.allInstancesTaken);

    Sim().ReleaseInstances(RenderPath("B"), -1);
    ASSERT_TRUE(set.OpenRender(RenderRequest()));
    ASSERT_EQ(set.Render().size(), 2u);
    EXPECT_EQ(Render(1).Name(), "B");
    EXPECT_EQ(set.Reports().at(1).outcome, DeviceOutcome::Open);
    EXPECT_FALSE(set.Catalogue().Devices().at("B").render.allInstancesTaken);
    // Our own open pin is counted too: a rescan now sees A taken.
    CDeviceCatalogue catalogue;
    catalogue.ScanRenderDevices();
    EXPECT_TRUE(catalogue.Devices().at("A").render.allInstancesTaken);
}

TEST_F(DeviceReportTest, HighRatesAreTakenOnlyWhenEveryOpenDeviceTakesThem)
{
    kssim::DeviceModel twoRanges = SimRender("Two ranges");
    kssim::AudioRange high = twoRanges.pins[0].ranges[0];
    twoRanges.pins[0].ranges[0].maximumSampleFrequency = 48000;
    high.minimumSampleFrequency = 176400;
    high.maximumSampleFrequency = 176400;
    twoRanges.pins[0].ranges.push_back(high);
    Sim().Reset({WithRates(SimRender("To 48k"), 8000, 48000), WithRates(SimRender("To 96k"), 8000, 96000),
                 WithRates(SimRender("To 192k"), 44100, 192000), twoRanges,
                 WithRates(SimCapture("Mic to 96k"), 8000, 96000)});
    struct Case {
        std::vector<const char*> out;
        bool withMic;
        std::vector<std::pair<double, bool>> rates;
    };
    const Case cases[] = {
        {{"To 192k"}, false, {{44100, true}, {88200, true}, {96000, true}, {176400, true}, {192000, true},
                              {32000, false}, {384000, false}}},
        {{"To 96k", "To 192k"}, false, {{48000, true}, {96000, true}, {176400, false}, {192000, false}}},
        {{"To 48k", "To 192k"}, false, {{48000, true}, {88200, false}, {96000, false}}},
        {{"To 192k"}, true, {{96000, true}, {192000, false}}},
        {{"Two ranges"}, false, {{48000, true}, {96000, false}, {176400, true}, {192000, false}}},
        {{}, false, {{96000, true}, {192000, true}}},  // nothing open restricts nothing
    };
    for (const Case& c : cases) {
        ConfigText config;
        for (const char* name : c.out) {
            config.Out(name, 2);
        }
        if (c.withMic) {
            config.In("Mic to 96k", 2);
        }
        WriteConfig(config);
        CDeviceSet& set = MakeSet();
        set.OpenRender(RenderRequest(44100.0));
        set.OpenCapture(CaptureRequest(44100.0));
        ASSERT_EQ(set.Render().size(), c.out.size());
        for (const auto& [rate, taken] : c.rates) {
            EXPECT_EQ(set.OpenDevicesTake(rate), taken) << rate << " with " << c.out.size() << " outputs";
        }
    }
}
