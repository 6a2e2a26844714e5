#include "claimed_cable.h"

CClaimedCable::~CClaimedCable()
{
    if (m_nCom != 0)
        m_client.Command("remove " + std::to_string(m_nCom));
}

bool CClaimedCable::Claim(int first, int last, const std::string& options)
{
    if (!m_client.Connected())
        return false;
    // The server refuses a number that exists, which makes "add" the claim.
    for (int com = first; com <= last; ++com) {
        if (m_client.Ok("add " + std::to_string(com) + " " + options)) {
            m_nCom = com;
            return true;
        }
    }
    return false;
}

bool CClaimedCable::Request(const std::string& verb)
{
    return m_client.Ok(std::to_string(m_nCom) + " " + verb);
}
