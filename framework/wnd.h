#pragma once
// A window object: a window handle, one-line wrappers that each make a single call on that
// window, and the message-map dispatch that routes a window's messages to its handlers.
#include <windows.h>
#include <cassert>

#include "framework/cmd_target.h"
#include "framework/runtime_class.h"

class CWnd : public CCmdTarget
{
public:
    DECLARE_DYNAMIC_ROOT(CWnd)

    HWND m_hWnd = nullptr;

    HWND GetSafeHwnd() const { return m_hWnd; }
    void Attach(HWND hWnd) { m_hWnd = hWnd; }
    HWND Detach() { HWND h = m_hWnd; m_hWnd = nullptr; return h; }

    LRESULT SendMessage(UINT msg, WPARAM wParam = 0, LPARAM lParam = 0) const
    { assert(::IsWindow(m_hWnd)); return ::SendMessageA(m_hWnd, msg, wParam, lParam); }
    BOOL PostMessage(UINT msg, WPARAM wParam = 0, LPARAM lParam = 0) const
    { return ::PostMessageA(m_hWnd, msg, wParam, lParam); }
    BOOL EnableWindow(BOOL enable = TRUE) const { assert(::IsWindow(m_hWnd)); return ::EnableWindow(m_hWnd, enable); }
    BOOL IsWindowEnabled() const { return ::IsWindowEnabled(m_hWnd); }
    BOOL IsIconic() const { return ::IsIconic(m_hWnd); }
    HWND GetDlgItem(int id) const { return ::GetDlgItem(m_hWnd, id); }
    int GetDlgCtrlID() const { return ::GetDlgCtrlID(m_hWnd); }
    void GetClientRect(RECT* rect) const { ::GetClientRect(m_hWnd, rect); }
    HDC GetDC() const { return ::GetDC(m_hWnd); }
    int ReleaseDC(HDC dc) const { return ::ReleaseDC(m_hWnd, dc); }
    // Redrawing off: the window keeps its changes without drawing them; on again, it draws
    // nothing by itself until it is invalidated.
    void SetRedraw(BOOL redraw = TRUE) const { SendMessage(WM_SETREDRAW, (WPARAM)redraw); }
    // Paints what is waiting to be painted now, instead of when the message queue is empty.
    BOOL UpdateWindow() const { assert(::IsWindow(m_hWnd)); return ::UpdateWindow(m_hWnd); }
    // The whole client area is drawn again at the next paint.
    BOOL Invalidate(BOOL erase = TRUE) const
    { assert(::IsWindow(m_hWnd)); return ::InvalidateRect(m_hWnd, nullptr, erase); }
    HICON SetIcon(HICON icon, BOOL big) const
    { return (HICON)::SendMessageA(m_hWnd, WM_SETICON, big ? ICON_BIG : ICON_SMALL, (LPARAM)icon); }

protected:
    // The default processing of the message being dispatched, for handlers that add to it.
    LRESULT Default();
};
