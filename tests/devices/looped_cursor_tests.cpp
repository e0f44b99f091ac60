#include "looped_cursor.h"

#include <gtest/gtest.h>

#include <vector>

namespace {

// A buffer of 1000 bytes with frames of 4 bytes.
constexpr uint32_t kBuffer = 1000;

struct Step {
    uint32_t offset;    // what the device reports
    int64_t expected;   // how far it should have moved since the last reading
    CLoopedCursor::Reading reading;
    int64_t device;     // where the cursor puts it
};

}  // namespace

// Offsets become a position that only grows: small steps, wraps, several
// whole turns during a long wait, a stalled device, and a device that went
// back (it stays where it was and the reading is counted).
TEST(LoopedCursorTest, OffsetsUnwrapByTheTimeThatPassed)
{
    using R = CLoopedCursor::Reading;
    struct Case {
        const char* what;
        std::vector<Step> steps;
        int64_t backwards;
    };
    const Case cases[] = {
        {"steps and a wrap", {{0, 0, R::Still, 0}, {200, 200, R::Moved, 200}, {900, 700, R::Moved, 900},
                              {100, 200, R::Moved, 1100}}, 0},
        {"two whole turns in a long wait", {{0, 0, R::Still, 0}, {300, 2300, R::Moved, 2300}}, 0},
        {"a device a little slower than the clock", {{0, 0, R::Still, 0}, {40, 250, R::Moved, 40}}, 0},
        {"a stall", {{0, 0, R::Still, 0}, {500, 500, R::Moved, 500}, {500, 480, R::Still, 500},
                     {500, 480, R::Still, 500}}, 0},
        {"backwards", {{0, 0, R::Still, 0}, {600, 600, R::Moved, 600}, {590, 10, R::Backwards, 600},
                       {580, 10, R::Backwards, 600}}, 2},
        {"the first reading counts no turn", {{700, 5000, R::Moved, 700}}, 0},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        CLoopedCursor cursor;
        cursor.Reset(kBuffer, 4);
        for (size_t i = 0; i < c.steps.size(); ++i) {
            const Step& step = c.steps[i];
            EXPECT_EQ(cursor.Update(step.offset, step.expected), step.reading) << "step " << i;
            EXPECT_EQ(cursor.Device(), step.device) << "step " << i;
        }
        EXPECT_EQ(cursor.BackwardsReadings(), c.backwards);
    }
}

// Render: blocks written ahead count as held until the device passes them;
// a device that overtook the writer has played old data: those frames are
// counted once and writing goes on from the device.
TEST(LoopedCursorTest, RenderCountsBlocksAheadAndUnderrunFrames)
{
    CLoopedCursor cursor;
    cursor.Reset(kBuffer, 4);
    cursor.Update(0, 0);
    cursor.Advance(200);
    cursor.Advance(200);
    EXPECT_EQ(cursor.BlocksAhead(200), 2);
    EXPECT_EQ(cursor.ClientOffset(), 400u);
    cursor.Update(150, 150);
    EXPECT_EQ(cursor.BlocksAhead(200), 2);  // part of a block still counts
    EXPECT_EQ(cursor.WholeBlocksAhead(200), 1);  // beside the block being played
    EXPECT_EQ(cursor.CatchUpRender(), 0);
    cursor.Update(400, 250);
    EXPECT_EQ(cursor.BlocksAhead(200), 0);
    EXPECT_EQ(cursor.CatchUpRender(), 0);
    cursor.Update(480, 80);  // 80 bytes played that nobody wrote
    EXPECT_EQ(cursor.CatchUpRender(), 20);
    EXPECT_EQ(cursor.Client(), 480);
    EXPECT_EQ(cursor.CatchUpRender(), 0);  // counted once
    cursor.Advance(200);
    cursor.Update(50, 570);  // round the end of the buffer
    EXPECT_EQ(cursor.Device(), 1050);
    EXPECT_EQ(cursor.CatchUpRender(), (1050 - 680) / 4);
}

// Capture: frames wait until taken; what the device wrote over before it
// was taken is lost, and reading goes on from the oldest frame left.
TEST(LoopedCursorTest, CaptureCountsFramesWrittenOverBeforeTheyWereTaken)
{
    CLoopedCursor cursor;
    cursor.Reset(kBuffer, 4);
    cursor.Update(0, 0);
    cursor.Update(600, 600);
    EXPECT_EQ(cursor.Waiting(), 600);
    cursor.Advance(200);
    EXPECT_EQ(cursor.CatchUpCapture(), 0);
    cursor.Update(200, 600);  // 1200: the buffer holds 200 .. 1200
    EXPECT_EQ(cursor.Waiting(), 1000);
    EXPECT_EQ(cursor.CatchUpCapture(), 0);
    cursor.Update(300, 100);  // 1300: 200 .. 300 written over
    EXPECT_EQ(cursor.CatchUpCapture(), 25);
    EXPECT_EQ(cursor.Client(), 300);
    EXPECT_EQ(cursor.Waiting(), 1000);
}
