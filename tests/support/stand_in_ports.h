// A stand-in for the ports' drivers, for discovery: one COM number space as Windows shows it,
// and a record of what the probe did to it, with anything a real driver or heap would mind.
// While one lives, discovery calls it instead of the system.
#pragma once
#include <windows.h>

#include <map>
#include <set>
#include <string>
#include <vector>

#include "loopback/port_discovery.h"

class CStandInPorts
{
public:
    enum class Port { Absent, HeldElsewhere, OtherMake, Cable };

    CStandInPorts();
    ~CStandInPorts();
    CStandInPorts(const CStandInPorts&) = delete;
    CStandInPorts& operator=(const CStandInPorts&) = delete;

    // The one in place, or null.
    static CStandInPorts* Active();

    std::map<int, Port> ports; // numbers not listed are absent

    // With trackBuffers the test counts the probe's array allocations into liveBuffers and
    // buffersAllocated (its own operator new[]), and a request must come with a live one.
    bool trackBuffers = false;
    bool failAllocations = false;
    std::set<void*> liveBuffers;
    int buffersAllocated = 0;

    std::vector<std::string> openedPaths; // every open asked for, in order
    std::vector<int> asked;               // ports that got the request, in order
    std::vector<std::string> faults;
    int openPort = 0;                     // the one port now open, 0 for none

private:
    const PortProbeCalls* m_pReal;
};
