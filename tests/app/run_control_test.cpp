// Start, Stop and device notifications driving whole runs: the flow against a recording view,
// the port on a virtual cable (COM38 never exists).
#include "recording_dlg.h"

#include <dbt.h>

#include <gtest/gtest.h>

#include <cstdio>
#include <fstream>
#include <sstream>
#include <string>
#include <vector>

#include "loopback/port_discovery.h"
#include "support/expected_log.h"
#include "support/handle_count.h"
#include "support/probe_driver.h"
#include "support/test_cable.h"

namespace {

using Strings = std::vector<std::string>;

const char kRunning[] = "buttons start off, stop on";
const char kIdle[] = "buttons start on, stop off";
const char kOpenFailed[] = "message box \"Unable to open port\" style 16"; // MB_ICONHAND

Strings Concat(Strings head, const Strings& tail)
{
    head.insert(head.end(), tail.begin(), tail.end());
    return head;
}

const Strings kReset = { "progress 0", "clear verdict", "clear log" };

// The view calls that matter in a run that read `port` from the box: these in this order, the
// last one last; whatever else the run asks of the view may come between.
Strings StartedRun(const std::string& port, const char* verdict)
{
    return { kRunning, "clear verdict", "port box -> " + port, "tab stop", verdict, kIdle };
}

Strings FailedOpen(const std::string& port)
{
    return { kRunning, "clear verdict", "port box -> " + port, kOpenFailed, kIdle };
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
    DEV_BROADCAST_HDR header = {};
    header.dbch_size = sizeof(header);
    header.dbch_devicetype = deviceType;
    return header;
}

// The log of a run that Stop ended at its next pause, pressed when the log had `lines`.
Strings CancelledLog(size_t lines)
{
    Strings log = PassingLog();
    log.resize(lines);
    log.push_back("User cancelled!");
    return log;
}

class RunControl : public ::testing::Test
{
protected:
    void TearDown() override
    {
        m_dlg.m_serial.Close();
    }

    // A cable whose name is in the port box, and the handle count with it.
    void AddCable(const std::string& options = "--instant")
    {
        ASSERT_TRUE(m_cable.Claim(options)) << m_cable.Error();
        m_dlg.portBox = m_cable.Name();
        m_handles = OwnHandleCount();
        ASSERT_GT(m_handles, 0) << "the handle table cannot be read";
    }

    // Handles the run left open since the cable was added: its port, event or thread.
    long HandlesLeft() const { return OwnHandleCount() - m_handles; }

    void StopWhenLogHas(int lines)
    {
        TestApp().onIdle = [this, lines] {
            if (!m_dlg.m_bCancelled && m_dlg.m_lstResult.GetCount() == lines)
                m_dlg.OnStop();
        };
    }

