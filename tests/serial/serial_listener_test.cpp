// The listener thread and its window notifications, on the virtual cable under Wine.
#include <windows.h>

#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "api_ledger.h"
#include "test_cable.h"
#include "wait_for.h"
#include "serial/serial_wnd_port.h"

namespace {

const UINT kOwnMessage = WM_APP + 5;

class CProbeWndPort : public CSerialWndPort
{
public:
    using CSerialWndPort::m_bStopRequested;
    using CSerialWndPort::m_hListenerThread;
    using CSerialWndPort::m_hPort;
    using CSerialWndPort::m_hWndTarget;
    using CSerialWndPort::m_lTargetParam;
    using CSerialWndPort::m_nLastError;
    using CSerialWndPort::m_nTargetMsg;
};

// A message-only window of this thread that keeps what it is sent. Nothing is dispatched to it,
// so a system class does.
class CSink : public CWnd
{
public:
    struct Note { UINT message; WPARAM wParam; LPARAM lParam; };

    CSink() { Attach(::CreateWindowExA(0, "STATIC", "", 0, 0, 0, 0, 0, HWND_MESSAGE, nullptr, nullptr, nullptr)); }
    ~CSink() override { ::DestroyWindow(Detach()); }

    // Collects for `ms`, or until the first note when `untilFirst`; true when that came.
    bool Pump(DWORD ms, bool untilFirst = false)
    {
        return WaitFor([&] {
            MSG msg;
            while (::PeekMessageA(&msg, m_hWnd, 0, 0, PM_REMOVE))
                if (msg.message >= WM_APP)
                    notes.push_back({msg.message, msg.wParam, msg.lParam});
            return untilFirst && !notes.empty();
        }, ms);
    }

    std::vector<Note> notes;
};

class Listener : public ::testing::Test
{
protected:
    void SetUp() override { ASSERT_TRUE(cable.Claim()) << cable.Error(); }

    LONG OpenOn(CSerialWndPort& target, UINT message = 0, LPARAM lParam = 0)
    {
        return target.Open(cable.Name().c_str(), &sink, message, lParam, 0, 0);
    }

    // Every handle the ledger saw created was closed again, in whatever order.
    void ExpectAllReleased(const char* what = "")
    {
        std::vector<HANDLE> created = ledger.Created(), closed = ledger.Closed();
        std::sort(created.begin(), created.end());
        std::sort(closed.begin(), closed.end());
        EXPECT_EQ(created, closed) << what;
    }

