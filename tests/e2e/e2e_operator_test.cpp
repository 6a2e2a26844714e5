// The shipped program under an operator's hands, from outside (virtual cables COM72-COM79):
// Stop at every pause and during a transfer, Start pressed again, and port devices coming and
// going during a run or while another program has the focus.
#include "e2e_kit.h"

#include <dbt.h>

#include <initializer_list>
#include <thread>
#include <utility>

namespace
{
const DWORD kSlowRunBoundMs = 40000;
// With this echo delay every read blocks the program for 1.5 s without pumping messages, so
// clicks posted during a read are all handled by the first pass of the pump after it: the
// next pause.
const char kSlowEcho[] = "--instant --delay 1500";
const DWORD kIntoTheRead = 400; // after the write line: past the 100 ms pause, well before the echo

// A port's arrival or removal, sent as the system sends it; the bound covers a transfer in progress.
bool SendDeviceChange(HWND dialog, WPARAM event, const std::string& name, DWORD timeoutMs = 10000)
{
    DEV_BROADCAST_PORT_A port = {};
    port.dbcp_size = sizeof(port);
    port.dbcp_devicetype = DBT_DEVTYP_PORT;
    lstrcpynA(port.dbcp_name, name.c_str(), sizeof(port.dbcp_name));
    DWORD_PTR result = 0;
    return ::SendMessageTimeoutA(dialog, WM_DEVICECHANGE, event, (LPARAM)&port, SMTO_NORMAL, timeoutMs, &result) &&
           result == TRUE;
}

class OperatorTest : public E2eTest
{
protected:
    bool WaitLogSize(size_t size, DWORD timeoutMs = 20000) const
    {
        return CDialogDriver::WaitFor([&] { return m_driver.LogCount() >= (int)size; }, timeoutMs, 5);
    }

    bool WaitVerdictDrawn(DWORD timeoutMs)
    {
        return CDialogDriver::WaitFor([this] { return m_driver.ReadVerdict() != CDialogDriver::VerdictBlank; },
                                      timeoutMs);
    }

