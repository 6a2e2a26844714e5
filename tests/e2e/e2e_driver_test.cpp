// The Windows path from outside: the shipped program on ports that the virtual cable driver
// serves, with no stand-in for the maker's request and nothing typed. Discovery finds the
// maker's cable by the request only its driver answers; a cable plugged in while the dialog
// waits is announced to every top-level window and starts a run; a cable pulled mid-run fails
// the run's requests as a USB serial driver does after a surprise removal.
#include "e2e_kit.h"

#include "support/responsiveness_probe.h"

#include <cstdio>
#include <memory>

namespace
{
struct DiscoveryCase
{
    const char* name;
    int maker;              // the maker's cable, 0 for none
    std::vector<int> plain; // ports of another make
    const char* shown;      // in the port box after start-up
};

const DiscoveryCase kDiscovery[] = {
    {"MakersCableAmongPlainPorts", 5, {3, 4, 6}, "COM5"},
    {"MakersCableAtCom12", 12, {5}, "COM12"},
    {"NoMakersCableLeavesTheBoxEmpty", 0, {3, 5}, ""},
};

class DriverDiscovery : public ProgramTest, public ::testing::WithParamInterface<DiscoveryCase>
{
protected:
    void SetUp() override
    {
        const DiscoveryCase& c = GetParam();
        if (c.maker) {
            ASSERT_TRUE(Add(c.maker, ""));
        }
        for (int com : c.plain)
            ASSERT_TRUE(Add(com, "--plain"));
        ProgramTest::SetUp();
    }

    bool Add(int com, const std::string& options)
    {
        m_cables.emplace_back(new CTestCable(CCableClient::Driver));
        return m_cables.back()->Claim(com, com, options + " --instant");
    }