    CApiLedger ledger;  // before the ports: it must outlive their threads
    CTestCable cable;
    CSink sink;
    CProbeWndPort port;
};

TEST_F(Listener, ArrivingBytesPostTheChosenMessageWithTheEventsAndTheParam)
{
    ASSERT_NE(0u, g_nSerialWndMsg);
    EXPECT_EQ(::RegisterWindowMessageA("CSerialWnd_DefaultComMsg"), g_nSerialWndMsg);
    struct Case { UINT message; LPARAM lParam; UINT posted; };
    const Case cases[] = {{0, 0, g_nSerialWndMsg}, {kOwnMessage, 0x1234, kOwnMessage}, {0, -7, g_nSerialWndMsg}};
    // One object for all rows: a later Open posts to the new target.
    for (const Case& c : cases) {
        sink.Pump(20);  // what the last row's thread posted before its Close
        sink.notes.clear();
        ASSERT_EQ(0, OpenOn(port, c.message, c.lParam));
        EXPECT_EQ(0, port.WriteText("hello", nullptr, nullptr, 2000));
        ASSERT_TRUE(sink.Pump(2000, true)) << "message " << c.message;
        const CSink::Note note = sink.notes.front();
        EXPECT_EQ(c.posted, note.message);
        EXPECT_EQ(static_cast<WORD>(EV_RXCHAR), LOWORD(note.wParam) & EV_RXCHAR);
        EXPECT_EQ(0, LOWORD(note.wParam) & ~CSerialPort::kDefaultEventMask) << "only watched bits";
        EXPECT_EQ(0, HIWORD(note.wParam)) << "no line errors on a clean line";
        EXPECT_EQ(c.lParam, note.lParam);
        EXPECT_EQ(0, port.Close());
        EXPECT_EQ(nullptr, port.m_hWndTarget.load());
        EXPECT_EQ(0u, port.m_nTargetMsg.load());
    }
}

TEST_F(Listener, OpenStartAndStopKeepOneThreadAndLeaveTargetsAloneOnFailure)
{
    EXPECT_EQ(0, port.StopListening(1000)) << "no thread";
    EXPECT_EQ(0, port.Close()) << "closed object";

    ASSERT_EQ(0, OpenOn(port, kOwnMessage, 7));
    const HANDLE thread = port.m_hListenerThread;
    EXPECT_EQ(ERROR_ALREADY_INITIALIZED, OpenOn(port, 0, 8));
    EXPECT_EQ(0, port.StartListening());
    EXPECT_EQ(thread, port.m_hListenerThread);
    EXPECT_EQ(1, ledger.Count("CreateThread"));
    EXPECT_EQ(7, port.m_lTargetParam.load());

    // A wake-up with no watched event posts nothing, and the thread goes on.
    EXPECT_EQ(0, port.SetEventMask(port.QueryEventMask()));
    sink.Pump(200);
    EXPECT_EQ(0, ledger.Count("PostMessageA"));
    EXPECT_EQ(0, port.WriteText("x", nullptr, nullptr, 2000));
    ASSERT_TRUE(sink.Pump(2000, true)) << "the thread stopped after a wake-up";
    EXPECT_EQ(kOwnMessage, sink.notes.front().message);
    EXPECT_EQ(7, sink.notes.front().lParam);

    EXPECT_EQ(0, port.Close());
    EXPECT_EQ(ERROR_FILE_NOT_FOUND, port.Open("COM97", &sink, kOwnMessage, 9, 0, 0));
    EXPECT_EQ(nullptr, port.m_hListenerThread);
    EXPECT_EQ(7, port.m_lTargetParam.load()) << "a failed Open leaves the target alone";
}

TEST_F(Listener, EveryFailedOpenReleasesWhatItCreatedInReverse)
{
    struct Case { const char* call; int nth; bool startNow; bool staysOpen; };
    const Case cases[] = {
        {"CreateEventA", 2, false, false},  // the listener's event
        {"CreateThread", 1, false, false},
        {"CreateThread", 1, true, true},    // the listener's own Open keeps the port
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(std::string(c.call) + (c.startNow ? " (start now)" : ""));
        CApiLedger rowLedger;
        CProbeWndPort rowPort;
        rowLedger.Fail(c.call, ERROR_NOT_ENOUGH_MEMORY, c.nth);
        const LONG code = c.startNow ? rowPort.Open(cable.Name().c_str(), 0, 0, true) : OpenOn(rowPort, kOwnMessage, 1);
        EXPECT_EQ(ERROR_NOT_ENOUGH_MEMORY, code);
        EXPECT_EQ(nullptr, rowPort.m_hListenerThread);
        EXPECT_EQ(c.staysOpen, rowPort.m_hPort != nullptr);
        EXPECT_EQ(nullptr, rowPort.m_hWndTarget.load());
        rowPort.Close();
        EXPECT_EQ(rowLedger.CreatedInReverse(), rowLedger.Closed());
    }
}

TEST_F(Listener, CloseWhileIdleReturnsPromptly)
{
    ASSERT_EQ(0, OpenOn(port));
    ::Sleep(100);  // the thread's wait is pending by now
    EXPECT_LT(MsTaken([&] { EXPECT_EQ(0, port.Close()); }), 200u);
    EXPECT_EQ(nullptr, port.m_hListenerThread);
}

std::atomic<bool> g_slowReset{false};
std::atomic<bool> g_inGap{false};

// Holds the thread between its stop check and its next wait.
BOOL WINAPI SlowResetEvent(HANDLE event)
{
    if (g_slowReset.exchange(false)) {
        g_inGap = true;
        ::Sleep(100);
    }
    return ::ResetEvent(event);
}

TEST_F(Listener, StopBetweenTwoWaitsStillEndsTheThread)
{
    ledger.m_real.ResetEvent = SlowResetEvent;
    g_inGap = false;
    g_slowReset = true;
    ASSERT_EQ(0, OpenOn(port));
    ASSERT_TRUE(WaitFor([] { return g_inGap.load(); }, 2000, 1));
    // The wake-up comes before the wait is pending; the thread must see the stop anyway.
    EXPECT_LT(MsTaken([&] { EXPECT_EQ(0, port.Close()); }), 1000u);
}

std::atomic<bool> g_closed{false};
std::atomic<int> g_posts{0};
std::atomic<int> g_postsAfterClose{0};

BOOL WINAPI WatchedPost(HWND window, UINT message, WPARAM wParam, LPARAM lParam)
{
    if (g_closed)
        ++g_postsAfterClose;
    ++g_posts;
    return ::PostMessageA(window, message, wParam, lParam);
}

TEST_F(Listener, FiveHundredCyclesWithTrafficNeverHangAndNeverPostAfterClose)
{
    ledger.m_real.PostMessageA = WatchedPost;
    g_posts = 0;
    g_postsAfterClose = 0;
    ULONGLONG slowestClose = 0;
    for (int cycle = 0; cycle < 500; ++cycle) {
        g_closed = false;
        ASSERT_EQ(0, OpenOn(port, 0, cycle)) << "cycle " << cycle;
        // Unread echoes keep the thread going round its loop, so the stop lands anywhere in it.
        EXPECT_EQ(0, port.WriteText("abc", nullptr, nullptr, 2000));
        if (cycle % 3 == 1)
            ::Sleep(cycle % 7);
        slowestClose = std::max(slowestClose, MsTaken([&] { EXPECT_EQ(0, port.Close()); }));
        g_closed = true;
        sink.Pump(0);
    }
    sink.Pump(50);
    EXPECT_EQ(0, g_postsAfterClose.load());
    EXPECT_GT(g_posts.load(), 50) << "the cycles made too little traffic to prove anything";
    EXPECT_LT(slowestClose, 1000u);
}

// Its OnPortEvent stays inside until released, as a slow handler would.
class CGatedListener : public CProbeWndPort
{
public:
    ~CGatedListener() override { Close(); ::CloseHandle(gate); }

