#include "stand_in_ports.h"

#include <cstdio>
#include <cstring>

namespace {

CStandInPorts* g_driver = nullptr;

HANDLE HandleOf(int number) { return reinterpret_cast<HANDLE>(static_cast<INT_PTR>(0x100 + number)); }
int NumberOf(HANDLE handle) { return static_cast<int>(reinterpret_cast<INT_PTR>(handle)) - 0x100; }

// Windows opens COM1..COM9 by their bare names too, COM10 and above only as "\\.\COMn".
int ParsePortPath(const char* path)
{
    int number = 0;
    char rest = 0;
    if (std::sscanf(path, "\\\\.\\COM%d%c", &number, &rest) == 1)
        return number;
    if (std::sscanf(path, "COM%d%c", &number, &rest) == 1 && number <= 9)
        return number;
    return 0;
}

HANDLE WINAPI Open(LPCSTR path, DWORD access, DWORD share, LPSECURITY_ATTRIBUTES security, DWORD disposition,
                   DWORD flags, HANDLE templateFile)
{
    CStandInPorts& d = *g_driver;
    d.openedPaths.push_back(path);
    if (access != (GENERIC_READ | GENERIC_WRITE) || share != (FILE_SHARE_READ | FILE_SHARE_WRITE) ||
        security != NULL || disposition != OPEN_EXISTING || flags != 0 || templateFile != NULL)
        d.faults.push_back(std::string("open mode of ") + path);
    if (d.openPort != 0)
        d.faults.push_back(std::string("opened ") + path + " while another port was open");
    const int number = ParsePortPath(path);
    const auto port = d.ports.find(number);
    if (number == 0 || port == d.ports.end() || port->second == CStandInPorts::Port::Absent) {
        ::SetLastError(ERROR_FILE_NOT_FOUND);
        return INVALID_HANDLE_VALUE;
    }
    if (port->second == CStandInPorts::Port::HeldElsewhere) {
        ::SetLastError(ERROR_ACCESS_DENIED);
        return INVALID_HANDLE_VALUE;
    }
    d.openPort = number;
    return HandleOf(number);
}

BOOL WINAPI Request(HANDLE handle, DWORD code, LPVOID in, DWORD inSize, LPVOID out, DWORD outSize,
                    LPDWORD bytesReturned, LPOVERLAPPED overlapped)
{
    CStandInPorts& d = *g_driver;
    const int number = NumberOf(handle);
    d.asked.push_back(number);
    if (number != d.openPort)
        d.faults.push_back("request on a port that is not open");
    if (code != 0x222000 || in != out || inSize != 18 || outSize != 18 || bytesReturned == NULL ||
        overlapped != NULL)
        d.faults.push_back("request form on COM" + std::to_string(number));
    if (d.trackBuffers && d.liveBuffers.count(in) == 0)
        d.faults.push_back("probe buffer of COM" + std::to_string(number) + " is no fresh heap block");
    if (d.ports[number] != CStandInPorts::Port::Cable) {
        ::SetLastError(ERROR_INVALID_FUNCTION);
        return FALSE;
    }
    std::memset(out, 0xA5, outSize);
    *bytesReturned = outSize;
    return TRUE;
}

BOOL WINAPI Close(HANDLE handle)
{
    CStandInPorts& d = *g_driver;
    const int number = NumberOf(handle);
    if (number != d.openPort) {
        d.faults.push_back("closed a handle that is not open");
        return FALSE;
    }
    if (!d.liveBuffers.empty())
        d.faults.push_back("COM" + std::to_string(number) + " closed before its probe buffer was released");
    d.openPort = 0;
    return TRUE;
}

const PortProbeCalls kCalls = { Open, Request, Close };

} // namespace

CStandInPorts::CStandInPorts() : m_pReal(g_pPortProbeCalls)
{
    g_driver = this;
    g_pPortProbeCalls = &kCalls;
}

CStandInPorts::~CStandInPorts()
{
    g_pPortProbeCalls = m_pReal;
    g_driver = nullptr;
}

CStandInPorts* CStandInPorts::Active()
{
    return g_driver;
}
