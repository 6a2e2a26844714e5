#pragma once
// One virtual loopback cable for one test: the first free COM number of a range, so that
// tests of this folder may run side by side. Removed again when the object goes.
#include <string>

#include "support/cable_client.h"

class CClaimedCable
{
public:
    CClaimedCable() = default;
    ~CClaimedCable();
    CClaimedCable(const CClaimedCable&) = delete;
    CClaimedCable& operator=(const CClaimedCable&) = delete;

    // `options` are the cable's own, e.g. "--instant". False when the server is unreachable
    // or every number is taken.
    bool Claim(int first, int last, const std::string& options = "--instant");
    int Number() const { return m_nCom; }
    std::string Name() const { return "COM" + std::to_string(m_nCom); }
    std::string Path() const { return "\\\\.\\" + Name(); }
    // A request about this cable, e.g. Request("hangup"); true on an OK reply.
    bool Request(const std::string& verb);
    bool GetStats(CCableClient::Stats& stats) { return m_client.GetStats(m_nCom, stats); }

private:
    CCableClient m_client;
    int m_nCom = 0;
};