    void OnPortEvent(DWORD, DWORD) override
    {
        inside = true;
        ::WaitForSingleObject(gate, 5000);
        handlesValidAfterGate = ::GetHandleInformation(m_hPort, &flags) && ::GetHandleInformation(m_hListenerEvent, &flags);
        inside = false;
        ++events;
    }

    // Bytes arrive and the thread goes into the handler, where it stays.
    bool HoldInHandler()
    {
        return WriteText("x", nullptr, nullptr, 2000) == 0 && WaitFor([&] { return inside.load(); }, 2000, 1);
    }

    HANDLE gate = ::CreateEventA(nullptr, TRUE, FALSE, nullptr);
    std::atomic<bool> inside{false};
    std::atomic<bool> handlesValidAfterGate{false};
    std::atomic<int> events{0};
    DWORD flags = 0;
};

TEST_F(Listener, StopThatRunsOutOfTimeKeepsTheThreadAndCloseWaitsForIt)
{
    CGatedListener gated;
    ASSERT_EQ(0, OpenOn(gated));
    ASSERT_TRUE(gated.HoldInHandler());

    EXPECT_GE(MsTaken([&] { EXPECT_EQ(0, gated.StopListening(100)); }), 95u);
    EXPECT_NE(nullptr, gated.m_hListenerThread) << "the thread still runs: its handle stays";
    EXPECT_TRUE(gated.m_bStopRequested) << "and so does the stop";

    std::thread opener([&] { ::Sleep(300); ::SetEvent(gated.gate); });
    EXPECT_EQ(0, gated.Close());
    opener.join();
    EXPECT_FALSE(gated.inside) << "Close returned while the thread was in OnPortEvent";
    EXPECT_TRUE(gated.handlesValidAfterGate) << "Close released handles the thread still held";
}

HANDLE g_threadBefore = nullptr;
std::atomic<bool> g_endedBeforeOpen{false};

HANDLE WINAPI OpenNotingThreadBefore(LPCSTR name, DWORD access, DWORD share, LPSECURITY_ATTRIBUTES security,
                                     DWORD disposition, DWORD flags, HANDLE templateFile)
{
    g_endedBeforeOpen = ::WaitForSingleObject(g_threadBefore, 0) == WAIT_OBJECT_0;
    return ::CreateFileA(name, access, share, security, disposition, flags, templateFile);
}

TEST_F(Listener, AThreadLeftFromBeforeIsJoinedBeforeTheNextOneStartsAndThePortNotifiesAgain)
{
    struct Case { const char* what; bool afterStopRanOut; bool stillRunning; };
    const Case cases[] = {
        {"started on a closed object, ended", false, false},
        {"started on a closed object, still ending when Open comes", false, true},
        {"a stop that ran out, thread ended since", true, false},
        {"a stop that ran out, thread still in its handler", true, true},
    };
    ledger.m_real.ResetEvent = SlowResetEvent;
    ledger.m_real.CreateFileA = OpenNotingThreadBefore;
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        CGatedListener gated;
        if (!c.afterStopRanOut) {
            ::SetEvent(gated.gate);
            g_inGap = false;
            g_slowReset = c.stillRunning;
            EXPECT_EQ(0, gated.StartListening());
            g_threadBefore = Duplicate(gated.m_hListenerThread);
            if (c.stillRunning) {
                ASSERT_TRUE(WaitFor([] { return g_inGap.load(); }, 2000, 1));
            } else {
                EXPECT_EQ(WAIT_OBJECT_0, ::WaitForSingleObject(g_threadBefore, 2000));
            }
            EXPECT_EQ(0, OpenOn(gated));
            EXPECT_TRUE(g_endedBeforeOpen) << "the port was opened under the thread before";
        } else {
            ASSERT_EQ(0, OpenOn(gated));
            ASSERT_TRUE(gated.HoldInHandler());
            EXPECT_EQ(0, gated.StopListening(100));
            g_threadBefore = Duplicate(gated.m_hListenerThread);
            std::thread opener([&] { ::Sleep(c.stillRunning ? 300 : 0); ::SetEvent(gated.gate); });
            if (!c.stillRunning) {
                EXPECT_EQ(WAIT_OBJECT_0, ::WaitForSingleObject(g_threadBefore, 2000));
            }
            EXPECT_EQ(0, gated.StartListening());
            opener.join();
            EXPECT_EQ(WAIT_OBJECT_0, ::WaitForSingleObject(g_threadBefore, 0)) << "started beside it";
        }
        // One thread listens again: arriving bytes reach the handler.
        const int before = gated.events;
        EXPECT_EQ(0, gated.WriteText("y", nullptr, nullptr, 2000));
        EXPECT_TRUE(WaitFor([&] { return gated.events > before; }, 2000)) << "the port no longer notifies";
        EXPECT_EQ(0, gated.Close());
        ::CloseHandle(g_threadBefore);
        g_threadBefore = nullptr;
    }
}

