#pragma once
// CSerialWndPort: CSerialWnd whose target is named by the framework's window object.
#include "framework/wnd.h"
#include "serial/serial_wnd.h"

class CSerialWndPort : public CSerialWnd
{
public:
    using CSerialWnd::Open;

    CSerialWndPort() = default;
    ~CSerialWndPort() override;

    // The window's handle is taken now (null for a null object); later changes of the
    // object do not move the notifications.
    virtual LONG Open(const char* device, CWnd* window, UINT message, LPARAM lParam, DWORD inQueue,
                      DWORD outQueue);
};
