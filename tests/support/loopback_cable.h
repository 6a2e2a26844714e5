// One virtual loopback cable for the length of a test: added to the rig's cable server on
// construction (a cable left behind by a crashed test is replaced), removed on destruction.
#pragma once

#include "cable_client.h"

#include <string>

class CLoopbackCable
{
public:
    // options: the cable server's `add` options, e.g. "--instant" or "--noecho".
    explicit CLoopbackCable(int com, const std::string& options = std::string());
    ~CLoopbackCable();
    CLoopbackCable(const CLoopbackCable&) = delete;
    CLoopbackCable& operator=(const CLoopbackCable&) = delete;

    bool IsReady() const { return m_bReady; }
    const std::string& Error() const { return m_strError; }
    int Com() const { return m_nCom; }
    std::string Name() const { return "COM" + std::to_string(m_nCom); }

    // A request about this cable, e.g. Request("noecho on") sends "N noecho on".
    bool Request(const std::string& request);
    bool GetStats(CCableClient::Stats& stats);
    CCableClient& Client() { return m_client; }

    // The port opens exclusively from this process (and is closed again): nobody holds it.
    bool CanOpen() const;

    // The control address from CABLE_CONTROL; a bare port number means 127.0.0.1.
    static std::string ControlAddress();

private:
    CCableClient m_client;
    int m_nCom;
    bool m_bReady = false;
    std::string m_strError;
};