TEST_F(Listener, HangUpEndsTheThreadByItselfAndCloseReleasesEverything)
{
    ASSERT_EQ(0, OpenOn(port));
    ::Sleep(50);
    ASSERT_TRUE(cable.Request("hangup"));
    EXPECT_EQ(WAIT_OBJECT_0, ::WaitForSingleObject(port.m_hListenerThread, 5000)) << "thread still waiting";
    EXPECT_NE(0, port.m_nLastError) << "the failed wait's code stays until the next operation";
    const int posts = ledger.Count("PostMessageA");
    EXPECT_EQ(0, port.Close());
    EXPECT_EQ(posts, ledger.Count("PostMessageA"));
    ExpectAllReleased();

    ASSERT_TRUE(cable.Request("restore"));
    EXPECT_EQ(0, OpenOn(port));
    EXPECT_EQ(0, port.WriteText("back", nullptr, nullptr, 2000));
    EXPECT_TRUE(sink.Pump(2000, true));
}

TEST_F(Listener, BytesLeftUnreadMakeAHandfulOfNotificationsAndANewByteStillNotifiesAtOnce)
{
    ASSERT_EQ(0, OpenOn(port));
    EXPECT_EQ(0, port.WriteText("unread", nullptr, nullptr, 2000));
    ASSERT_TRUE(sink.Pump(2000, true)) << "the echo was not reported";
    const ULONGLONG busyBefore = ThreadBusyMs(port.m_hListenerThread);
    sink.Pump(500);
    // Wine reports the unread echo again at every wait; each report is no news.
    EXPECT_LE(sink.notes.size(), 5u);
    EXPECT_LE(ThreadBusyMs(port.m_hListenerThread) - busyBefore, 50u) << "the thread turns round while bytes wait";

    sink.notes.clear();
    EXPECT_EQ(0, port.WriteText("!", nullptr, nullptr, 2000));
    bool notified = false;
    EXPECT_LE(MsTaken([&] { notified = sink.Pump(1000, true); }), 20u) << "a new byte waited behind the old ones";
    EXPECT_TRUE(notified);
    EXPECT_EQ(0, port.Close());
}

