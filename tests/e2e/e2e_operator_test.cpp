// The shipped program under an operator's hands, from outside (virtual cables COM72-COM79):
// Stop at every pause and during a transfer, Start pressed again, and port devices coming and
// going during a run or while another program has the focus.
#include "support/loopback_cable.h"
#include "support/program_test.h"

#include <dbt.h>

#include <initializer_list>
#include <ostream>
#include <string>
#include <thread>
#include <vector>

namespace
{
const DWORD kRunBoundMs = 40000;
const char kCancelled[] = "User cancelled!";
// With this echo delay every read blocks the program for 1.5 s without pumping messages, so
// clicks posted during a read are all handled by the first pass of the pump after it: the
// next pause.
const char kSlowEcho[] = "--instant --delay 1500";
const char kSlowEchoRequest[] = "delay 1500";
const DWORD kIntoTheRead = 400; // after the write line: past the 100 ms pause, well before the echo

// Index in a passing run's log of the write line and of the compare line of block 1 to 6.
const size_t kWriteLine[] = {0, 2, 4, 7, 9, 12, 14};
const size_t kCompareLine[] = {0, 3, 5, 8, 10, 13, 15};

std::vector<std::string> Lines(size_t count)
{
    std::vector<std::string> lines = PassingLog();
    lines.resize(count);
    return lines;
}

class OperatorTest : public ProgramTest
{
protected:
    bool WaitLogSize(size_t size, DWORD timeoutMs = 20000) const
    {
        return CDialogDriver::WaitFor([&] { return m_driver.LogCount() >= (int)size; }, timeoutMs, 5);
    }

    // Starts runs on the slow-echo cable until the clicks could be posted while the program
    // was blocked in the read of `block` (1 to 6). A loaded machine can let that read end
    // before the clicks are in; such a run is let finish and another started, three at most.
    bool RunAndClickDuringRead(CLoopbackCable& cable, int block, std::initializer_list<int> ids)
    {
        for (int attempt = 0; attempt < 3; ++attempt) {
            if (attempt > 0 && !CDialogDriver::WaitFor(
                                   [this] {
                                       return m_driver.IsIdle() &&
                                              m_driver.ReadVerdict() != CDialogDriver::VerdictBlank;
                                   },
                                   kRunBoundMs))
                return false;
            if (!cable.Request("reset") || !cable.Request(kSlowEchoRequest) || !m_driver.ClickStart() ||
                !WaitLogSize(kWriteLine[block] + 1))
                return false;
            ::Sleep(kIntoTheRead);
            // A dialog that cannot answer is inside the read.
            if (m_driver.IsResponsive(50))
                continue;
            for (int id : ids)
                m_driver.PostCommand(id);
            if (!m_driver.IsResponsive(50))
                return true;
        }
        return false;
    }

    void ExpectSettled(CLoopbackCable& cable)
    {
        EXPECT_TRUE(m_driver.IsResponsive(3000));
        EXPECT_EQ(m_driver.FindMessageBox(), nullptr);
        EXPECT_TRUE(m_driver.IsIdle());
        EXPECT_EQ(cable.Holders(), 0) << cable.Name() << " is still held";
    }

