#include "loopback_cable.h"

#include <windows.h>

#include <cstdlib>

std::string CLoopbackCable::ControlAddress()
{
    const char* address = std::getenv("CABLE_CONTROL");
    if (address == nullptr)
        return std::string();
    const std::string text = address;
    return text.find(':') == std::string::npos ? "127.0.0.1:" + text : text;
}

CLoopbackCable::CLoopbackCable(int com, const std::string& options) : m_client(ControlAddress()), m_nCom(com)
{
    if (!m_client.Connected()) {
        m_strError = "no cable server at CABLE_CONTROL (is the rig running?)";
        return;
    }
    const std::string add = "add " + std::to_string(com) + (options.empty() ? "" : " " + options);
    std::string reply = m_client.Command(add);
    if (reply.compare(0, 2, "OK") != 0) {
        m_client.Command("remove " + std::to_string(com));
        reply = m_client.Command(add);
    }
    m_bReady = reply.compare(0, 2, "OK") == 0;
    if (!m_bReady)
        m_strError = add + ": " + reply;
}

CLoopbackCable::~CLoopbackCable()
{
    if (m_bReady)
        m_client.Command("remove " + std::to_string(m_nCom));
}

bool CLoopbackCable::Request(const std::string& request)
{
    return m_client.Ok(std::to_string(m_nCom) + " " + request);
}

bool CLoopbackCable::GetStats(CCableClient::Stats& stats)
{
    return m_client.GetStats(m_nCom, stats);
}

bool CLoopbackCable::CanOpen() const
{
    const std::string path = "\\\\.\\" + Name();
    HANDLE port = ::CreateFileA(path.c_str(), GENERIC_READ | GENERIC_WRITE, 0, nullptr, OPEN_EXISTING,
                                FILE_FLAG_OVERLAPPED, nullptr);
    if (port == INVALID_HANDLE_VALUE)
        return false;
    ::CloseHandle(port);
    return true;
}
