// Start, Stop and device notifications driving whole runs: the flow against a recording view,
// the port on a virtual cable (COM38 never exists).
#include "recording_dlg.h"

#include <dbt.h>

#include <gtest/gtest.h>

#include <cstdio>
#include <fstream>
#include <functional>
#include <sstream>
#include <string>
#include <vector>

#include "expected_log.h"
#include "support/handle_count.h"
#include "support/stand_in_ports.h"
#include "test_cable.h"

namespace {

using Strings = std::vector<std::string>;

const char kRunning[] = "buttons start off, stop on";
const char kIdle[] = "buttons start on, stop off";
const char kOpenFailed[] = "message box \"Unable to open port\" style 16"; // MB_ICONHAND

// The view calls that matter in a run that read `port` from the box: these in this order, the
// last one last; whatever else the run asks of the view may come between.
Strings StartedRun(const std::string& port, const char* verdict)
{
    return { kRunning, "clear verdict", "port box -> " + port, "tab stop", verdict, kIdle };
}

// With `found`, discovery put `port` into the box before the run.
Strings FailedOpen(const std::string& port, bool found = false)
{
    Strings calls = { kRunning, "clear verdict", "port box -> " + port, kOpenFailed, kIdle };
    if (found)
        calls.insert(calls.begin(), "port box <- " + port);
    return calls;
}

::testing::AssertionResult Shows(const Strings& calls, const Strings& expected)
{
    size_t next = 0;
    for (const std::string& call : calls)
        if (next < expected.size() && call == expected[next])
            ++next;
    if (next == expected.size() && !calls.empty() && calls.back() == expected.back())
        return ::testing::AssertionSuccess();
    std::string seen;
    for (const std::string& call : calls)
        seen += "\n  " + call;
    return ::testing::AssertionFailure() << "\"" << (next < expected.size() ? expected[next] : expected.back())
                                         << "\" missing, out of order or not last in:" << seen;
}

DEV_BROADCAST_HDR Header(DWORD deviceType)
{
    return { sizeof(DEV_BROADCAST_HDR), deviceType, 0 };
}

BOOL PortEvent(CRecordingDlg& dlg, UINT event)
{
    DEV_BROADCAST_HDR port = Header(DBT_DEVTYP_PORT);
    return dlg.OnDeviceChange(event, (DWORD_PTR)&port);
}

class RunControl : public ::testing::Test
{
protected:
    // A cable whose name is in the port box, and the handle count with it.
    void AddCable()
    {
        ASSERT_TRUE(m_cable.Claim()) << m_cable.Error();
        m_dlg.portBox = m_cable.Name();
        m_handles = OwnHandleCount();
        ASSERT_GT(m_handles, 0) << "the handle table cannot be read";
    }

    // Once, in the run's message pump, when the log has `lines` lines.
    void WhenLogHas(int lines, std::function<void()> act)
    {
        TestApp().onIdle = [this, lines, act, done = false]() mutable {
            if (!done && m_dlg.m_lstResult.GetCount() == lines) {
                done = true;
                act();
            }
        };
    }

    // A run on the cable, Stop pressed when the log has `stopAt` lines (0: never): what it
    // must show and leave whichever way it ends.
    void ExpectRun(int stopAt, const char* verdict, const Strings& log, int progress)
    {
        if (!m_cable.IsReady()) {
            ASSERT_NO_FATAL_FAILURE(AddCable());
        }
        if (stopAt > 0)
            WhenLogHas(stopAt, [this] { m_dlg.OnStop(); });
        m_dlg.calls.clear();

        m_dlg.OnStart();

        EXPECT_TRUE(Shows(m_dlg.calls, StartedRun(m_cable.Name(), verdict)));
        EXPECT_EQ(m_dlg.Lines(), log);
        EXPECT_EQ(m_dlg.m_progress.GetPos(), progress);
        EXPECT_EQ(m_dlg.m_bFailed, std::string(verdict) == "verdict NG");
        EXPECT_TRUE(m_dlg.m_bShowVerdict);
        EXPECT_TRUE(m_dlg.startEnabled && !m_dlg.stopEnabled);
        EXPECT_EQ(OwnHandleCount() - m_handles, 0) << "the run left its port, event or thread open";
    }

