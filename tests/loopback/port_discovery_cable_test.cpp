// Discovery through the real Win32 calls under Wine, on virtual cables. No port here has the
// maker's driver, so none answers; what counts is that the probe really reaches each cable,
// stops at COM12 and leaves no handle behind. Wine does not enforce share modes on COM ports,
// so a port left open shows only in the process's handle count, not in a reopen.
#include "loopback/port_discovery.h"
#include "support/handle_count.h"
#include "test_cable.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <string>
#include <vector>

namespace {

// COM13 lies beyond the ports discovery may try. Other test programs may have cables on other
// numbers at the same time, so only these are looked at.
const int kCables[] = { 3, 7, 12 };
const int kCableBeyond = 13;

std::string PathOf(int number) { return "\\\\.\\COM" + std::to_string(number); }

// The product's own calls, with a note of what the open and close did.
struct RealCallLog {
    const PortProbeCalls* real = nullptr;
    std::vector<std::string> opened;   // every path asked for
    std::vector<std::string> openedOk; // paths that gave a handle
    int stillOpen = 0;
};
RealCallLog g_log;

HANDLE WINAPI LoggedOpen(LPCSTR path, DWORD access, DWORD share, LPSECURITY_ATTRIBUTES security,
                         DWORD disposition, DWORD flags, HANDLE templateFile)
{
    HANDLE port = g_log.real->open(path, access, share, security, disposition, flags, templateFile);
    g_log.opened.push_back(path);
    if (port != INVALID_HANDLE_VALUE) {
        g_log.openedOk.push_back(path);
        ++g_log.stillOpen;
    }
    return port;
}

BOOL WINAPI LoggedClose(HANDLE port)
{
    BOOL ok = g_log.real->close(port);
    g_log.stillOpen -= ok ? 1 : 0;
    return ok;
}

class PortDiscoveryOnCables : public ::testing::Test
{
protected:
    void SetUp() override
    {
        const int numbers[] = { kCables[0], kCables[1], kCables[2], kCableBeyond };
        for (size_t i = 0; i < 4; ++i)
            ASSERT_TRUE(cables[i].Claim(numbers[i], numbers[i], "")) << cables[i].Error();
    }

    CTestCable cables[4];
};

TEST_F(PortDiscoveryOnCables, NoneAnswersAndNoHandleStaysOpen)
{
    const long before = OwnHandleCount();
    ASSERT_GT(before, 0) << "the handle table cannot be read";

    char name[16] = "";
    bool found = FindDevicePort(name);
    // Counted before any failure report, whose console output makes handles of its own.
    const long after = OwnHandleCount();

    EXPECT_FALSE(found);
    // The last name tried: a search that went on to the cable on COM13 would leave "COM13".
    EXPECT_STREQ("COM12", name);
    EXPECT_EQ(before, after);
}

TEST_F(PortDiscoveryOnCables, ProbeReachesEachCableThroughTheRealCalls)
{
    g_log = RealCallLog();
    g_log.real = g_pPortProbeCalls;
    const PortProbeCalls loggedCalls = { LoggedOpen, g_log.real->request, LoggedClose };
    g_pPortProbeCalls = &loggedCalls;
    char name[16] = "";
    EXPECT_FALSE(FindDevicePort(name));
    g_pPortProbeCalls = g_log.real;

    EXPECT_STREQ("COM12", name);
    for (int number : kCables)
        EXPECT_EQ(1, std::count(g_log.openedOk.begin(), g_log.openedOk.end(), PathOf(number))) << "COM" << number;
    EXPECT_EQ(0, std::count(g_log.opened.begin(), g_log.opened.end(), PathOf(kCableBeyond)));
    EXPECT_EQ(12u, g_log.opened.size());
    EXPECT_EQ(0, g_log.stillOpen) << "a handle was not closed";
}

} // namespace
