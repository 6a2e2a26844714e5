// The pieces of the loopback test that need no line: its pauses and message pump, the data
// mask and the test data.
#include <gtest/gtest.h>

#include <functional>
#include <vector>

#include "baudrate_harness.h"
#include "loopback/baudrate_test.h"
#include "wait_for.h"

namespace {

void DrainQueue()
{
    MSG msg;
    while (::PeekMessageA(&msg, nullptr, 0, 0, PM_REMOVE)) {
    }
}

// A window on an empty queue that keeps the wParams of the messages dispatched to it, in the
// order handled, and can answer each one (for instance by posting another).
class CountingWindow
{
public:
    CountingWindow()
    {
        DrainQueue();
        m_hWnd = ::CreateWindowExA(0, "STATIC", "", WS_POPUP, 0, 0, 10, 10, nullptr, nullptr, nullptr, nullptr);
        s_staticProc = (WNDPROC)::SetWindowLongPtrA(m_hWnd, GWLP_WNDPROC, (LONG_PTR)&Proc);
        s_handled.clear();
    }
    ~CountingWindow()
    {
        ::DestroyWindow(m_hWnd);
        s_onMessage = nullptr;
    }

    void Post(WPARAM wParam = 0) const { ::PostMessageA(m_hWnd, WM_APP, wParam, 0); }
    int Count() const { return (int)s_handled.size(); }
    const std::vector<WPARAM>& Handled() const { return s_handled; }
    void OnMessage(std::function<void(WPARAM)> handler) const { s_onMessage = std::move(handler); }

private:
    static LRESULT CALLBACK Proc(HWND hWnd, UINT message, WPARAM wParam, LPARAM lParam)
    {
        if (message == WM_APP) {
            s_handled.push_back(wParam);
            if (s_onMessage)
                s_onMessage(wParam);
            return 0;
        }
        return ::CallWindowProcA(s_staticProc, hWnd, message, wParam, lParam);
    }