    CTestCable m_cable;
    CRecordingDlg m_dlg;
    long m_handles = 0;
};

TEST_F(RunControl, StartOnDevicePassesAndShowsOk)
{
    ExpectRun(0, "verdict OK", PassingLog(), 3);
}

TEST_F(RunControl, StopOnDeviceEndsTheRunAtItsNextPauseWithNg)
{
    ExpectRun(4, "verdict NG", CutLog(4, {kCancelled}), 0); // after the first check at 9600
}

TEST_F(RunControl, StopOnDeviceDuringTheLastWriteReadPauseLetsTheRunPass)
{
    // Only the 200 ms pauses end a run; this one is the last check's write-read pause.
    ExpectRun(15, "verdict OK", PassingLogWith(15, kCancelled), 3);
}

TEST_F(RunControl, PortThatCannotBeOpenedShowsTheMessageAndNoVerdict)
{
    const std::string file = "run_control_not_a_port.txt";
    const std::string content = "not a serial device\n";
    std::ofstream(file, std::ios::binary) << content;
    char fullPath[MAX_PATH] = {};
    ::GetFullPathNameA(file.c_str(), sizeof(fullPath), fullPath, nullptr);

    for (const std::string& port : { std::string(), std::string("COM38"), std::string(fullPath) }) {
        m_dlg.calls.clear();
        m_dlg.portBox = port;

        m_dlg.OnStart();

        EXPECT_TRUE(Shows(m_dlg.calls, FailedOpen(port))) << port;
        EXPECT_TRUE(m_dlg.Lines().empty()) << port;
        EXPECT_EQ(m_dlg.m_progress.GetPos(), 0) << port;
        EXPECT_FALSE(m_dlg.m_bShowVerdict) << port;
        EXPECT_TRUE(m_dlg.startEnabled && !m_dlg.stopEnabled) << port;
    }
    std::stringstream after;
    after << std::ifstream(file, std::ios::binary).rdbuf();
    EXPECT_EQ(after.str(), content) << "the run wrote to a file it took for a port";
    std::remove(file.c_str());

    // The failed opens left nothing open: a run on the cable still passes.
    ExpectRun(0, "verdict OK", PassingLog(), 3);
}

TEST_F(RunControl, SecondRunOnDeviceStartsCleanAfterACancelledOne)
{
    ExpectRun(4, "verdict NG", CutLog(4, {kCancelled}), 0);
    TestApp().onIdle = [this] {
        // Seen from inside the second run: nothing of the first is left.
        EXPECT_FALSE(m_dlg.m_bCancelled || m_dlg.m_bFailed || m_dlg.m_bShowVerdict);
    };
    ExpectRun(0, "verdict OK", PassingLog(), 3);
}

TEST_F(RunControl, PortArrivalRunsDiscoveryOnlyUntilAPortWasFound)
{
    // No cable: each run below fails at its open, which the record shows with the name it tried.
    CStandInPorts driver;
    struct Case { const char* name; int foundBefore, answeringPort; const char* box; int foundAfter; Strings calls; };
    const Case cases[] = {
        { "discovery finds the cable", 0, 9, "", 1, FailedOpen("COM9", true) },
        { "nothing answers", 0, 0, "COM38", 0, FailedOpen("COM12", true) },
        { "found before: no discovery", 1, 9, "COM38", 1, FailedOpen("COM38") },
    };
    for (const Case& c : cases) {
        m_dlg.calls.clear();
        m_dlg.m_bPortFound = c.foundBefore;
        m_dlg.portBox = m_dlg.m_strPort = c.box;
        driver.ports = { { c.answeringPort, CStandInPorts::Port::Cable } };
        driver.openedPaths.clear();

        EXPECT_EQ(PortEvent(m_dlg, DBT_DEVICEARRIVAL), TRUE) << c.name;

        EXPECT_TRUE(Shows(m_dlg.calls, c.calls)) << c.name;
        EXPECT_EQ(m_dlg.m_bPortFound, c.foundAfter) << c.name;
        EXPECT_EQ(driver.openedPaths.empty(), c.foundBefore != 0) << c.name;
        EXPECT_EQ(driver.faults, Strings()) << c.name;
    }
}

TEST_F(RunControl, PortRemovalResetsTheDisplayAndKeepsThePort)
{
    m_dlg.m_bPortFound = 1;
    m_dlg.portBox = m_dlg.m_strPort = "COM5";
    m_dlg.m_bFailed = m_dlg.m_bCancelled = m_dlg.m_bShowVerdict = true;
    m_dlg.m_lstResult.AddLine("Compare data...FAILED!");
    m_dlg.m_progress.SetPos(2);

    EXPECT_EQ(PortEvent(m_dlg, DBT_DEVICEREMOVECOMPLETE), TRUE);

    EXPECT_EQ(m_dlg.calls, (Strings{ "progress 0", "clear verdict", "clear log" }));
    EXPECT_FALSE(m_dlg.m_bFailed || m_dlg.m_bCancelled || m_dlg.m_bShowVerdict);
    EXPECT_TRUE(m_dlg.Lines().empty());
    EXPECT_EQ(m_dlg.m_progress.GetPos(), 0);
    EXPECT_EQ(m_dlg.portBox, "COM5");
    EXPECT_EQ(m_dlg.m_strPort, "COM5");
    EXPECT_EQ(m_dlg.m_bPortFound, 1);
}

TEST_F(RunControl, OtherDeviceEventsDoNothing)
{
    CStandInPorts driver;
    DEV_BROADCAST_HDR port = Header(DBT_DEVTYP_PORT);
    DEV_BROADCAST_HDR volume = Header(DBT_DEVTYP_VOLUME);
    DEV_BROADCAST_HDR interfaceClass = Header(DBT_DEVTYP_DEVICEINTERFACE);
    struct Case { const char* name; UINT event; DEV_BROADCAST_HDR* data; };
    const Case cases[] = {
        { "volume arrival", DBT_DEVICEARRIVAL, &volume },
        { "interface arrival", DBT_DEVICEARRIVAL, &interfaceClass },
        { "volume removal", DBT_DEVICEREMOVECOMPLETE, &volume },
        { "port query remove", DBT_DEVICEQUERYREMOVE, &port },
        { "port remove pending", DBT_DEVICEREMOVEPENDING, &port },
        { "device nodes changed", DBT_DEVNODES_CHANGED, nullptr },
        { "arrival without data", DBT_DEVICEARRIVAL, nullptr },
        // Events whose data is no header at all must not have it read.
        { "config changed, data not a header", DBT_CONFIGCHANGED, reinterpret_cast<DEV_BROADCAST_HDR*>(1) },
    };
    m_dlg.m_lstResult.AddLine("kept");
    for (const Case& c : cases) {
        driver.openedPaths.clear();
        EXPECT_EQ(m_dlg.OnDeviceChange(c.event, (DWORD_PTR)c.data), TRUE) << c.name;
        EXPECT_TRUE(m_dlg.calls.empty()) << c.name;
        EXPECT_TRUE(driver.openedPaths.empty()) << c.name;
    }
    EXPECT_EQ(m_dlg.Lines(), Strings{ "kept" });
}

TEST_F(RunControl, EventsNestedInARunOnDeviceLeaveTheRunAndItsLogAlone)
{
    CStandInPorts driver;
    ASSERT_NO_FATAL_FAILURE(AddCable());
    // What reaches the dialog through a run's message pump, once the first check has passed.
    struct NestedEvent { const char* name; void (*act)(CRecordingDlg& dlg); bool cancelled; };
    const NestedEvent events[] = {
        { "Start", [](CRecordingDlg& dlg) { dlg.OnStart(); }, false },
        { "port arrival", [](CRecordingDlg& dlg) { PortEvent(dlg, DBT_DEVICEARRIVAL); }, false },
        { "port removal", [](CRecordingDlg& dlg) { PortEvent(dlg, DBT_DEVICEREMOVECOMPLETE); }, false },
        { "Stop, then Start while Stop has enabled it",
          [](CRecordingDlg& dlg) {
              dlg.OnStop();
              dlg.OnStart();
          },
          true },
    };
    for (const NestedEvent& event : events) {
        SCOPED_TRACE(event.name);
        m_dlg.portBox = m_cable.Name();
        m_dlg.m_bPortFound = 0;
        driver.openedPaths.clear();
        WhenLogHas(4, [&] { event.act(m_dlg); });

        if (event.cancelled)
            ExpectRun(0, "verdict NG", CutLog(4, {kCancelled}), 0);
        else
            ExpectRun(0, "verdict OK", PassingLog(), 3);
        EXPECT_TRUE(driver.openedPaths.empty()) << "no discovery while a run holds the port";
    }
}

} // namespace
