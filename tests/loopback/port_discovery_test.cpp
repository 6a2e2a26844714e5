// Discovery against a stand-in driver: which ports are opened and asked, what comes back,
// and that every handle and probe buffer is released in its turn.
#include "loopback/port_discovery.h"

#include <gtest/gtest.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <map>
#include <new>
#include <set>
#include <string>
#include <vector>

namespace {

enum class Port { Absent, HeldElsewhere, OtherMake, Cable };

// One COM number space as Windows shows it, plus a log of what the probe did to it.
struct FakeDriver {
    std::map<int, Port> ports;
    bool failAllocations = false;

    std::vector<std::string> openedPaths; // every open asked for, in order
    std::vector<int> asked;               // ports that got the request, in order
    std::vector<std::string> faults;      // anything a real driver or heap would mind
    std::set<void*> liveBuffers;          // array allocations made during the call
    int buffersAllocated = 0;
    int openPort = 0;                     // the one port now open, 0 for none
};

FakeDriver* g_driver = nullptr;

HANDLE HandleOf(int number) { return reinterpret_cast<HANDLE>(static_cast<INT_PTR>(0x100 + number)); }
int NumberOf(HANDLE handle) { return static_cast<int>(reinterpret_cast<INT_PTR>(handle)) - 0x100; }

// Windows opens COM1..COM9 by their bare names too, COM10 and above only as "\\.\COMn".
int ParsePortPath(const char* path)
{
    int number = 0;
    char rest = 0;
    if (std::sscanf(path, "\\\\.\\COM%d%c", &number, &rest) == 1)
        return number;
    if (std::sscanf(path, "COM%d%c", &number, &rest) == 1 && number <= 9)
        return number;
    return 0;
}

HANDLE WINAPI FakeOpen(LPCSTR path, DWORD access, DWORD share, LPSECURITY_ATTRIBUTES security,
                       DWORD disposition, DWORD flags, HANDLE templateFile)
{
    FakeDriver& d = *g_driver;
    d.openedPaths.push_back(path);
    if (access != (GENERIC_READ | GENERIC_WRITE) || share != (FILE_SHARE_READ | FILE_SHARE_WRITE) ||
        security != NULL || disposition != OPEN_EXISTING || flags != 0 || templateFile != NULL)
        d.faults.push_back(std::string("open mode of ") + path);
    if (d.openPort != 0)
        d.faults.push_back(std::string("opened ") + path + " while another port was open");
    int number = ParsePortPath(path);
    auto port = d.ports.find(number);
    if (number == 0 || port == d.ports.end() || port->second == Port::Absent) {
        ::SetLastError(ERROR_FILE_NOT_FOUND);
        return INVALID_HANDLE_VALUE;
    }
    if (port->second == Port::HeldElsewhere) {
        ::SetLastError(ERROR_ACCESS_DENIED);
        return INVALID_HANDLE_VALUE;
    }
    d.openPort = number;
    return HandleOf(number);
}

BOOL WINAPI FakeRequest(HANDLE handle, DWORD code, LPVOID in, DWORD inSize, LPVOID out, DWORD outSize,
                        LPDWORD bytesReturned, LPOVERLAPPED overlapped)
{
    FakeDriver& d = *g_driver;
    int number = NumberOf(handle);
    d.asked.push_back(number);
    if (number != d.openPort)
        d.faults.push_back("request on a port that is not open");
    if (code != 0x222000 || in != out || inSize != 18 || outSize != 18 || bytesReturned == NULL ||
        overlapped != NULL)
        d.faults.push_back("request form on COM" + std::to_string(number));
    if (d.liveBuffers.count(in) == 0)
        d.faults.push_back("probe buffer of COM" + std::to_string(number) + " is no fresh heap block");
    if (d.ports[number] != Port::Cable) {
        ::SetLastError(ERROR_INVALID_FUNCTION);
        return FALSE;
    }
    std::memset(out, 0xA5, outSize);
    *bytesReturned = outSize;
    return TRUE;
}

BOOL WINAPI FakeClose(HANDLE handle)
{
    FakeDriver& d = *g_driver;
    int number = NumberOf(handle);
    if (number != d.openPort) {
        d.faults.push_back("closed a handle that is not open");
        return FALSE;
    }
    if (!d.liveBuffers.empty())
        d.faults.push_back("COM" + std::to_string(number) + " closed before its probe buffer was released");
    d.openPort = 0;
    return TRUE;
}

const PortProbeCalls kFakeCalls = { FakeOpen, FakeRequest, FakeClose };

// Puts the stand-in driver in place for one call of discovery.
bool FindWith(FakeDriver& driver, char* name)
{
    const PortProbeCalls* real = g_pPortProbeCalls;
    g_driver = &driver;
    g_pPortProbeCalls = &kFakeCalls;
    bool found = FindDevicePort(name);
    g_pPortProbeCalls = real;
    g_driver = nullptr;
    return found;
}

void* TrackedAllocate(std::size_t size)
{
    if (g_driver == nullptr)
        return std::malloc(size ? size : 1);
    if (g_driver->failAllocations)
        return nullptr;
    void* block = std::malloc(size ? size : 1);
    g_driver->liveBuffers.insert(block);
    ++g_driver->buffersAllocated;
    return block;
}

void TrackedRelease(void* block)
{
    if (g_driver != nullptr)
        g_driver->liveBuffers.erase(block);
    std::free(block);
}

struct Case {
    const char* label;
    std::map<int, Port> ports;
    bool failAllocations;
    bool found;
    const char* name;
    int lastTried;           // ports 1..lastTried are opened in order, no others
    std::vector<int> asked;  // the ports that opened and got the request
};

std::vector<std::string> PathsUpTo(int lastTried)
{
    std::vector<std::string> paths;
    for (int number = 1; number <= lastTried; ++number)
        paths.push_back("\\\\.\\COM" + std::to_string(number));
    return paths;
}

} // namespace

