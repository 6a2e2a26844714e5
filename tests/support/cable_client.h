// Client for the virtual loopback cable's control socket, for test programs that run
// under Wine while tools/cable.py runs on the host. One request line, one reply line.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

class CCableClient
{
public:
    // What the cable saw on one COM port since its last reset.
    struct Stats
    {
        unsigned long baud = 0;
        int bits = 0;
        char parity = '?';                 // N, O, E, M or S
        int stop = 0;
        bool rtscts = false;
        bool ixon = false;
        bool ixoff = false;
        unsigned long long in = 0;         // bytes the program wrote
        unsigned long long out = 0;        // bytes echoed back
        bool hungup = false;
        std::vector<std::string> settings; // each line setting chosen, e.g. "9600-8N1-none"
    };

    // Connects to CABLE_CONTROL, "host:port" or just the port.
    CCableClient();
    ~CCableClient();
    CCableClient(const CCableClient&) = delete;
    CCableClient& operator=(const CCableClient&) = delete;

    bool Connected() const { return m_socket != kNoSocket; }

    // The reply line without its line end; "ERR ..." also when the socket fails.
    std::string Command(const std::string& line);
    bool GetStats(int com, Stats& stats);
    std::vector<uint8_t> Record(int com); // the bytes the program wrote; empty on a bad reply

private:
    void Disconnect();

    // A Winsock SOCKET; kept as its integer type so that users need not include winsock2.h
    // before windows.h.
    static const uintptr_t kNoSocket = ~(uintptr_t)0;
    uintptr_t m_socket = kNoSocket;
    bool m_bWinsock = false;
    std::string m_strPending; // bytes received past the last reply line
};