    // The run ends cancelled: NG, Start enabled again, and nothing more was sent.
    void ExpectCancelled(CLoopbackCable& cable, const std::vector<std::string>& log, int progress, int blocksSent)
    {
        ASSERT_TRUE(m_driver.WaitIdle(kRunBoundMs));
        // Idle comes with Stop itself; the verdict comes at the end of the run.
        EXPECT_EQ(WaitVerdict(CDialogDriver::VerdictNg, 10000), CDialogDriver::VerdictNg)
            << Describe(m_driver.ReadVerdictInk());
        EXPECT_EQ(m_driver.LogLines(), log) << Join(m_driver.LogLines());
        EXPECT_EQ(m_driver.ProgressPos(), progress);
        CCableClient::Stats stats;
        ASSERT_TRUE(cable.GetStats(stats));
        EXPECT_EQ(stats.in, 512u * blocksSent);
        ExpectSettled(cable);
    }
};

struct Pause
{
    const char* name;
    int pause; // 1 to 6: before 9600, between its checks, before 57600, ..., between the 115200 checks
    int progress;
};

void PrintTo(const Pause& pause, std::ostream* out)
{
    *out << pause.name;
}

class StopInPauseTest : public OperatorTest, public ::testing::WithParamInterface<Pause>
{
};

TEST_P(StopInPauseTest, EndsTheRunThereWithNg)
{
    const Pause& p = GetParam();
    CLoopbackCable cable(72 + p.pause - 1, kSlowEcho);
    ASSERT_TRUE(cable.IsReady()) << cable.Error();
    ASSERT_TRUE(m_driver.TypePort(cable.Name()));
    std::vector<std::string> expected;
    if (p.pause == 1) {
        ASSERT_TRUE(m_driver.ClickStart());
        // The first pause follows the begin line with no transfer before it: a click queued
        // behind Start (as a quick second click would be) is handled there.
        ASSERT_TRUE(m_driver.PostCommand(IDC_STOP));
        expected = Lines(1);
    } else {
        const int block = p.pause - 1; // the block whose read precedes the pause
        ASSERT_TRUE(RunAndClickDuringRead(cable, block, {IDC_STOP})) << Join(m_driver.LogLines());
        expected = Lines(kCompareLine[block] + 1);
    }
    expected.push_back(kCancelled);
    ExpectCancelled(cable, expected, p.progress, p.pause - 1);
}

INSTANTIATE_TEST_SUITE_P(Pauses, StopInPauseTest,
                         ::testing::Values(Pause{"Before9600", 1, 0}, Pause{"Between9600Checks", 2, 0},
                                           Pause{"Before57600", 3, 1}, Pause{"Between57600Checks", 4, 1},
                                           Pause{"Before115200", 5, 2}, Pause{"Between115200Checks", 6, 2}),
                         [](const ::testing::TestParamInfo<Pause>& info) { return std::string(info.param.name); });

TEST_F(OperatorTest, StopDuringTransferWaitsForItThenEndsAtNextPause)
{
    CLoopbackCable cable(78, kSlowEcho);
    ASSERT_TRUE(cable.IsReady()) << cable.Error();
    ASSERT_TRUE(m_driver.TypePort(cable.Name()));
    // The read blocks the dialog: it cannot even answer until the echo is in.
    ASSERT_TRUE(RunAndClickDuringRead(cable, 3, {IDC_STOP})) << "the dialog answered during every read";
    EXPECT_TRUE(m_driver.IsEnabled(IDC_STOP)) << "Stop was handled during the read";
    std::vector<std::string> expected = Lines(kCompareLine[3] + 1);
    expected.push_back(kCancelled);
    ExpectCancelled(cable, expected, 1, 3);
}

TEST_F(OperatorTest, StopInLastShortPauseStillEndsOk)
{
    // The 100 ms pause between the last write and its read does not look at Stop. Hitting it
    // takes timing, so a run whose Stop landed elsewhere is tried again.
    CLoopbackCable cable(79, "--instant");
    ASSERT_TRUE(cable.IsReady()) << cable.Error();
    ASSERT_TRUE(m_driver.TypePort(cable.Name()));
    std::vector<std::string> expected = Lines(kWriteLine[6] + 1);
    expected.push_back(kCancelled);
    const std::vector<std::string> rest = PassingLog();
    expected.insert(expected.end(), rest.begin() + kCompareLine[6], rest.end());

    std::vector<std::string> log;
    for (int attempt = 0; attempt < 4 && log != expected; ++attempt) {
        ASSERT_TRUE(m_driver.ClickStart());
        ASSERT_TRUE(WaitLogSize(kWriteLine[6] + 1)) << Join(m_driver.LogLines());
        m_driver.ClickStop();
        // Stop makes the buttons idle at once; the run has ended when its verdict is drawn.
        ASSERT_TRUE(CDialogDriver::WaitFor([this] { return m_driver.ReadVerdict() != CDialogDriver::VerdictBlank; },
                                           kRunBoundMs))
            << Join(m_driver.LogLines());
        ASSERT_TRUE(m_driver.WaitIdle(kRunBoundMs));
        ::Sleep(300); // a Stop that missed the run lands after it
        log = m_driver.LogLines();
    }
    ASSERT_EQ(log, expected) << Join(log);
    EXPECT_EQ(m_driver.ProgressPos(), 3);
    EXPECT_EQ(WaitVerdict(CDialogDriver::VerdictOk), CDialogDriver::VerdictOk) << Describe(m_driver.ReadVerdictInk());
    ExpectSettled(cable);
}

TEST_F(OperatorTest, StartAgainDuringRunIsIgnored)
{
    CLoopbackCable cable(77, "--instant");
    ASSERT_TRUE(cable.IsReady()) << cable.Error();
    ASSERT_TRUE(m_driver.TypePort(cable.Name()));
    ASSERT_TRUE(m_driver.ClickStart());
    ASSERT_TRUE(WaitLogSize(2));
    // Start is disabled; a click queued before that (or a key press) still gets through.
    for (int i = 0; i < 3; ++i) {
        ASSERT_TRUE(m_driver.PostCommand(IDC_START));
        ::Sleep(150);
    }
    ASSERT_TRUE(m_driver.WaitIdle(kRunBoundMs)) << "message box: " << (m_driver.FindMessageBox() != nullptr);
    EXPECT_EQ(m_driver.LogLines(), PassingLog());
    EXPECT_EQ(m_driver.ProgressPos(), 3);
    EXPECT_EQ(WaitVerdict(CDialogDriver::VerdictOk), CDialogDriver::VerdictOk);
    CCableClient::Stats stats;
    ASSERT_TRUE(cable.GetStats(stats));
    EXPECT_EQ(stats.in, 6u * 512u) << "a second run started";
    ExpectSettled(cable);
}

TEST_F(OperatorTest, StartRightAfterStopDoesNotRestartTheCancelledRun)
{
    CLoopbackCable cable(76, kSlowEcho);
    ASSERT_TRUE(cable.IsReady()) << cable.Error();
    ASSERT_TRUE(m_driver.TypePort(cable.Name()));
    // Stop, then Start, which Stop enables before the run has reached its pause.
    ASSERT_TRUE(RunAndClickDuringRead(cable, 1, {IDC_STOP, IDC_START}));
    std::vector<std::string> expected = Lines(kCompareLine[1] + 1);
    expected.push_back(kCancelled);
    ExpectCancelled(cable, expected, 0, 1);

    // The next Start is a fresh run from an empty log.
    ASSERT_TRUE(cable.Request("delay 0"));
    ASSERT_TRUE(m_driver.RunToEnd(kRunBoundMs)) << m_driver.LastError();
    EXPECT_EQ(m_driver.LogLines(), PassingLog());
    EXPECT_EQ(WaitVerdict(CDialogDriver::VerdictOk), CDialogDriver::VerdictOk);
}

TEST_F(OperatorTest, PortArrivalsAndRemovalDuringRunLeaveItAlone)
{
    CLoopbackCable cable(75, "--instant");
    ASSERT_TRUE(cable.IsReady()) << cable.Error();
    ASSERT_TRUE(m_driver.TypePort(cable.Name()));
    DEV_BROADCAST_PORT_A port = {};
    port.dbcp_size = sizeof(port);
    port.dbcp_devicetype = DBT_DEVTYP_PORT;
    lstrcpynA(port.dbcp_name, cable.Name().c_str(), sizeof(port.dbcp_name));
    const struct
    {
        const char* what;
        WPARAM event;
    } notices[] = {{"arrival", DBT_DEVICEARRIVAL}, {"second arrival", DBT_DEVICEARRIVAL},
                   {"removal", DBT_DEVICEREMOVECOMPLETE}};

    ASSERT_TRUE(m_driver.ClickStart());
    ASSERT_TRUE(WaitLogSize(2));
    for (const auto& notice : notices) {
        SCOPED_TRACE(notice.what);
        DWORD_PTR result = 0;
        // Sent, as the system sends it; the bound covers a transfer in progress.
        ASSERT_TRUE(::SendMessageTimeoutA(m_driver.Dialog(), WM_DEVICECHANGE, notice.event, (LPARAM)&port,
                                          SMTO_NORMAL, 10000, &result));
        EXPECT_EQ(result, (DWORD_PTR)TRUE);
        EXPECT_EQ(m_driver.FindMessageBox(), nullptr);
    }
    ASSERT_TRUE(m_driver.WaitIdle(kRunBoundMs));
    EXPECT_EQ(m_driver.LogLines(), PassingLog());
    EXPECT_EQ(m_driver.ProgressPos(), 3);
    EXPECT_EQ(WaitVerdict(CDialogDriver::VerdictOk), CDialogDriver::VerdictOk);
    CCableClient::Stats stats;
    ASSERT_TRUE(cable.GetStats(stats));
    EXPECT_EQ(stats.in, 6u * 512u) << "only the one run used the port";

    // With no run in progress a removal clears the display and keeps the port name.
    DWORD_PTR result = 0;
    ASSERT_TRUE(::SendMessageTimeoutA(m_driver.Dialog(), WM_DEVICECHANGE, DBT_DEVICEREMOVECOMPLETE, (LPARAM)&port,
                                      SMTO_NORMAL, 10000, &result));
    EXPECT_EQ(m_driver.LogLines(), std::vector<std::string>());
    EXPECT_EQ(m_driver.ProgressPos(), 0);
    EXPECT_EQ(WaitVerdict(CDialogDriver::VerdictBlank), CDialogDriver::VerdictBlank)
        << Describe(m_driver.ReadVerdictInk());
    EXPECT_EQ(m_driver.PortText(), cable.Name());
    ExpectSettled(cable);
}

TEST_F(OperatorTest, ArrivalThatCannotOpenWhileAnotherProgramIsActiveGetsABoxOwnedByTheDialog)
{
    // Another program has the focus: a window of this test process, clear of the dialog.
    HWND other = ::CreateWindowExA(0, "STATIC", "another program", WS_OVERLAPPEDWINDOW | WS_VISIBLE, 40, 480, 320,
                                   120, nullptr, nullptr, ::GetModuleHandleA(nullptr), nullptr);
    ASSERT_NE(other, nullptr);
    ::SetForegroundWindow(other);
    const bool otherActive = CDialogDriver::WaitFor(
        [other] {
            MSG msg;
            while (::PeekMessageA(&msg, nullptr, 0, 0, PM_REMOVE))
                ::DispatchMessageA(&msg);
            return ::GetForegroundWindow() == other;
        },
        5000);
    ASSERT_TRUE(otherActive) << "the test's window did not become the active one";

    // No cable's name in the box: discovery finds nothing here, so the run opens its last name,
    // which fails. The whole run, box included, happens inside the notification.
    DEV_BROADCAST_PORT_A port = {};
    port.dbcp_size = sizeof(port);
    port.dbcp_devicetype = DBT_DEVTYP_PORT;
    lstrcpynA(port.dbcp_name, "COM12", sizeof(port.dbcp_name));
    const HWND dialog = m_driver.Dialog();
    struct Sender
    {
        std::thread thread;
        ~Sender() { thread.join(); }
    } sender{std::thread([&] {
        DWORD_PTR result = 0;
        ::SendMessageTimeoutA(dialog, WM_DEVICECHANGE, DBT_DEVICEARRIVAL, (LPARAM)&port, SMTO_NORMAL, 30000, &result);
    })};

    HWND box = nullptr;
    const bool boxShown = m_driver.WaitMessageBox(10000, &box);
    EXPECT_TRUE(boxShown) << "no message box; log:\n" << Join(m_driver.LogLines());
    if (boxShown) {
        EXPECT_EQ(CDialogDriver::MessageBoxText(box), "Unable to open port");
        EXPECT_EQ(::GetWindow(box, GW_OWNER), dialog) << "the box has another owner, or none";
        // Disabled for as long as the box is up: no Stop, no Esc from under it.
        EXPECT_FALSE(::IsWindowEnabled(dialog));
        ::Sleep(300);
        EXPECT_FALSE(::IsWindowEnabled(dialog));
        EXPECT_TRUE(m_driver.CloseMessageBox(box));
    }
    EXPECT_TRUE(CDialogDriver::WaitFor([dialog] { return ::IsWindowEnabled(dialog) != FALSE; }, 5000))
        << "the dialog stayed disabled after the box";
    EXPECT_TRUE(m_driver.WaitIdle(5000));
    EXPECT_EQ(m_driver.LogLines(), std::vector<std::string>());
    ::DestroyWindow(other);
}

} // namespace
