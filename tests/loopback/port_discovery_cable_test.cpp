// Discovery through the real Win32 calls under Wine, on virtual cables. No port here has the
// maker's driver, so none answers; what counts is that the probe really reaches each cable,
// stops at COM12 and leaves no handle behind.
//
// Wine does not enforce share modes on COM ports (an exclusive open succeeds beside any other
// handle), so a port left open shows only in the process's handle count, not in a reopen.

// winsock2.h has to come before windows.h.
#include "support/cable_client.h"

#include "loopback/port_discovery.h"

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

// Handles this process holds, from the system's handle table.
long CountOwnHandles()
{
    struct Entry {
        PVOID object;
        ULONG_PTR processId;
        ULONG_PTR handle;
        ULONG access;
        USHORT creatorBackTrace;
        USHORT objectType;
        ULONG attributes;
        ULONG reserved;
    };
    struct Table {
        ULONG_PTR count;
        ULONG_PTR reserved;
        Entry entries[1];
    };
    typedef LONG(NTAPI * QuerySystemInformation)(ULONG, PVOID, ULONG, PULONG);
    const ULONG kExtendedHandleInformation = 64;
    QuerySystemInformation query = reinterpret_cast<QuerySystemInformation>(
        reinterpret_cast<void*>(::GetProcAddress(::GetModuleHandleA("ntdll.dll"), "NtQuerySystemInformation")));
    if (query == NULL)
        return -1;
    std::vector<ULONG_PTR> buffer(1 << 18);
    ULONG length = 0;
    if (query(kExtendedHandleInformation, buffer.data(), static_cast<ULONG>(buffer.size() * sizeof(ULONG_PTR)),
              &length) != 0)
        return -1;
    const Table* table = reinterpret_cast<const Table*>(buffer.data());
    long own = 0;
    for (ULONG_PTR i = 0; i < table->count; ++i)
        if (table->entries[i].processId == ::GetCurrentProcessId())
            ++own;
    return own;
}

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

BOOL WINAPI LoggedRequest(HANDLE port, DWORD code, LPVOID in, DWORD inSize, LPVOID out, DWORD outSize,
                          LPDWORD bytesReturned, LPOVERLAPPED overlapped)
{
    return g_log.real->request(port, code, in, inSize, out, outSize, bytesReturned, overlapped);
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
        ASSERT_TRUE(cable.Connected()) << "no cable server (CABLE_CONTROL)";
        for (int number : kCables)
            Add(number);
        Add(kCableBeyond);
    }

    void TearDown() override
    {
        for (int number : added)
            cable.Command("remove " + std::to_string(number));
    }

    void Add(int number)
    {
        ASSERT_TRUE(cable.Ok("add " + std::to_string(number))) << "COM" << number;
        added.push_back(number);
    }

    CCableClient cable;
    std::vector<int> added;
};

TEST_F(PortDiscoveryOnCables, NoneAnswersAndNoHandleStaysOpen)
{
    const long before = CountOwnHandles();
    ASSERT_GT(before, 0) << "the handle table cannot be read";

    char name[16] = "";
    bool found = FindDevicePort(name);
    // Counted before any failure report, whose console output makes handles of its own.
    const long after = CountOwnHandles();

    EXPECT_FALSE(found);
    // The last name tried: a search that went on to the cable on COM13 would leave "COM13".
    EXPECT_STREQ("COM12", name);
    EXPECT_EQ(before, after);
}

TEST_F(PortDiscoveryOnCables, ProbeReachesEachCableThroughTheRealCalls)
{
    const PortProbeCalls loggedCalls = { LoggedOpen, LoggedRequest, LoggedClose };
    g_log = RealCallLog();
    g_log.real = g_pPortProbeCalls;
    g_pPortProbeCalls = &loggedCalls;
    char name[16] = "";
    bool found = FindDevicePort(name);
    g_pPortProbeCalls = g_log.real;

    EXPECT_FALSE(found);
    EXPECT_STREQ("COM12", name);
    for (int number : kCables)
        EXPECT_EQ(1, std::count(g_log.openedOk.begin(), g_log.openedOk.end(), PathOf(number))) << "COM" << number;
    EXPECT_EQ(0, std::count(g_log.opened.begin(), g_log.opened.end(), PathOf(kCableBeyond)));
    EXPECT_EQ(12u, g_log.opened.size());
    EXPECT_EQ(0, g_log.stillOpen) << "a handle was not closed";
}

} // namespace
