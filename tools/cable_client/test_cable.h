// One virtual loopback cable for one test, from the rig's pty cable server or its cable driver
// (CCableClient chooses; the same words for both): the first free COM number of a range,
// removed again when the object goes. Under CTest each program has numbers of its own
// (SELFTEST_COMS) and a claim outside them is refused, so programs never take each other's cable.
#pragma once

#include "cable_client.h"

#include <cstdint>
#include <string>
#include <vector>

class CTestCable
{
public:
    CTestCable() = default;
    explicit CTestCable(CCableClient::Kind kind) : m_client(kind) {}
    ~CTestCable();
    CTestCable(const CTestCable&) = delete;
    CTestCable& operator=(const CTestCable&) = delete;

    // `options` are the server's `add` options, e.g. "--instant" or "--noecho"; a driver's cable
    // takes the flavour that SELFTEST_CABLE asks for unless they name one. False, with
    // Error() saying why, when the server is unreachable or every number is taken; the server
    // refuses a number that exists, which makes "add" the claim.
    bool Claim(int first, int last, const std::string& options = "--instant");
#ifdef SELFTEST_COM_FIRST
    // From this test program's own range.
    bool Claim(const std::string& options = "--instant") { return Claim(SELFTEST_COM_FIRST, SELFTEST_COM_LAST, options); }
#endif

    // Another cable with `options` on the same number, announced to nobody: for between runs,
    // when no program holds the port.
    bool Replace(const std::string& options);

    bool IsReady() const { return m_nCom != 0; }
    const std::string& Error() const { return m_strError; }
    int Number() const { return m_nCom; }
    std::string Name() const { return "COM" + std::to_string(m_nCom); }
    std::string Path() const { return "\\\\.\\" + Name(); }

    // A request about this cable, e.g. Request("noecho on"); true on an OK reply.
    bool Request(const std::string& request);
    // The cable pulled out or plugged in again ("hangup", "restore"), announced to every
    // top-level window as the system announces a port device's removal or arrival.
    bool Pull() { return Request("hangup") && (Announce(false), true); }
    bool Plug() { return Request("restore") && (Announce(true), true); }
    void Announce(bool arrival);
    CCableClient::Kind Kind() const { return m_client.GetKind(); }
    bool GetStats(CCableClient::Stats& stats) { return m_client.GetStats(m_nCom, stats); }
    // How many times the port is open outside the cable (under Wine: in the wineserver, for
    // as long as a program holds it); -1 when the server does not answer.
    int Holders();
    std::vector<uint8_t> Record() { return m_client.Record(m_nCom); }

private:
    CCableClient m_client;
    int m_nCom = 0;
    std::string m_strError = "no cable claimed";
};
