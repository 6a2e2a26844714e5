// The baud-rate loopback test on a virtual cable: the log it writes, the progress it counts,
// where Stop ends it, and the bytes that went over the line.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "baudrate_harness.h"
#include "loopback/baudrate_test.h"
#include "serial/api_ledger.h"

namespace {

TEST_F(BaudrateHarness, PassingRunOnDeviceLogsEveryStepAndSendsTheTestData)
{
    ASSERT_NO_FATAL_FAILURE(OpenCable());
    // A line setting of another kind first, so the cable notes the run's setting of 9600 8N1.
    m_dlg.m_serial.Configure(4800, 7, EVENPARITY, TWOSTOPBITS);
    // What the generator gives next, without drawing it from the process's sequence.
    const std::vector<uint8_t> expected = Bytes(baudrate_test::TestDataGenerator(), 6 * 512);

    EXPECT_TRUE(m_dlg.RunBaudrateTest());

    EXPECT_EQ(Lines(), PassingLog());
    EXPECT_EQ(m_dlg.m_progress.GetPos(), 3);
    EXPECT_EQ(m_dlg.m_progress.SendMessage(PBM_GETRANGE, TRUE), 0);
    EXPECT_EQ(m_dlg.m_progress.SendMessage(PBM_GETRANGE, FALSE), 3);
    EXPECT_EQ(m_cable->Record(), expected) << "the line carried other bytes than the generator's";
    CCableClient::Stats stats;
    ASSERT_TRUE(m_cable->GetStats(stats));
    const std::vector<std::string> rates(stats.settings.end() - std::min<size_t>(3, stats.settings.size()),
                                         stats.settings.end());
    EXPECT_EQ(rates, (std::vector<std::string>{ "9600-8N1-none", "57600-8N1-none", "115200-8N1-none" }));
    EXPECT_FALSE(stats.rtscts || stats.ixon || stats.ixoff);
}

// Faults of the line, by the byte offset of the received stream that comes back changed:
// blocks 0 and 1 are the two checks at 9600, 2 and 3 at 57600.
struct LineFault { const char* name; const char* options; size_t passingLines; const char* failedLine; int progress; };

TEST_F(BaudrateHarness, LineFaultOnDeviceStopsTheRunAtTheFailingCheck)
{
    const LineFault faults[] = {
        { "corrupt first check at 57600", "--instant --corrupt 1030", 8, kCompareFailed, 1 },
        { "corrupt second check at 9600 only", "--instant --corrupt 1023", 5, kCompareFailed, 0 },
        { "corrupt second check at 57600 only", "--instant --corrupt 1536", 10, kCompareFailed, 1 },
        { "short echo", "--instant --echo-only 700", 5, kReadFailed, 0 },
    };
    for (const LineFault& fault : faults) {
        OpenCable(fault.options);
        m_dlg.m_lstResult.ResetContent();

        EXPECT_FALSE(m_dlg.RunBaudrateTest()) << fault.name;

        EXPECT_EQ(Lines(), CutLog(fault.passingLines, { fault.failedLine })) << fault.name;
        EXPECT_EQ(m_dlg.m_progress.GetPos(), fault.progress) << fault.name;
    }
}

// A rate the driver refuses leaves the line at the one before, where the plug passes as well:
// the cable must not pass untested at that rate and the ones after it.
TEST_F(BaudrateHarness, RateTheDriverRefusesFailsItsStepAndEndsTheRun)
{
    CApiLedger ledger;
    ASSERT_NO_FATAL_FAILURE(OpenCable());
    ledger.Fail("SetCommState", ERROR_GEN_FAILURE, 2); // 9600's setting is the first

    EXPECT_FALSE(m_dlg.RunBaudrateTest());

    EXPECT_EQ(Lines(), CutLog(6, { "Set baud rate to 57600 bps...\tFAILED!" }));
    EXPECT_EQ(m_dlg.m_progress.GetPos(), 1);
    m_dlg.m_serial.Close(); // before the ledger puts the real calls back
}

TEST_F(BaudrateHarness, NoEchoOnDeviceFailsTheFirstReadAfterItsTimeOut)
{
    ASSERT_NO_FATAL_FAILURE(OpenCable("--noecho"));
    const DWORD start = ::GetTickCount();

    EXPECT_FALSE(m_dlg.RunBaudrateTest());

    const DWORD elapsed = ::GetTickCount() - start;
    EXPECT_EQ(Lines(), CutLog(3, { kReadFailed }));
    EXPECT_EQ(m_dlg.m_progress.GetPos(), 0);
    EXPECT_GE(elapsed, 2300u) << "200 ms pause, write, 100 ms pause, 2000 ms read time-out";
}

TEST_F(BaudrateHarness, StopBeforeTheThirdRateOnDeviceEndsTheRunWithoutReconfiguring)
{
    ASSERT_NO_FATAL_FAILURE(OpenCable());
    EXPECT_FALSE(RunStoppedAt(11));

    EXPECT_EQ(Lines(), CutLog(11, { kCancelled }));
    EXPECT_EQ(m_dlg.m_progress.GetPos(), 2);
    CCableClient::Stats stats;
    ASSERT_TRUE(m_cable->GetStats(stats));
    EXPECT_NE(stats.baud, 115200u);
    EXPECT_EQ(stats.in, 4u * 512u);
}

TEST_F(BaudrateHarness, StopDuringTheLastEchoPauseOnDeviceLetsTheRunPass)
{
    ASSERT_NO_FATAL_FAILURE(OpenCable());
    // Line 15 is the write line of the last check: the flag goes up in its 100 ms pause.
    EXPECT_TRUE(RunStoppedAt(15));

    EXPECT_EQ(Lines(), PassingLogWith(15, kCancelled));
    EXPECT_EQ(m_dlg.m_progress.GetPos(), 3);
}

TEST_F(BaudrateHarness, StopDuringAnEarlierEchoPauseOnDeviceEndsTheRunAtTheNextRatePause)
{
    ASSERT_NO_FATAL_FAILURE(OpenCable());
    EXPECT_FALSE(RunStoppedAt(3));

    EXPECT_EQ(Lines(), CutLog(3, { kCancelled, "Compare data...\tOK!" }));
    EXPECT_EQ(m_dlg.m_progress.GetPos(), 0);
}

} // namespace