    // A run on the cable, Stop pressed when the log has `stopAt` lines (0: never): what it
    // must show and leave whichever way it ends.
    void ExpectRun(int stopAt, const char* verdict, const Strings& log, int progress)
    {
        ASSERT_NO_FATAL_FAILURE(AddCable());
        if (stopAt > 0)
            StopWhenLogHas(stopAt);

        m_dlg.OnStart();

        EXPECT_TRUE(Shows(m_dlg.calls, StartedRun(m_cable.Name(), verdict)));
        EXPECT_EQ(m_dlg.Lines(), log);
        EXPECT_EQ(m_dlg.m_progress.GetPos(), progress);
        EXPECT_EQ(m_dlg.m_bFailed, std::string(verdict) == "verdict NG");
        EXPECT_TRUE(m_dlg.m_bShowVerdict);
        EXPECT_TRUE(m_dlg.startEnabled && !m_dlg.stopEnabled);
        EXPECT_EQ(HandlesLeft(), 0);
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
    ExpectRun(4, "verdict NG", CancelledLog(4), 0); // after the first check at 9600
}

TEST_F(RunControl, StopOnDeviceDuringTheLastWriteReadPauseLetsTheRunPass)
{
    // Only the 200 ms pauses end a run; this one is the last check's write-read pause.
    Strings log = PassingLog();
    log.insert(log.begin() + 15, "User cancelled!");
    ExpectRun(15, "verdict OK", log, 3);
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
    std::ifstream in(file, std::ios::binary);
    std::stringstream after;
    after << in.rdbuf();
    in.close();
    EXPECT_EQ(after.str(), content) << "the run wrote to a file it took for a port";
    std::remove(file.c_str());

    // The failed opens left nothing open: a run on the cable still passes.
    ASSERT_NO_FATAL_FAILURE(AddCable());
    m_dlg.calls.clear();
    m_dlg.OnStart();
    EXPECT_TRUE(Shows(m_dlg.calls, StartedRun(m_cable.Name(), "verdict OK")));
    EXPECT_EQ(m_dlg.Lines(), PassingLog());
}

TEST_F(RunControl, SecondRunOnDeviceStartsCleanAfterACancelledOne)
{
    ASSERT_NO_FATAL_FAILURE(AddCable());
    StopWhenLogHas(4);
    m_dlg.OnStart();
    ASSERT_TRUE(m_dlg.m_bFailed);
    TestApp().onIdle = [this] {
        // Seen from inside the second run: nothing of the first is left.
        EXPECT_FALSE(m_dlg.m_bCancelled || m_dlg.m_bFailed || m_dlg.m_bShowVerdict);
    };
    m_dlg.calls.clear();

    m_dlg.OnStart();

    EXPECT_TRUE(Shows(m_dlg.calls, StartedRun(m_cable.Name(), "verdict OK")));
    EXPECT_EQ(m_dlg.Lines(), PassingLog());
    EXPECT_EQ(m_dlg.m_progress.GetPos(), 3);
}

TEST_F(RunControl, PortArrivalRunsDiscoveryOnlyUntilAPortWasFound)
{
    // No cable is added: each run below fails at its open, which the record shows with the
    // name it tried.
    CProbeDriver driver;
    DEV_BROADCAST_HDR port = Header(DBT_DEVTYP_PORT);
    struct Case
    {
        const char* name;
        int portFoundBefore;
        int answeringPort;
        const char* boxBefore;
        int portFoundAfter;
        Strings calls;
    };
    const Case cases[] = {
        { "discovery finds the cable", 0, 9, "", 1, Concat({ "port box <- COM9" }, FailedOpen("COM9")) },
        { "nothing answers", 0, 0, "COM38", 0, Concat({ "port box <- COM12" }, FailedOpen("COM12")) },
        { "found before: no discovery", 1, 9, "COM38", 1, FailedOpen("COM38") },
    };
    for (const Case& c : cases) {
        m_dlg.calls.clear();
        m_dlg.m_bPortFound = c.portFoundBefore;
        m_dlg.portBox = c.boxBefore;
        m_dlg.m_strPort = c.boxBefore;
        driver.ports = { { c.answeringPort, CProbeDriver::Port::Cable } };
        driver.openedPaths.clear();

        EXPECT_EQ(m_dlg.OnDeviceChange(DBT_DEVICEARRIVAL, (DWORD_PTR)&port), TRUE) << c.name;

        EXPECT_TRUE(Shows(m_dlg.calls, c.calls)) << c.name;
        EXPECT_EQ(m_dlg.m_bPortFound, c.portFoundAfter) << c.name;
        EXPECT_EQ(driver.openedPaths.empty(), c.portFoundBefore != 0) << c.name;
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
    DEV_BROADCAST_HDR port = Header(DBT_DEVTYP_PORT);

    EXPECT_EQ(m_dlg.OnDeviceChange(DBT_DEVICEREMOVECOMPLETE, (DWORD_PTR)&port), TRUE);

    EXPECT_EQ(m_dlg.calls, kReset);
    EXPECT_FALSE(m_dlg.m_bFailed || m_dlg.m_bCancelled || m_dlg.m_bShowVerdict);
    EXPECT_TRUE(m_dlg.Lines().empty());
    EXPECT_EQ(m_dlg.m_progress.GetPos(), 0);
    EXPECT_EQ(m_dlg.portBox, "COM5");
    EXPECT_EQ(m_dlg.m_strPort, "COM5");
    EXPECT_EQ(m_dlg.m_bPortFound, 1);
}

TEST_F(RunControl, OtherDeviceEventsDoNothing)
{
    CProbeDriver driver;
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

// What reaches the dialog through a run's message pump, once the first check has passed.
struct NestedEvent
{
    const char* name;
    void (*act)(CRecordingDlg& dlg);
    const char* verdict;
    bool cancelled;
};

void NestedStart(CRecordingDlg& dlg) { dlg.OnStart(); }
void NestedArrival(CRecordingDlg& dlg)
{
    DEV_BROADCAST_HDR port = Header(DBT_DEVTYP_PORT);
    dlg.OnDeviceChange(DBT_DEVICEARRIVAL, (DWORD_PTR)&port);
}
void NestedRemoval(CRecordingDlg& dlg)
{
    DEV_BROADCAST_HDR port = Header(DBT_DEVTYP_PORT);
    dlg.OnDeviceChange(DBT_DEVICEREMOVECOMPLETE, (DWORD_PTR)&port);
}
void StopThenStart(CRecordingDlg& dlg)
{
    dlg.OnStop();
    dlg.OnStart();
}

TEST_F(RunControl, EventsNestedInARunOnDeviceLeaveTheRunAndItsLogAlone)
{
    CProbeDriver driver;
    ASSERT_NO_FATAL_FAILURE(AddCable());
    const NestedEvent events[] = {
        { "Start", NestedStart, "verdict OK", false },
        { "port arrival", NestedArrival, "verdict OK", false },
        { "port removal", NestedRemoval, "verdict OK", false },
        { "Stop, then Start while Stop has enabled it", StopThenStart, "verdict NG", true },
    };
    for (const NestedEvent& event : events) {
        m_dlg.calls.clear();
        m_dlg.portBox = m_cable.Name();
        m_dlg.m_bPortFound = 0;
        driver.openedPaths.clear();
        bool done = false;
        TestApp().onIdle = [&] {
            if (!done && m_dlg.m_lstResult.GetCount() == 4) {
                done = true;
                event.act(m_dlg);
            }
        };

        m_dlg.OnStart();

        EXPECT_TRUE(Shows(m_dlg.calls, StartedRun(m_cable.Name(), event.verdict))) << event.name;
        EXPECT_EQ(m_dlg.Lines(), event.cancelled ? CancelledLog(4) : PassingLog()) << event.name;
        EXPECT_TRUE(driver.openedPaths.empty()) << event.name << ": no discovery while a run holds the port";
        EXPECT_TRUE(m_dlg.startEnabled && !m_dlg.stopEnabled) << event.name;
        TestApp().onIdle = nullptr;
    }
}

} // namespace
