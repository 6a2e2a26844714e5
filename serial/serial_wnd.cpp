#include "serial/serial_wnd.h"

#include "serial/serial_api.h"

UINT g_nSerialWndMsg = ::RegisterWindowMessageA("CSerialWnd_DefaultComMsg");

CSerialWnd::~CSerialWnd()
{
    // OnPortEvent is this class's: the thread must be gone before this part of the object is.
    if (m_hListenerThread || m_hListenerEvent || m_hPort)
        CSerialWnd::Close();
}

LONG CSerialWnd::Open(const char* device, HWND hWnd, UINT message, LPARAM lParam, DWORD inQueue,
                      DWORD outQueue)
{
    m_nLastError = 0;
    LONG code = CSerialListener::Open(device, inQueue, outQueue, false);
    if (code != 0)
        return Store(code);
    // Set before the thread starts, which is what makes them safe for it to read.
    m_hWndTarget = hWnd;
    m_nTargetMsg = message != 0 ? message : g_nSerialWndMsg;
    m_lTargetParam = lParam;
    code = StartListening();
    if (code != 0) {
        Close();
        return Store(code);
    }
    return Store(0);
}

LONG CSerialWnd::Close()
{
    m_hWndTarget = nullptr;
    m_nTargetMsg = 0;
    return CSerialListener::Close();
}

void CSerialWnd::OnPortEvent(DWORD events, DWORD errors)
{
    const HWND target = m_hWndTarget;
    const UINT message = m_nTargetMsg;
    // A null window would post to this thread's own queue.
    if (!target || message == 0)
        return;
    g_serialApi.PostMessageA(target, message, MAKEWPARAM(LOWORD(events), LOWORD(errors)), m_lTargetParam);
}
