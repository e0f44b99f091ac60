// The ASIO host session over a stand-in driver that calls the session's
// callbacks when a test tells it to: what asioMessage answers for each
// choice of selectors, the order of hook and count in a buffer switch, the
// switch and rate-change records, bounded waits, one session per process,
// what the session leaves to a driver it did not load, and a callback path
// that allocates nothing.
#include "asio_host_session.h"

#include <gtest/gtest.h>
#include <windows.h>

#include <atomic>
#include <new>
#include <stdexcept>
#include <thread>
#include <vector>

namespace {

// Allocations through operator new on a thread while it counts them.
thread_local bool t_counting = false;
thread_local long t_allocations = 0;

}  // namespace

void* operator new(size_t size)
{
    if (t_counting) {
        ++t_allocations;
    }
    if (void* block = HeapAlloc(GetProcessHeap(), 0, size ? size : 1)) {
        return block;
    }
    throw std::bad_alloc();
}

void operator delete(void* block) noexcept
{
    if (block) {
        HeapFree(GetProcessHeap(), 0, block);
    }
}

void operator delete(void* block, size_t) noexcept
{
    operator delete(block);
}

namespace {

// A driver that keeps what createBuffers handed it and counts the calls the
// session makes on it.
class StandInDriver : public IASIO {
public:
    HRESULT STDMETHODCALLTYPE QueryInterface(REFIID, void** object) override
    {
        *object = nullptr;
        return E_NOINTERFACE;
    }
    ULONG STDMETHODCALLTYPE AddRef() override { return ++references; }
    ULONG STDMETHODCALLTYPE Release() override { return --references; }
    ASIOBool init(void*) override { return initResult; }
    void getDriverName(char* name) override { lstrcpyA(name, "stand-in"); }
    long getDriverVersion() override { return 1; }
    void getErrorMessage(char* text) override { lstrcpyA(text, "no hardware"); }
    ASIOError start() override { return ++starts, ASE_OK; }
    ASIOError stop() override { return ++stops, ASE_OK; }
    ASIOError getChannels(long*, long*) override { return ASE_OK; }
    ASIOError getLatencies(long*, long*) override { return ASE_OK; }
    ASIOError getBufferSize(long*, long*, long*, long*) override { return ASE_OK; }
    ASIOError canSampleRate(ASIOSampleRate) override { return ASE_OK; }
    ASIOError getSampleRate(ASIOSampleRate*) override { return ASE_OK; }
    ASIOError setSampleRate(ASIOSampleRate rate) override
    {
        // A driver that calls back inside the host's own call.
        callbacks->sampleRateDidChange(rate);
        return ASE_OK;
    }
    ASIOError getClockSources(ASIOClockSource*, long*) override { return ASE_OK; }
    ASIOError setClockSource(long) override { return ASE_OK; }
    ASIOError getSamplePosition(ASIOSamples*, ASIOTimeStamp*) override { return ASE_OK; }
    ASIOError getChannelInfo(ASIOChannelInfo*) override { return ASE_OK; }
    ASIOError createBuffers(ASIOBufferInfo* infos, long count, long size, ASIOCallbacks* given) override
    {
        callbacks = given;
        channels.assign(infos, infos + count);
        memory.assign(static_cast<size_t>(count * 2 * size), 0);
        for (long i = 0; i < count; ++i) {
            infos[i].buffers[0] = &memory[static_cast<size_t>(i * 2 * size)];
            infos[i].buffers[1] = &memory[static_cast<size_t>((i * 2 + 1) * size)];
        }
        return ASE_OK;
    }
    ASIOError disposeBuffers() override { return ++disposals, ASE_OK; }
    ASIOError controlPanel() override { return ASE_OK; }
    ASIOError future(long, void*) override { return ASE_InvalidParameter; }
    ASIOError outputReady() override { return ASE_OK; }

