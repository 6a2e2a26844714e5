#include "test_cable.h"

#include "port_broadcast.h"

#include <cstdlib>

CTestCable::~CTestCable()
{
    if (m_nCom != 0)
        m_client.Command("remove " + std::to_string(m_nCom));
}

bool CTestCable::Claim(int first, int last, const std::string& options)
{
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