// A driver that reports EV_RXCHAR when bytes arrive, keeps the events that come while no wait
// is pending, and says how many bytes are queued: what Windows' serial drivers do.
struct CArrivalDriver
{
    std::mutex lock;
    OVERLAPPED* pending = nullptr;
    DWORD* eventsOut = nullptr;
    DWORD history = 0;
    DWORD queued = 0;

    void Complete(DWORD events)
    {
        *eventsOut = events;
        ::SetEvent(pending->hEvent);
        pending = nullptr;
    }
    void Arrive(DWORD events, DWORD nowQueued)
    {
        std::lock_guard<std::mutex> hold(lock);
        queued = nowQueued;
        if (pending)
            Complete(events);
        else
            history |= events;
    }
} g_driver;

BOOL WINAPI ArrivalWait(HANDLE, LPDWORD events, LPOVERLAPPED overlapped)
{
    std::lock_guard<std::mutex> hold(g_driver.lock);
    if (g_driver.history) {
        *events = g_driver.history;
        g_driver.history = 0;
        return TRUE;
    }
    g_driver.pending = overlapped;
    g_driver.eventsOut = events;
    ::SetLastError(ERROR_IO_PENDING);
    return FALSE;
}

BOOL WINAPI ArrivalMask(HANDLE port, DWORD mask)
{
    std::lock_guard<std::mutex> hold(g_driver.lock);
    if (g_driver.pending)
        g_driver.Complete(0);
    return ::SetCommMask(port, mask);
}

BOOL WINAPI ArrivalStatus(HANDLE, LPDWORD errors, LPCOMSTAT status)
{
    std::lock_guard<std::mutex> hold(g_driver.lock);
    *errors = 0;
    if (status) {
        *status = COMSTAT{};
        status->cbInQue = g_driver.queued;
    }
    return TRUE;
}

TEST_F(Listener, ADriverThatReportsArrivalsHasEveryReportReachTheWindow)
{
    ledger.m_real.WaitCommEvent = ArrivalWait;
    ledger.m_real.SetCommMask = ArrivalMask;
    ledger.m_real.ClearCommError = ArrivalStatus;
    ASSERT_EQ(0, OpenOn(port));
    struct Case { const char* what; DWORD events; DWORD queued; };
    const Case cases[] = {
        {"first bytes", EV_RXCHAR, 4},
        {"more bytes", EV_RXCHAR, 9},
        {"the reader took 4, 4 more came: the same length", EV_RXCHAR, 9},
        {"and again", EV_RXCHAR, 9},
        {"a break with the queue unchanged", EV_BREAK, 9},
        {"the reader emptied the queue, one byte came", EV_RXCHAR, 1},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        ::Sleep(30);
        sink.notes.clear();
        g_driver.Arrive(c.events, c.queued);
        bool notified = false;
        EXPECT_LE(MsTaken([&] { notified = sink.Pump(1000, true); }), 50u);
        ASSERT_TRUE(notified);
        EXPECT_EQ(c.events, LOWORD(sink.notes.front().wParam));
    }
    EXPECT_EQ(0, port.Close());
}

TEST_F(Listener, DestructionJoinsTheThreadBeforeTheTargetGoes)
{
    ledger.m_real.PostMessageA = WatchedPost;
    for (int round = 0; round < 20; ++round) {
        g_closed = false;
        g_postsAfterClose = 0;
        auto owned = std::make_unique<CSerialWndPort>();
        ASSERT_EQ(0, OpenOn(*owned));
        EXPECT_EQ(0, owned->WriteText("busy", nullptr, nullptr, 2000));
        ::Sleep(round % 5);
        owned.reset();
        g_closed = true;
        ::Sleep(5);
        EXPECT_EQ(0, g_postsAfterClose.load()) << "round " << round;
    }
    ExpectAllReleased("every thread, event and port handle released");
}

} // namespace