// The probe buffer is the only array allocation of a call, so counting them counts probes.
void* operator new[](std::size_t size)
{
    if (void* block = TrackedAllocate(size))
        return block;
    throw std::bad_alloc();
}
void* operator new[](std::size_t size, const std::nothrow_t&) noexcept { return TrackedAllocate(size); }
void operator delete[](void* block) noexcept { TrackedRelease(block); }
void operator delete[](void* block, std::size_t) noexcept { TrackedRelease(block); }

TEST(PortDiscovery, ProbesInOrderAndReleasesEverything)
{
    using P = Port;
    const Case cases[] = {
        { "cable on COM3, another make on COM1, nothing on COM2",
          { { 1, P::OtherMake }, { 3, P::Cable } }, false, true, "COM3", 3, { 1, 3 } },
        { "two cables, the lower one wins", { { 4, P::Cable }, { 6, P::Cable } }, false, true, "COM4", 4, { 4 } },
        { "cable on COM10, reached through the device namespace", { { 10, P::Cable } }, false, true, "COM10", 10, { 10 } },
        { "cable on COM12, the last port tried", { { 12, P::Cable } }, false, true, "COM12", 12, { 12 } },
        { "ports of another make only", { { 2, P::OtherMake }, { 9, P::OtherMake }, { 12, P::OtherMake } },
          false, false, "COM12", 12, { 2, 9, 12 } },
        { "no port at all", {}, false, false, "COM12", 12, {} },
        { "cable held open elsewhere", { { 3, P::HeldElsewhere }, { 5, P::OtherMake } },
          false, false, "COM12", 12, { 5 } },
        { "cable held open elsewhere, a second one free", { { 3, P::HeldElsewhere }, { 8, P::Cable } },
          false, true, "COM8", 8, { 8 } },
        { "cable on COM13 only", { { 1, P::OtherMake }, { 13, P::Cable } }, false, false, "COM12", 12, { 1 } },
        { "no probe buffer to be had", { { 3, P::Cable } }, true, false, "COM12", 12, {} },
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.label);
        FakeDriver driver;
        driver.ports = c.ports;
        driver.failAllocations = c.failAllocations;
        char name[16];
        std::memset(name, 'x', sizeof(name));

        bool found = FindWith(driver, name);

        EXPECT_EQ(c.found, found);
        EXPECT_STREQ(c.name, name);
        EXPECT_EQ(PathsUpTo(c.lastTried), driver.openedPaths);
        EXPECT_EQ(c.asked, driver.asked);
        EXPECT_EQ(std::vector<std::string>(), driver.faults);
        EXPECT_EQ(0, driver.openPort) << "a port was left open";
        EXPECT_TRUE(driver.liveBuffers.empty()) << "a probe buffer was not released";
        EXPECT_EQ(static_cast<int>(c.asked.size()), driver.buffersAllocated);
    }
}

TEST(PortDiscovery, EveryCallStartsAgainAtCom1)
{
    FakeDriver driver;
    char name[16];
    driver.ports = { { 5, Port::Cable } };
    bool first = FindWith(driver, name);
    std::string firstName = name;
    driver.ports = { { 2, Port::Cable } };
    driver.openedPaths.clear();
    bool second = FindWith(driver, name);

    EXPECT_TRUE(first);
    EXPECT_EQ("COM5", firstName);
    EXPECT_TRUE(second);
    EXPECT_STREQ("COM2", name);
    EXPECT_EQ(PathsUpTo(2), driver.openedPaths);
}