    ULONG references = 1;
    ASIOBool initResult = ASIOTrue;
    int starts = 0;
    int stops = 0;
    int disposals = 0;
    ASIOCallbacks* callbacks = nullptr;
    std::vector<ASIOBufferInfo> channels;
    std::vector<int16_t> memory;
};

TEST(AsioHostSession, AsioMessageAnswersAsTheHostChose)
{
    struct Case {
        const char* name;
        std::vector<long> taken;
        bool timeInfo;
        // Answers to kAsioSelectorSupported(s) and to s itself, for the
        // selectors in this order.
        std::vector<long> supported;
        std::vector<long> answers;
        long resets;
        long latencyChanges;
    };
    const std::vector<long> selectors = {kAsioEngineVersion, kAsioResetRequest, kAsioLatenciesChanged,
                                         kAsioSupportsTimeInfo, kAsioBufferSizeChange, kAsioOverload};
    const std::vector<Case> cases = {
        {"nothing taken", {}, true, {0, 0, 0, 0, 0, 0}, {0, 0, 0, 0, 0, 0}, 0, 0},
        {"a DAW", {kAsioSupportsTimeInfo, kAsioEngineVersion}, true, {1, 0, 0, 1, 0, 0}, {2, 0, 0, 1, 0, 0}, 0, 0},
        {"resets and latencies, no time info", {kAsioSupportsTimeInfo, kAsioResetRequest, kAsioLatenciesChanged},
         false, {0, 1, 1, 1, 0, 0}, {0, 1, 1, 0, 0, 0}, 1, 1},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        StandInDriver driver;
        CAsioHostSession session(&driver);
        session.TakeSelectors(c.taken);
        session.supportsTimeInfo = c.timeInfo;
        long resetHooks = 0;
        session.SetResetHook([&] { ++resetHooks; });
        ASSERT_EQ(session.CreateBuffers({0}, {}, 4), ASE_OK);
        for (size_t i = 0; i < selectors.size(); ++i) {
            EXPECT_EQ(driver.callbacks->asioMessage(kAsioSelectorSupported, selectors[i], nullptr, nullptr),
                      c.supported[i])
                << "selector " << selectors[i];
            EXPECT_EQ(driver.callbacks->asioMessage(selectors[i], 0, nullptr, nullptr), c.answers[i])
                << "selector " << selectors[i];
        }
        EXPECT_EQ(session.ResetRequests(), c.resets);
        EXPECT_EQ(resetHooks, c.resets);
        EXPECT_EQ(session.LatencyChanges(), c.latencyChanges);
    }
}

TEST(AsioHostSession, ASwitchReachesTheHookBeforeItIsCountedAndIsKeptWithItsTime)
{
    StandInDriver driver;
    CAsioHostSession session(&driver);
    session.KeepSwitches(3);
    ASSERT_EQ(session.CreateBuffers({5, 6}, {2}, 4), ASE_OK);
    ASSERT_EQ(driver.channels.size(), 3u);
    EXPECT_EQ(driver.channels[0].channelNum, 5);
    EXPECT_EQ(driver.channels[1].isInput, ASIOFalse);
    EXPECT_EQ(driver.channels[2].channelNum, 2);
    EXPECT_EQ(driver.channels[2].isInput, ASIOTrue);
    EXPECT_EQ(session.OutputHalf(1, 1), &driver.memory[3 * 4]);
    EXPECT_EQ(session.InputHalf(0, 0), &driver.memory[4 * 4]);
    EXPECT_THROW(session.InputHalf(1, 0), std::out_of_range);

    std::vector<long> countsSeen;
    std::vector<const ASIOTime*> timesSeen;
    session.SetSwitchHook([&](long index, const ASIOTime* time) {
        countsSeen.push_back(session.Callbacks());
        timesSeen.push_back(time);
        session.OutputHalf(0, index)[0] = static_cast<int16_t>(100 + index);
    });
    ASIOTime time{};
    time.timeInfo.samplePosition.lo = 512;
    driver.callbacks->bufferSwitch(1, ASIOFalse);
    EXPECT_EQ(driver.callbacks->bufferSwitchTimeInfo(&time, 0, ASIOTrue), nullptr);
    driver.callbacks->bufferSwitch(1, ASIOFalse);
    driver.callbacks->bufferSwitch(0, ASIOFalse);
    EXPECT_EQ(countsSeen, (std::vector<long>{0, 1, 2, 3}));
    EXPECT_EQ(timesSeen, (std::vector<const ASIOTime*>{nullptr, &time, nullptr, nullptr}));
    EXPECT_EQ(session.Callbacks(), 4);
    EXPECT_EQ(session.OutputHalf(0, 0)[0], 100);
    EXPECT_EQ(session.OutputHalf(0, 1)[0], 101);

    const std::vector<CAsioHostSession::Switch> switches = session.Switches();
    ASSERT_EQ(switches.size(), 3u) << "kept up to the capacity";
    EXPECT_EQ(switches[0].index, 1);
    EXPECT_FALSE(switches[0].timeInfo);
    EXPECT_TRUE(switches[1].timeInfo);
    EXPECT_EQ(switches[1].time.timeInfo.samplePosition.lo, 512u);
    EXPECT_EQ(switches[2].threadId, GetCurrentThreadId());
    EXPECT_LE(switches[1].arrivalNs, switches[2].arrivalNs);
    EXPECT_LE(switches[2].arrivalNs, CAsioHostSession::NowNs());
}

TEST(AsioHostSession, WaitsAreBoundedAndEndWhenTheSwitchesArrive)
{
    StandInDriver driver;
    CAsioHostSession session(&driver);
    ASSERT_EQ(session.CreateBuffers({0}, {}, 4), ASE_OK);
    EXPECT_FALSE(session.WaitForCallbacks(1, 50));
    std::atomic<bool> waiting{false};
    std::thread stream([&] {
        while (!waiting.load()) {
            Sleep(1);
        }
        for (long i = 0; i < 6; ++i) {
            driver.callbacks->bufferSwitch(i % 2, ASIOFalse);
        }
    });
    waiting = true;
    const bool arrived = session.WaitForCallbacks(6, 60000);
    stream.join();
    EXPECT_TRUE(arrived);
    EXPECT_EQ(session.Callbacks(), 6);
    EXPECT_TRUE(session.WaitForCallbacks(6, 0)) << "already there: no wait";
}

TEST(AsioHostSession, RateChangesAreKeptWithTheirThreadAndWhetherTheHostsCallWasRunning)
{
    StandInDriver driver;
    CAsioHostSession session(&driver);
    ASSERT_EQ(session.CreateBuffers({0}, {}, 4), ASE_OK);
    EXPECT_EQ(session.InsideHostCall([&] { return driver.setSampleRate(48000); }), ASE_OK);
    DWORD otherThread = 0;
    std::thread([&] {
        otherThread = GetCurrentThreadId();
        driver.callbacks->sampleRateDidChange(44100);
    }).join();
    const std::vector<CAsioHostSession::RateChange> changes = session.RateChanges();
    ASSERT_EQ(changes.size(), 2u);
    EXPECT_EQ(changes[0].rate, 48000.0);
    EXPECT_TRUE(changes[0].insideHostCall);
    EXPECT_EQ(changes[0].threadId, GetCurrentThreadId());
    EXPECT_EQ(changes[1].rate, 44100.0);
    EXPECT_FALSE(changes[1].insideHostCall);
    EXPECT_EQ(changes[1].threadId, otherThread);
    for (size_t i = 0; i < CAsioHostSession::kMaxRateChanges; ++i) {
        driver.callbacks->sampleRateDidChange(8000);
    }
    EXPECT_EQ(session.RateChanges().size(), CAsioHostSession::kMaxRateChanges) << "the record is bounded";
}

TEST(AsioHostSession, OneSessionPerProcessAndADriverGivenToItIsLeftAsItIs)
{
    StandInDriver driver;
    ASIOCallbacks callbacks{};
    {
        CAsioHostSession session(&driver);
        EXPECT_THROW(CAsioHostSession second(&driver), std::logic_error);
        ASSERT_EQ(session.CreateBuffers({0}, {}, 4), ASE_OK);
        ASSERT_EQ(session.Start(), ASE_OK);
        std::string error;
        EXPECT_TRUE(session.Init(nullptr, error));
        driver.initResult = ASIOFalse;
        EXPECT_FALSE(session.Init(nullptr, error));
        EXPECT_EQ(error, "no hardware");
        callbacks = *driver.callbacks;
    }
    EXPECT_EQ(driver.references, 1u);
    EXPECT_EQ(driver.stops, 0);
    EXPECT_EQ(driver.disposals, 0);
    // Callbacks after the session has gone reach nobody.
    callbacks.bufferSwitch(0, ASIOFalse);
    EXPECT_EQ(callbacks.asioMessage(kAsioSelectorSupported, kAsioResetRequest, nullptr, nullptr), 0);
    CAsioHostSession next(&driver);
    EXPECT_EQ(next.Callbacks(), 0);
}

// What the session does in a switch and in asioMessage, around a user's
// hooks that allocate nothing themselves.
TEST(AsioHostSession, TheCallbackPathAllocatesNothing)
{
    StandInDriver driver;
    CAsioHostSession session(&driver);
    session.TakeSelectors({kAsioSupportsTimeInfo, kAsioResetRequest, kAsioLatenciesChanged, kAsioEngineVersion});
    session.KeepSwitches(16);
    long filled = 0;
    ASIOTime time{};
    // Three references: too large for std::function's own storage, so a copy
    // of the hook per call would allocate.
    session.SetSwitchHook([&filled, &session, &time](long index, const ASIOTime* given) {
        filled += session.OutputHalf(0, index) && (!given || given == &time) ? 1 : 0;
    });
    session.SetResetHook([&] { ++filled; });
    ASSERT_EQ(session.CreateBuffers({0, 1}, {0}, 64), ASE_OK);
    std::atomic<bool> waiting{true};
    std::thread waiter([&] { waiting = session.WaitForCallbacks(1000, 60000); });
    t_counting = true;
    for (long i = 0; i < 32; ++i) {
        driver.callbacks->bufferSwitchTimeInfo(&time, i % 2, ASIOTrue);
        driver.callbacks->bufferSwitch(i % 2, ASIOFalse);
        driver.callbacks->asioMessage(kAsioSelectorSupported, kAsioResetRequest, nullptr, nullptr);
        driver.callbacks->asioMessage(kAsioResetRequest, 0, nullptr, nullptr);
        driver.callbacks->asioMessage(kAsioLatenciesChanged, 0, nullptr, nullptr);
        driver.callbacks->asioMessage(kAsioSupportsTimeInfo, 0, nullptr, nullptr);
        driver.callbacks->sampleRateDidChange(48000);
    }
    t_counting = false;
    for (long i = 0; i < 1000; ++i) {
        driver.callbacks->bufferSwitch(0, ASIOFalse);
    }
    waiter.join();
    EXPECT_EQ(t_allocations, 0);
    EXPECT_EQ(filled, 64 + 32 + 1000);
    EXPECT_TRUE(waiting.load());
}

}  // namespace