    std::vector<std::unique_ptr<CTestCable>> m_cables;
};

TEST_P(DriverDiscovery, BoxShowsTheFoundPortWithNothingTyped)
{
    EXPECT_EQ(m_driver.PortText(), GetParam().shown);
    EXPECT_TRUE(m_driver.IsIdle());
    for (auto& cable : m_cables)
        EXPECT_EQ(cable->Holders(), 0) << cable->Name() << " was left open by discovery";
}

INSTANTIATE_TEST_SUITE_P(Driver, DriverDiscovery, ::testing::ValuesIn(kDiscovery), ::testing::PrintToStringParamName());

class DriverCable : public E2eTest
{
protected:
    DriverCable() : m_driverCable(CCableClient::Driver) {}
    CTestCable m_driverCable;
};

// A station's day: a cable plugged in runs by itself; pulled, it clears the display; the next
// one, on the same socket and so the same number, runs by itself again.
TEST_F(DriverCable, EachCablePluggedInWhileTheDialogWaitsRunsToOk)
{
    ASSERT_EQ(m_driver.PortText(), "") << "a maker's cable was there before the test";
    ASSERT_TRUE(m_driverCable.Claim(7, 7, "")) << m_driverCable.Error();
    for (int cable = 1; cable <= 2; ++cable) {
        SCOPED_TRACE("cable " + std::to_string(cable));
        if (cable == 1)
            m_driverCable.Announce(true);
        else
            ASSERT_TRUE(m_driverCable.Plug());
        ASSERT_TRUE(m_driver.WaitRunStarted(5000))
            << "the arrival started no run; box \"" << CDialogDriver::MessageBoxText(m_driver.FindMessageBox())
            << "\", holders " << m_driverCable.Holders() << "\n" << Join(m_driver.LogLines());
        ASSERT_TRUE(m_driver.WaitIdle(kRunBoundMs)) << Join(m_driver.LogLines());
        EXPECT_EQ(m_driver.FindMessageBox(), nullptr);
        EXPECT_EQ(m_driver.PortText(), "COM7");
        ExpectShown(PassingLog(), 3, CDialogDriver::VerdictOk);
        EXPECT_EQ(m_driverCable.Holders(), 0);
        if (cable == 1) {
            ASSERT_TRUE(m_driverCable.Pull());
            EXPECT_TRUE(WaitFor([&] { return m_driver.LogCount() == 0; }, 3000)) << "the pull left the display";
        }
    }
}

struct PullCase
{
    const char* name;
    int bytes; // the cable goes once the far end has received this many
    std::vector<std::string> uartLog;
    std::vector<std::string> bridgeLog;
    int progress;
};

// The pull comes while a block goes out: a UART's write is still pending, so it fails; a
// bridge's was done once the block was in its buffer, and only the read fails.
const PullCase kPulls[] = {
    {"At9600", 256, CutLog(2, {kWriteFailed, kReadFailed}), CutLog(3, {kReadFailed}), 0},
    {"At57600", 1280, CutLog(7, {kWriteFailed, kReadFailed}), CutLog(8, {kReadFailed}), 1},
    {"At115200", 2304, CutLog(12, {kWriteFailed, kReadFailed}), CutLog(13, {kReadFailed}), 2},
};

class DriverPull : public DriverCable, public ::testing::WithParamInterface<PullCase>
{
};

TEST_P(DriverPull, RunEndsNgWithoutHangingAndLetsGoOfThePort)
{
    const PullCase& c = GetParam();
    ASSERT_TRUE(m_driverCable.Claim(8, 8, "--hangup-after " + std::to_string(c.bytes))) << m_driverCable.Error();
    ASSERT_TRUE(m_driver.TypePort(m_driverCable.Name()));
    ASSERT_TRUE(m_driver.RunToEnd(kRunBoundMs)) << m_driver.LastError() << "\n" << Join(m_driver.LogLines());
    const bool bridge = CCableClient::FlavourFromEnvironment() == "bridge";
    ExpectShown(bridge ? c.bridgeLog : c.uartLog, c.progress, CDialogDriver::VerdictNg);
    EXPECT_TRUE(WaitFor([&] { return m_driverCable.Holders() == 0; }, 2000)) << "the pulled port is still held";

    // The system's removal notice comes after the run has failed: it clears the display.
    m_driverCable.Announce(false);
    EXPECT_TRUE(m_driver.IsResponsive(3000));
    EXPECT_TRUE(m_driver.LogLines().empty()) << Join(m_driver.LogLines());
    EXPECT_EQ(m_driver.ProgressPos(), 0);
    EXPECT_TRUE(m_driver.IsIdle());
}

INSTANTIATE_TEST_SUITE_P(Driver, DriverPull, ::testing::ValuesIn(kPulls), ::testing::PrintToStringParamName());

// A read's bound, and the grace that the port's Close gives a listener whose wait ignores its
// stop: the longest the dialog may leave a message unanswered outside a driver's own slow close.
const DWORD kQuietBoundMs = 2000 + 1000;

struct FaultCase
{
    const char* name;
    const char* words;      // the driver's switches for the cable
    int pullAt;             // the cable goes once the far end has this many bytes; 0: pulled after the run
    std::vector<std::string> log; // of the run on the faulty cable; empty: any that ends in a failed step
    DWORD closeMs;          // how long the driver itself takes to close the pulled port
    bool replugPasses;      // a fault that stays with the cable fails the next run too
};

const char kRateRefused[] = "Set baud rate to 57600 bps...\tFAILED!";

// Faults that USB bridges' drivers are known for; most cables are pulled inside the first block at
// 57600 bps, where the write may or may not have got its block out.
const FaultCase kFaults[] = {
    {"RemovalCode5", "--removal-code 5", 1280, {}, 0, true},
    {"RemovalCode22", "--removal-code 22", 1280, {}, 0, true},
    {"RemovalCode31", "--removal-code 31", 1280, {}, 0, true},
    {"RemovalCode995", "--removal-code 995", 1280, {}, 0, true},
    // Echoes held back keep the port quiet, so the listener's wait is pending at the pull.
    {"WaitNeverEndedAfterThePull", "--sticky-wait --delay 1000", 1280, {}, 0, true},
    {"SlowCloseOfThePulledPort", "--slow-close 2500", 1280, {}, 2500, true},
    {"EventWaitRefused", "--wait-refused", 1280, {}, 0, true},
    {"LongLatencyTimer", "--latency 40", 1280, {}, 0, true},
    // Of the line settings the run writes, the second rate's (see RefusedSetting).
    {"LineSettingRefusedAt57600", "--setstate-fails", 0, CutLog(6, {kRateRefused}), 0, false},
};

class DriverFault : public DriverCable, public ::testing::WithParamInterface<FaultCase>
{
protected:
    // Which of a run's line settings is rate `rate`'s: open writes the port's stored defaults,
    // where the system has them, and flow control writes the setting next.
    static int RefusedSetting(const char* port, int rate)
    {
        COMMCONFIG config = {};
        config.dwSize = sizeof config;
        DWORD size = sizeof config;
        return (::GetDefaultCommConfigA(port, &config, &size) ? 2 : 1) + rate;
    }

