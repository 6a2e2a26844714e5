// Discovery against a stand-in driver: which ports are opened and asked, what comes back,
// and that every handle and probe buffer is released in its turn.
#include "loopback/port_discovery.h"
#include "support/stand_in_ports.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <cstring>
#include <map>
#include <new>
#include <string>
#include <vector>

namespace {

using Port = CStandInPorts::Port;

// One call of discovery with the probe's buffers counted.
bool FindWith(CStandInPorts& driver, char* name)
{
    driver.trackBuffers = true;
    const bool found = FindDevicePort(name);
    driver.trackBuffers = false;
    return found;
}

CStandInPorts* Tracking()
{
    CStandInPorts* driver = CStandInPorts::Active();
    return driver != nullptr && driver->trackBuffers ? driver : nullptr;
}

void* TrackedAllocate(std::size_t size)
{
    CStandInPorts* driver = Tracking();
    if (driver != nullptr && driver->failAllocations)
        return nullptr;
    void* block = std::malloc(size ? size : 1);
    if (driver != nullptr) {
        driver->liveBuffers.insert(block);
        ++driver->buffersAllocated;
    }
    return block;
}

void TrackedRelease(void* block)
{
    if (CStandInPorts* driver = Tracking())
        driver->liveBuffers.erase(block);
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
        CStandInPorts driver;
        driver.ports = c.ports;
        driver.failAllocations = c.failAllocations;
        char name[16];
        std::memset(name, 'x', sizeof(name));

        EXPECT_EQ(c.found, FindWith(driver, name));

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
    CStandInPorts driver;
    char name[16];
    driver.ports = { { 5, Port::Cable } };
    EXPECT_TRUE(FindWith(driver, name));
    EXPECT_STREQ("COM5", name);
    driver.ports = { { 2, Port::Cable } };
    driver.openedPaths.clear();

    EXPECT_TRUE(FindWith(driver, name));

    EXPECT_STREQ("COM2", name);
    EXPECT_EQ(PathsUpTo(2), driver.openedPaths);
}