    // Starts runs on the slow-echo cable until the clicks could be posted while the program
    // was blocked in the read of `block` (1 to 6). A loaded machine can let that read end
    // before the clicks are in; such a run is let finish and another started, three at most.
    bool RunAndClickDuringRead(int block, std::initializer_list<int> ids)
    {
        for (int attempt = 0; attempt < 3; ++attempt) {
            if (attempt > 0 && !(m_driver.WaitIdle(kSlowRunBoundMs) && WaitVerdictDrawn(kSlowRunBoundMs)))
                return false;
            if (!m_cable.Request("reset") || !m_cable.Request("delay 1500") || !m_driver.ClickStart() ||
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

    // The run ends cancelled in the pause after `block` (0: before the first): NG, Start
    // enabled again, and nothing more was sent.
    void ExpectCancelled(int block, int progress)
    {
        ASSERT_TRUE(m_driver.WaitIdle(kSlowRunBoundMs));
        ExpectShown(CutLog(kCompareLine[block] + 1, {kCancelled}), progress, CDialogDriver::VerdictNg, 10000);
        EXPECT_EQ(Stats().in, 512u * block);
        ExpectSettled();
    }
};

struct Pause
{
    const char* name;
    int block; // whose read precedes the pause: 0 (before 9600), 1 (between its checks), ..., 5
    int progress;
};

class StopInPauseTest : public OperatorTest, public ::testing::WithParamInterface<Pause>
{
};

TEST_P(StopInPauseTest, EndsTheRunThereWithNg)
{
    const Pause& p = GetParam();
    ASSERT_TRUE(OnCable(72 + p.block, kSlowEcho)) << m_cable.Error();
    if (p.block == 0) {
        ASSERT_TRUE(m_driver.ClickStart());
        // The first pause follows the begin line with no transfer before it: a click queued
        // behind Start (as a quick second click would be) is handled there.
        ASSERT_TRUE(m_driver.PostCommand(IDC_STOP));
    } else {
        ASSERT_TRUE(RunAndClickDuringRead(p.block, {IDC_STOP})) << Join(m_driver.LogLines());
    }
    ExpectCancelled(p.block, p.progress);
}

INSTANTIATE_TEST_SUITE_P(Pauses, StopInPauseTest,
                         ::testing::Values(Pause{"Before9600", 0, 0}, Pause{"Between9600Checks", 1, 0},
                                           Pause{"Before57600", 2, 1}, Pause{"Between57600Checks", 3, 1},
                                           Pause{"Before115200", 4, 2}, Pause{"Between115200Checks", 5, 2}),
                         ::testing::PrintToStringParamName());

TEST_F(OperatorTest, StopDuringTransferWaitsForItThenEndsAtNextPause)
{
    ASSERT_TRUE(OnCable(78, kSlowEcho)) << m_cable.Error();
    // The read blocks the dialog: it cannot even answer until the echo is in.
    ASSERT_TRUE(RunAndClickDuringRead(3, {IDC_STOP})) << "the dialog answered during every read";
    EXPECT_TRUE(m_driver.IsEnabled(IDC_STOP)) << "Stop was handled during the read";
    ExpectCancelled(3, 1);
}

TEST_F(OperatorTest, StopInLastShortPauseStillEndsOk)
{
    // The 100 ms pause between the last write and its read does not look at Stop. Hitting it
    // takes timing, so a run whose Stop landed elsewhere is tried again.
    ASSERT_TRUE(OnCable(79)) << m_cable.Error();
    const std::vector<std::string> expected = PassingLogWith(kCompareLine[6], kCancelled);

    std::vector<std::string> log;
    for (int attempt = 0; attempt < 4 && log != expected; ++attempt) {
        ASSERT_TRUE(m_driver.ClickStart());
        ASSERT_TRUE(WaitLogSize(kWriteLine[6] + 1)) << Join(m_driver.LogLines());
        m_driver.ClickStop();
        // Stop makes the buttons idle at once; the run has ended when its verdict is drawn.
        ASSERT_TRUE(WaitVerdictDrawn(kRunBoundMs)) << Join(m_driver.LogLines());
        ASSERT_TRUE(m_driver.WaitIdle(kRunBoundMs));
        ::Sleep(300); // a Stop that missed the run lands after it
        log = m_driver.LogLines();
    }
    ExpectShown(expected, 3, CDialogDriver::VerdictOk);
    ExpectSettled();
}

TEST_F(OperatorTest, StartAgainDuringRunIsIgnored)
{
    ASSERT_TRUE(OnCable(77)) << m_cable.Error();
    ASSERT_TRUE(m_driver.ClickStart());
    ASSERT_TRUE(WaitLogSize(2));
    // Start is disabled; a click queued before that (or a key press) still gets through.
    for (int i = 0; i < 3; ++i) {
        ASSERT_TRUE(m_driver.PostCommand(IDC_START));
        ::Sleep(150);
    }
    ASSERT_TRUE(m_driver.WaitIdle(kRunBoundMs)) << "message box: " << (m_driver.FindMessageBox() != nullptr);
    ExpectPassed();
    EXPECT_EQ(Stats().in, 6u * 512u) << "a second run started";
    ExpectSettled();
}

TEST_F(OperatorTest, StartRightAfterStopDoesNotRestartTheCancelledRun)
{
    ASSERT_TRUE(OnCable(76, kSlowEcho)) << m_cable.Error();
    // Stop, then Start, which Stop enables before the run has reached its pause.
    ASSERT_TRUE(RunAndClickDuringRead(1, {IDC_STOP, IDC_START}));
    ExpectCancelled(1, 0);

    // The next Start is a fresh run from an empty log.
    ASSERT_TRUE(m_cable.Request("delay 0"));
    RunPasses();
}

TEST_F(OperatorTest, PortArrivalsAndRemovalDuringRunLeaveItAlone)
{
    ASSERT_TRUE(OnCable(75)) << m_cable.Error();
    const std::pair<const char*, WPARAM> notices[] = {
        {"arrival", DBT_DEVICEARRIVAL}, {"second arrival", DBT_DEVICEARRIVAL}, {"removal", DBT_DEVICEREMOVECOMPLETE}};

    ASSERT_TRUE(m_driver.ClickStart());
    ASSERT_TRUE(WaitLogSize(2));
    for (const auto& notice : notices) {
        SCOPED_TRACE(notice.first);
        ASSERT_TRUE(SendDeviceChange(m_driver.Dialog(), notice.second, m_cable.Name()));
        EXPECT_EQ(m_driver.FindMessageBox(), nullptr);
    }
    ASSERT_TRUE(m_driver.WaitIdle(kRunBoundMs));
    ExpectPassed();
    EXPECT_EQ(Stats().in, 6u * 512u) << "only the one run used the port";

    // With no run in progress a removal clears the display and keeps the port name.
    ASSERT_TRUE(SendDeviceChange(m_driver.Dialog(), DBT_DEVICEREMOVECOMPLETE, m_cable.Name()));
    ExpectShown({}, 0, CDialogDriver::VerdictBlank);
    EXPECT_EQ(m_driver.PortText(), m_cable.Name());
    ExpectSettled();
}

TEST_F(OperatorTest, ArrivalThatCannotOpenWhileAnotherProgramIsActiveGetsABoxOwnedByTheDialog)
{
    // Another program has the focus: a window of this test process, clear of the dialog.
    HWND other = ::CreateWindowExA(0, "STATIC", "another program", WS_OVERLAPPEDWINDOW | WS_VISIBLE, 40, 480, 320,
                                   120, nullptr, nullptr, ::GetModuleHandleA(nullptr), nullptr);
    ASSERT_NE(other, nullptr);
    ::SetForegroundWindow(other);
    const auto active = [other] { DispatchQueued(); return ::GetForegroundWindow() == other; };
    ASSERT_TRUE(CDialogDriver::WaitFor(active, 5000)) << "the test's window did not become the active one";

    // No cable's name in the box: discovery finds nothing here, so the run opens its last name,
    // which fails. The whole run, box included, happens inside the notification.
    const HWND dialog = m_driver.Dialog();
    std::thread sender([dialog] { SendDeviceChange(dialog, DBT_DEVICEARRIVAL, "COM12", 30000); });

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
    sender.join();
    ::DestroyWindow(other);
}

} // namespace
