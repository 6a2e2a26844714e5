#include "loopback_cable.h"

#include <windows.h>

bool CLoopbackCable::CanOpen() const
{
    HANDLE port = ::CreateFileA(Path().c_str(), GENERIC_READ | GENERIC_WRITE, 0, nullptr, OPEN_EXISTING,
                                FILE_FLAG_OVERLAPPED, nullptr);
    if (port == INVALID_HANDLE_VALUE)
        return false;
    ::CloseHandle(port);
    return true;
}
