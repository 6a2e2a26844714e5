#include "cable_client.h"

#include <ws2tcpip.h>

#include "cable_ioctl.h"

#include <cstdlib>
#include <map>
#include <sstream>

#ifdef _MSC_VER
#pragma comment(lib, "ws2_32.lib")
#endif

namespace
{
// A test must never hang on a cable that died: every receive has this bound.
const DWORD kReplyTimeoutMs = 10000;

bool StartsWith(const std::string& text, const char* prefix)
{
    return text.compare(0, std::char_traits<char>::length(prefix), prefix) == 0;
}

bool ParseStats(const std::string& reply, CCableClient::Stats& stats)
{
    if (!StartsWith(reply, "OK"))
        return false;
    std::map<std::string, std::string> field;
    std::istringstream words(reply.substr(2));
    for (std::string word; words >> word;) {
        const std::string::size_type equals = word.find('=');
        if (equals == std::string::npos)
            return false;
        field[word.substr(0, equals)] = word.substr(equals + 1);
    }
    // A field added later is no reason to fail, a missing one is.
    for (const char* key :
         {"baud", "bits", "parity", "stop", "rtscts", "ixon", "ixoff", "in", "out", "hungup", "settings"})
        if (field.count(key) == 0)
            return false;
    stats = CCableClient::Stats();
    stats.baud = std::strtoul(field["baud"].c_str(), nullptr, 10);
    stats.line = std::strtoul(field["line"].c_str(), nullptr, 10);
    stats.bits = std::atoi(field["bits"].c_str());
    stats.parity = field["parity"].empty() ? '?' : field["parity"][0];
    stats.stop = std::atoi(field["stop"].c_str());
    stats.rtscts = field["rtscts"] == "1";
    stats.ixon = field["ixon"] == "1";
    stats.ixoff = field["ixoff"] == "1";
    stats.in = std::strtoull(field["in"].c_str(), nullptr, 10);
    stats.out = std::strtoull(field["out"].c_str(), nullptr, 10);
    stats.hungup = field["hungup"] == "1";
    stats.flavour = field["flavour"];
    std::istringstream list(field["settings"]);
    for (std::string setting; std::getline(list, setting, ',');)
        if (!setting.empty())
            stats.settings.push_back(setting);
    return true;
}
} // namespace

CCableClient::Kind CCableClient::KindFromEnvironment()
{
    const std::string kind = std::getenv("SELFTEST_CABLE") ? std::getenv("SELFTEST_CABLE") : "";
    return kind.empty() || kind == "pty" ? Pty : Driver;
}

std::string CCableClient::FlavourFromEnvironment()
{
    // Any other word names one of the driver's flavours, so a new flavour needs nothing here.
    const std::string kind = std::getenv("SELFTEST_CABLE") ? std::getenv("SELFTEST_CABLE") : "";
    return kind.empty() || kind == "pty" || kind == "driver" ? "" : kind;
}

CCableClient::CCableClient(Kind kind) : m_kind(kind)
{
    if (kind == Driver) {
        HANDLE control = ::CreateFileA(CABLE_CONTROL_PATH, GENERIC_READ | GENERIC_WRITE, 0, nullptr,
                                       OPEN_EXISTING, 0, nullptr);
        m_hControl = control == INVALID_HANDLE_VALUE ? nullptr : control;
        return;
    }
    const std::string address = std::getenv("CABLE_CONTROL") ? std::getenv("CABLE_CONTROL") : "";
    if (address.empty())
        return;
    // The server listens on loopback only, so a bare port (the control file's content) will do.
    std::string::size_type colon = address.rfind(':');
    std::string host = colon == std::string::npos ? "127.0.0.1" : address.substr(0, colon);
    std::string port = colon == std::string::npos ? address : address.substr(colon + 1);
    WSADATA wsaData;
    if (::WSAStartup(MAKEWORD(2, 2), &wsaData) != 0)
        return;
    m_bWinsock = true;

    addrinfo hints = {};
    hints.ai_family = AF_INET;
    hints.ai_socktype = SOCK_STREAM;
    hints.ai_protocol = IPPROTO_TCP;
    addrinfo* found = nullptr;
    if (::getaddrinfo(host.c_str(), port.c_str(), &hints, &found) != 0 || !found)
        return;
    m_socket = (uintptr_t)::socket(found->ai_family, found->ai_socktype, found->ai_protocol);
    if (m_socket != kNoSocket &&
        ::connect((SOCKET)m_socket, found->ai_addr, (int)found->ai_addrlen) == SOCKET_ERROR)
        Disconnect();
    ::freeaddrinfo(found);
    if (m_socket != kNoSocket) {
        DWORD timeout = kReplyTimeoutMs;
        ::setsockopt((SOCKET)m_socket, SOL_SOCKET, SO_RCVTIMEO, (const char*)&timeout, sizeof(timeout));
    }
}

CCableClient::~CCableClient()
{
    Disconnect();
    if (m_bWinsock)
        ::WSACleanup();
    if (m_hControl)
        ::CloseHandle(m_hControl);
}

std::string CCableClient::DriverCommand(const std::string& line)
{
    // A record of the whole transfer fits: two hex digits a byte.
    std::vector<char> reply(2 * 8192 + 256);
    DWORD returned = 0;
    if (!::DeviceIoControl(m_hControl, IOCTL_CABLE_COMMAND, (void*)line.data(), (DWORD)line.size(), reply.data(),
                           (DWORD)reply.size(), &returned, nullptr))
        return "ERR driver request failed: " + std::to_string(::GetLastError());
    reply.back() = 0;
    return reply.data();
}

void CCableClient::Disconnect()
{
    if (m_socket != kNoSocket) {
        ::closesocket((SOCKET)m_socket);
        m_socket = kNoSocket;
    }
}

std::string CCableClient::Command(const std::string& line)
{
    if (!Connected())
        return "ERR not connected";
    if (m_kind == Driver)
        return DriverCommand(line);
    // A blocking socket sends the whole line or fails.
    const std::string request = line + "\n";
    if (::send((SOCKET)m_socket, request.data(), (int)request.size(), 0) != (int)request.size()) {
        Disconnect();
        return "ERR send failed";
    }
    std::string::size_type end;
    while ((end = m_strPending.find('\n')) == std::string::npos) {
        char buffer[4096];
        int received = ::recv((SOCKET)m_socket, buffer, sizeof(buffer), 0);
        if (received <= 0) {
            Disconnect();
            return received == 0 ? "ERR connection closed" : "ERR no reply";
        }
        m_strPending.append(buffer, (size_t)received);
    }
    std::string reply = m_strPending.substr(0, end);
    m_strPending.erase(0, end + 1);
    return reply;
}

bool CCableClient::GetStats(int com, Stats& stats)
{
    return ParseStats(Command(std::to_string(com) + " stats"), stats);
}

std::vector<uint8_t> CCableClient::Record(int com)
{
    const std::string reply = Command(std::to_string(com) + " record");
    const std::string hex = reply.size() > 3 ? reply.substr(3) : std::string();
    std::vector<uint8_t> bytes;
    if (!StartsWith(reply, "OK") || hex.size() % 2 != 0)
        return bytes;
    for (std::string::size_type at = 0; at < hex.size(); at += 2) {
        const std::string pair = hex.substr(at, 2);
        char* end = nullptr;
        bytes.push_back((uint8_t)std::strtoul(pair.c_str(), &end, 16));
        if (end != pair.c_str() + 2)
            return {};
    }
    return bytes;
}
