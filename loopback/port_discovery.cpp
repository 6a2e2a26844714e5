#include "loopback/port_discovery.h"

#include <winioctl.h>

#include <new>

#include "serial/device_path.h"

namespace {

const int kFirstPort = 1;
const int kLastPort = 12;
const DWORD kProbeRequest = CTL_CODE(FILE_DEVICE_UNKNOWN, 0x800, METHOD_BUFFERED, FILE_ANY_ACCESS);
const DWORD kProbeSize = 18;

const PortProbeCalls kWin32ProbeCalls = { ::CreateFileA, ::DeviceIoControl, ::CloseHandle };

bool PortAnswers(const char* name, const PortProbeCalls& calls)
{
    // COM10 and above open only through the device namespace; the caller keeps the bare name.
    char path[16];
    MakeDevicePath(name, path, sizeof(path));
    HANDLE port = calls.open(path, GENERIC_READ | GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE,
                             nullptr, OPEN_EXISTING, 0, nullptr);
    if (port == INVALID_HANDLE_VALUE)
        return false;

    bool answered = false;
    // The driver's reply is not looked at; the buffer is cleared only so that no stale heap
    // bytes go to a driver.
    unsigned char* probe = new (std::nothrow) unsigned char[kProbeSize]();
    if (probe != nullptr) {
        DWORD bytesReturned = 0;
        answered = calls.request(port, kProbeRequest, probe, kProbeSize, probe, kProbeSize,
                                 &bytesReturned, nullptr) != FALSE;
        delete[] probe;
    }
    calls.close(port);
    return answered;
}

} // namespace

const PortProbeCalls* g_pPortProbeCalls = &kWin32ProbeCalls;

bool FindDevicePort(char* name)
{
    const PortProbeCalls& calls = *g_pPortProbeCalls;
    for (int number = kFirstPort; number <= kLastPort; ++number) {
        wsprintfA(name, "COM%d", number);
        if (PortAnswers(name, calls))
            return true;
    }
    return false;
}