    HWND m_hWnd;
    static inline WNDPROC s_staticProc = nullptr;
    static inline std::vector<WPARAM> s_handled;
    static inline std::function<void(WPARAM)> s_onMessage;
};

void WaitForNextTick()
{
    const DWORD now = ::GetTickCount();
    while (::GetTickCount() == now)
        ::Sleep(1);
}

TEST_F(BaudrateHarness, WaitResponsiveLastsStrictlyLongerThanAskedOnTheTickCounter)
{
    for (const int milliseconds : { 0, 1, 50, 200 }) {
        const DWORD start = ::GetTickCount();
        EXPECT_TRUE(m_dlg.WaitResponsive(milliseconds)) << milliseconds;
        const DWORD elapsed = ::GetTickCount() - start;
        EXPECT_GT(elapsed, (DWORD)milliseconds);
        EXPECT_LT(elapsed, (DWORD)milliseconds + 250) << "a wait that does not end when due";
    }
}

TEST_F(BaudrateHarness, WaitResponsiveCancelledOnEntryHandlesWaitingMessagesOnceAndReturns)
{
    CountingWindow window;
    window.Post();
    window.Post();
    m_dlg.m_bCancelled = true;

    EXPECT_LT(MsTaken([&] { EXPECT_FALSE(m_dlg.WaitResponsive(5000)); }), 1000u);
    EXPECT_EQ(window.Count(), 2);
}

TEST_F(BaudrateHarness, WaitResponsiveEndsAsSoonAsAHandlerSetsTheFlag)
{
    CountingWindow window;
    int idleSteps = 0;
    TestApp().onIdle = [&] {
        if (++idleSteps == 50) {
            window.Post();
            m_dlg.m_bCancelled = true;
        }
    };

    EXPECT_LT(MsTaken([&] { EXPECT_FALSE(m_dlg.WaitResponsive(5000)); }), 1000u);
    EXPECT_EQ(idleSteps, 50) << "the flag is read after every pass";
    EXPECT_EQ(window.Count(), 0) << "returns before the next pass";
}

TEST_F(BaudrateHarness, WaitResponsiveStillHandlesAStopThatCameWhileItsTimeRanOut)
{
    CountingWindow window;
    window.OnMessage([&](WPARAM wParam) {
        if (wParam == 1) {
            PressStop();
            return;
        }
        // The Stop is posted after this pass began, so the pass leaves it; the time runs out
        // before the pass ends.
        WaitForNextTick();
        window.Post(1);
        ::Sleep(250);
    });
    window.Post(0);

    EXPECT_FALSE(m_dlg.WaitResponsive(200));

    EXPECT_EQ(window.Handled(), (std::vector<WPARAM>{ 0, 1 }));
    EXPECT_TRUE(m_dlg.m_bCancelled);
}

TEST_F(BaudrateHarness, WaitResponsiveMeetingTheQuitMessageReturnsFalseAndLeavesTheQuit)
{
    DrainQueue();
    TestApp().onIdle = [] { ::PostQuitMessage(3); };

    EXPECT_FALSE(m_dlg.WaitResponsive(5000));

    MSG msg;
    ASSERT_TRUE(::PeekMessageA(&msg, nullptr, WM_QUIT, WM_QUIT, PM_REMOVE));
    EXPECT_EQ(msg.wParam, 0u);
}

TEST_F(BaudrateHarness, PumpMessagesMeetingTheQuitMessageRepostsQuitWithExitCodeZero)
{
    CountingWindow window;
    window.Post();
    ::PostQuitMessage(42);

    EXPECT_FALSE(m_dlg.PumpMessages());

    EXPECT_EQ(window.Count(), 1) << "what came before the quit is handled";
    MSG msg;
    ASSERT_TRUE(::PeekMessageA(&msg, nullptr, 0, 0, PM_REMOVE));
    EXPECT_EQ(msg.message, (UINT)WM_QUIT);
    EXPECT_EQ(msg.wParam, 0u);
}

TEST_F(BaudrateHarness, PumpMessagesHandlesWhatIsWaitingThenRunsIdleWorkToCompletion)
{
    CountingWindow window;
    for (int i = 0; i < 5; ++i)
        window.Post();
    std::vector<LONG> idleLog;
    TestApp().idleLog = &idleLog;
    TestApp().idleRounds = 3;

    EXPECT_TRUE(m_dlg.PumpMessages());

    EXPECT_EQ(window.Count(), 5);
    EXPECT_EQ(idleLog, (std::vector<LONG>{ 0, 1, 2, 3 }));
}

TEST_F(BaudrateHarness, PumpMessagesLeavesWhatArrivesDuringItsPassToTheNextCall)
{
    CountingWindow window;
    // The handler of message 1 posts message 2 once the tick counter has moved on.
    window.OnMessage([&](WPARAM wParam) {
        if (wParam == 1) {
            WaitForNextTick();
            window.Post(2);
        }
    });
    window.Post(1);
    std::vector<LONG> idleLog;
    TestApp().idleLog = &idleLog;

    EXPECT_TRUE(m_dlg.PumpMessages());
    EXPECT_EQ(window.Handled(), (std::vector<WPARAM>{ 1 }));
    EXPECT_TRUE(idleLog.empty()) << "idle work ran with a message waiting";

    EXPECT_TRUE(m_dlg.PumpMessages());
    EXPECT_EQ(window.Handled(), (std::vector<WPARAM>{ 1, 2 }));
    EXPECT_EQ(idleLog, (std::vector<LONG>{ 0 }));
}

TEST_F(BaudrateHarness, WaitResponsiveEndsOnTimeWhileAFloodNeverLetsTheQueueEmpty)
{
    // Like a port whose unread bytes are reported again and again: every message handled posts
    // the next, for three seconds at most, so that a pause that waits for an empty queue fails
    // here instead of hanging.
    CountingWindow window;
    WPARAM posted = 0;
    const DWORD floodStart = ::GetTickCount();
    window.OnMessage([&](WPARAM) {
        if (::GetTickCount() - floodStart < 3000)
            window.Post(++posted);
    });
    window.Post(0);

    for (const int ms : { 50, 200 })
        EXPECT_LT(MsTaken([&] { EXPECT_TRUE(m_dlg.WaitResponsive(ms)); }), ms + 250u) << ms;
    DrainQueue();
    ASSERT_GT(window.Count(), 0);
    for (size_t i = 0; i < window.Handled().size(); ++i)
        ASSERT_EQ(window.Handled()[i], (WPARAM)i) << "handled out of the order posted";
}

TEST(BaudrateData, ElapsedTimeIsSignedModuloTwoToThe32)
{
    struct Case { DWORD start, now; int elapsed; };
    const Case cases[] = {
        { 1000, 1000, 0 },
        { 1000, 1201, 201 },
        { 0xFFFFFF9Cu, 0x00000065u, 201 }, // the counter wrapped during the wait
        { 0xFFFFFFFFu, 0x00000000u, 1 },
        { 5000, 4990, -10 },               // never counts as long past
    };
    for (const Case& c : cases)
        EXPECT_EQ(baudrate_test::ElapsedMs(c.start, c.now), c.elapsed) << std::hex << c.start << " -> " << c.now;
}

TEST(BaudrateData, DataMaskKeepsTheLowDataBitsAndAlwaysBitZero)
{
    struct Case { unsigned char dataBits, mask; };
    const Case cases[] = { { 8, 0xFF }, { 7, 0x7F }, { 5, 0x1F }, { 1, 0x01 }, { 0, 0x01 }, { 9, 0xFF }, { 255, 0xFF } };
    for (const Case& c : cases)
        EXPECT_EQ(baudrate_test::DataMask(c.dataBits), c.mask) << (int)c.dataBits << " data bits";
}

TEST(BaudrateData, GeneratorRepeatsTheRunTimeSequenceFromItsStart)
{
    CTestDataGenerator generator;
    std::vector<unsigned> block(1024);
    for (unsigned& value : block)
        value = generator.Next();
    const unsigned firstBlock[] = { 0x29, 0x23, 0xBE, 0x84, 0xE1, 0x6C, 0xD6, 0xAE };
    const unsigned secondBlock[] = { 0x5E, 0x4C, 0xEC, 0x03, 0x4C, 0x73, 0xE6, 0x05 };
    for (int i = 0; i < 8; ++i) {
        EXPECT_EQ(block[i] & 0xFF, firstBlock[i]) << "byte " << i;
        EXPECT_EQ(block[512 + i] & 0xFF, secondBlock[i]) << "byte " << 512 + i;
    }
    EXPECT_EQ(block[0], 41u) << "the first value of the sequence";
    for (unsigned value : block)
        ASSERT_LE(value, 32767u);
}

} // namespace
