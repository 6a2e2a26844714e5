#include "cable_client.h"

#include <ws2tcpip.h>

#include <cstdlib>
#include <sstream>

#ifdef _MSC_VER
#pragma comment(lib, "ws2_32.lib")
#endif

namespace
{
// A test must never hang on a cable that died: every receive has this bound.
const DWORD kReplyTimeoutMs = 10000;

std::string DefaultAddress()
{
    const char* fromEnvironment = std::getenv("CABLE_CONTROL");
    return fromEnvironment ? fromEnvironment : "";
}

bool StartsWith(const std::string& text, const char* prefix)
{
    return text.compare(0, std::char_traits<char>::length(prefix), prefix) == 0;
}
}

CCableClient::CCableClient(const std::string& hostPort)
{
    std::string address = hostPort.empty() ? DefaultAddress() : hostPort;
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
    std::string request = line + "\n";
    const char* next = request.data();
    int left = (int)request.size();
    while (left > 0) {
        int sent = ::send((SOCKET)m_socket, next, left, 0);
        if (sent == SOCKET_ERROR) {
            Disconnect();
            return "ERR send failed";
        }
        next += sent;
        left -= sent;
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
    if (!reply.empty() && reply[reply.size() - 1] == '\r')
        reply.erase(reply.size() - 1);
    return reply;
}

bool CCableClient::Ok(const std::string& line)
{
    return StartsWith(Command(line), "OK");
}

bool CCableClient::GetStats(int com, Stats& stats)
{
    return ParseStats(Command(std::to_string(com) + " stats"), stats);
}

std::vector<uint8_t> CCableClient::Record(int com)
{
    std::string reply = Command(std::to_string(com) + " record");
    std::vector<uint8_t> bytes;
    if (!StartsWith(reply, "OK") || !ParseHex(reply.size() > 3 ? reply.substr(3) : "", bytes))
        bytes.clear();
    return bytes;
}

bool CCableClient::ParseStats(const std::string& reply, Stats& stats)
{
    if (!StartsWith(reply, "OK"))
        return false;
    Stats parsed;
    int fieldsSeen = 0;
    std::istringstream words(reply.substr(2));
    std::string word;
    while (words >> word) {
        std::string::size_type equals = word.find('=');
        if (equals == std::string::npos)
            return false;
        std::string key = word.substr(0, equals);
        std::string value = word.substr(equals + 1);
        const char* text = value.c_str();
        ++fieldsSeen;
        if (key == "baud") parsed.baud = std::strtoul(text, nullptr, 10);
        else if (key == "bits") parsed.bits = std::atoi(text);
        else if (key == "parity") parsed.parity = value.empty() ? '?' : value[0];
        else if (key == "stop") parsed.stop = std::atoi(text);
        else if (key == "rtscts") parsed.rtscts = value == "1";
        else if (key == "ixon") parsed.ixon = value == "1";
        else if (key == "ixoff") parsed.ixoff = value == "1";
        else if (key == "in") parsed.in = std::strtoull(text, nullptr, 10);
        else if (key == "out") parsed.out = std::strtoull(text, nullptr, 10);
        else if (key == "hungup") parsed.hungup = value == "1";
        else if (key == "settings") {
            std::istringstream list(value);
            std::string setting;
            while (std::getline(list, setting, ','))
                if (!setting.empty())
                    parsed.settings.push_back(setting);
        } else
            --fieldsSeen; // a field added later is no reason to fail
    }
    if (fieldsSeen < 11)
        return false;
    stats = parsed;
    return true;
}

bool CCableClient::ParseHex(const std::string& hex, std::vector<uint8_t>& bytes)
{
    if (hex.size() % 2 != 0)
        return false;
    bytes.clear();
    bytes.reserve(hex.size() / 2);
    for (std::string::size_type at = 0; at < hex.size(); at += 2) {
        char* end = nullptr;
        std::string pair = hex.substr(at, 2);
        unsigned long value = std::strtoul(pair.c_str(), &end, 16);
        if (end != pair.c_str() + 2)
            return false;
        bytes.push_back((uint8_t)value);
    }
    return true;
}