    // One run started by the cable's arrival, to its verdict. The announcement returns only
    // once every window has handled it or timed out, by when a short run may be over already.
    void RunsByItselfTo(CDialogDriver::Verdict verdict)
    {
        ASSERT_TRUE(WaitFor([&] { return !m_driver.IsEnabled(IDC_START) || m_driver.LogCount() > 0; }, 5000))
            << "the arrival started no run";
        ASSERT_TRUE(m_driver.WaitIdle(kRunBoundMs)) << Join(m_driver.LogLines());
        EXPECT_EQ(WaitVerdict(verdict), verdict) << Join(m_driver.LogLines());
        EXPECT_EQ(m_driver.FindMessageBox(), nullptr);
    }
};

// A station keeps going: the faulty cable's run ends NG with a failed step and lets go of the
// port, and the next cable plugged in on the same number runs by itself, without a restart.
TEST_P(DriverFault, FaultyCableEndsNgAndTheNextOnePluggedInRunsByItself)
{
    const FaultCase& c = GetParam();
    std::string words = c.words + (c.pullAt ? " --hangup-after " + std::to_string(c.pullAt) : "");
    if (words == "--setstate-fails")
        words += " " + std::to_string(RefusedSetting("COM6", 2));
    ASSERT_TRUE(m_driverCable.Claim(6, 6, words)) << m_driverCable.Error();
    CResponsivenessProbe probe(m_driver.Dialog());
    m_driverCable.Announce(true);
    RunsByItselfTo(CDialogDriver::VerdictNg);
    const std::vector<std::string> log = m_driver.LogLines();
    if (!c.log.empty()) {
        EXPECT_EQ(log, c.log) << Join(log);
    }
    ASSERT_FALSE(log.empty());
    EXPECT_NE(log.back().find("FAILED!"), std::string::npos) << Join(log);

    if (c.pullAt)
        m_driverCable.Announce(false);
    else
        ASSERT_TRUE(m_driverCable.Pull());
    EXPECT_TRUE(WaitFor([&] { return m_driverCable.Holders() == 0; }, c.closeMs + 2000)) << "the pulled port is still held";
    EXPECT_TRUE(WaitFor([&] { return m_driver.LogCount() == 0; }, 3000)) << "the removal left the display";
    ASSERT_TRUE(m_driverCable.Plug());
    RunsByItselfTo(c.replugPasses ? CDialogDriver::VerdictOk : CDialogDriver::VerdictNg);
    EXPECT_EQ(m_driver.LogLines(), c.replugPasses ? PassingLog() : c.log) << Join(m_driver.LogLines());
    EXPECT_EQ(m_driver.PortText(), "COM6");
    probe.Stop();
    RecordProperty("longest_unanswered_ms", std::to_string(probe.LongestMs()));
    std::printf("longest unanswered stretch: %lu ms\n", (unsigned long)probe.LongestMs());
    EXPECT_LE(probe.LongestMs(), kQuietBoundMs + c.closeMs) << "the dialog went unanswered";
    EXPECT_GT(probe.Polls(), 100u) << "the probe did not watch the runs";
    EXPECT_TRUE(m_driver.IsIdle());
    EXPECT_TRUE(WaitFor([&] { return m_driverCable.Holders() == 0; }, 2000));
}

INSTANTIATE_TEST_SUITE_P(Driver, DriverFault, ::testing::ValuesIn(kFaults), ::testing::PrintToStringParamName());
} // namespace
