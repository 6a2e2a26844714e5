#include "test_cable.h"

#include "port_broadcast.h"

#include <cstdlib>

namespace
{
// Whether COMfirst-COMlast lie inside the numbers CTest gave this program (SELFTEST_COMS,
// "20-24,1-13", or "none"); run by hand, without it, every number is the program's.
bool OwnsNumbers(int first, int last, std::string& owned)
{
    const char* coms = std::getenv("SELFTEST_COMS");
    if (coms == nullptr || *coms == '\0')
        return true;
    owned = coms;
    for (const char* p = coms; *p != '\0';) {
        char* end = nullptr;
        const long from = std::strtol(p, &end, 10);
        long to = from;
        if (end == p)
            return false;
        if (*end == '-')
            to = std::strtol(end + 1, &end, 10);
        if (first >= from && last <= to)
            return true;
        p = *end == ',' ? end + 1 : end;
    }
    return false;
}
} // namespace

CTestCable::~CTestCable()
{
    if (m_nCom != 0)
        m_client.Command("remove " + std::to_string(m_nCom));
}

bool CTestCable::Claim(int first, int last, const std::string& options)
{
    std::string owned;
    if (!OwnsNumbers(first, last, owned)) {
        m_strError = "COM" + std::to_string(first) + "-COM" + std::to_string(last) +
                     " is not this program's (SELFTEST_COMS=" + owned + ")";
        return false;
    }
    if (!m_client.Connected()) {
        m_strError = m_client.GetKind() == CCableClient::Driver
                         ? "no cable driver (is the rig running with it?)"
                         : "no cable server at CABLE_CONTROL (is the rig running?)";
        return false;
    }
    std::string words = options;
    const std::string flavour = CCableClient::FlavourFromEnvironment();
    if (m_client.GetKind() == CCableClient::Driver && !flavour.empty() && words.find("--flavour") == std::string::npos)
        words += " --flavour " + flavour;
    std::string reply;
    for (int com = first; com <= last; ++com) {
        reply = m_client.Command("add " + std::to_string(com) + (words.empty() ? "" : " " + words));
        if (reply.compare(0, 2, "OK") == 0) {
            m_nCom = com;
            return true;
        }
    }
    m_strError = "no free cable in COM" + std::to_string(first) + "-COM" + std::to_string(last) + ": " + reply;
    return false;
}

bool CTestCable::Replace(const std::string& options)
{
    const int com = m_nCom;
    if (com == 0 || m_client.Command("remove " + std::to_string(com)).compare(0, 2, "OK") != 0)
        return false;
    m_nCom = 0;
    return Claim(com, com, options);
}

bool CTestCable::Request(const std::string& request)
{
    return m_client.Command(std::to_string(m_nCom) + " " + request).compare(0, 2, "OK") == 0;
}

int CTestCable::Holders()
{
    const std::string reply = m_client.Command(std::to_string(m_nCom) + " holders");
    return reply.compare(0, 3, "OK ") == 0 ? std::atoi(reply.c_str() + 3) : -1;
}

void CTestCable::Announce(bool arrival)
{
    BroadcastPortChange(m_nCom, arrival, 1000);
}
