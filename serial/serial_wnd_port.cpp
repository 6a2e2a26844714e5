#include "serial/serial_wnd_port.h"

// Nothing of its own to release: CSerialWnd's destructor stops the thread.
CSerialWndPort::~CSerialWndPort() = default;

LONG CSerialWndPort::Open(const char* device, CWnd* window, UINT message, LPARAM lParam, DWORD inQueue,
                          DWORD outQueue)
{
    return CSerialWnd::Open(device, window ? window->GetSafeHwnd() : nullptr, message, lParam, inQueue,
                            outQueue);
}
