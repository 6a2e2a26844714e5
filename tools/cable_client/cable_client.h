// Client for the virtual loopback cables, for test programs that run under Wine. Two back ends
// take the same request lines and give the same reply lines: the pty cable server
// (tools/pty_cable/cable.py, on the host, through its control socket at CABLE_CONTROL) and the virtual
// cable driver (tools/cable_driver, through its control device). SELFTEST_CABLE=driver in the
// environment chooses the driver with its default flavour; any other word but pty, the driver
// with its ports of that flavour (SELFTEST_CABLE=bridge).
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
        unsigned long line = 0;            // the rate the line runs at; 0: not reported
        int bits = 0;
        char parity = '?';                 // N, O, E, M or S
        int stop = 0;
        bool rtscts = false;
        bool ixon = false;
        bool ixoff = false;
        unsigned long long in = 0;         // bytes the program wrote
        unsigned long long out = 0;        // bytes echoed back
        bool hungup = false;
        std::string flavour;               // uart or bridge
        std::vector<std::string> settings; // each line setting chosen, e.g. "9600-8N1-none"
    };

    enum Kind { Pty, Driver };
    static Kind KindFromEnvironment();
    // The driver's flavour that SELFTEST_CABLE asks for ("bridge"), empty for its default.
    static std::string FlavourFromEnvironment();

    // The pty cable: connects to CABLE_CONTROL, "host:port" or just the port. The driver:
    // opens its control device.
    explicit CCableClient(Kind kind = KindFromEnvironment());
    ~CCableClient();
    CCableClient(const CCableClient&) = delete;
    CCableClient& operator=(const CCableClient&) = delete;

    Kind GetKind() const { return m_kind; }
    bool Connected() const { return m_kind == Driver ? m_hControl != nullptr : m_socket != kNoSocket; }

    // The reply line without its line end; "ERR ..." also when the socket fails.
    std::string Command(const std::string& line);
    bool GetStats(int com, Stats& stats);
    std::vector<uint8_t> Record(int com); // the bytes the program wrote; empty on a bad reply

private:
    void Disconnect();
    std::string DriverCommand(const std::string& line);

    // A Winsock SOCKET; kept as its integer type so that users need not include winsock2.h
    // before windows.h.
    static const uintptr_t kNoSocket = ~(uintptr_t)0;
    uintptr_t m_socket = kNoSocket;
    bool m_bWinsock = false;
    std::string m_strPending; // bytes received past the last reply line
    Kind m_kind;
    void* m_hControl = nullptr; // the driver's control device
};
