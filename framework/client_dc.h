#pragma once
// A device context for drawing on a window outside WM_PAINT: GetDC on construction,
// ReleaseDC on destruction; each operation is one GDI call on the context.
#include "framework/wnd.h"

class CClientDC
{
public:
    explicit CClientDC(const CWnd* wnd) : m_hWnd(wnd->m_hWnd), m_hDC(::GetDC(wnd->m_hWnd)) {}
    CClientDC(const CClientDC&) = delete;
    CClientDC& operator=(const CClientDC&) = delete;
    ~CClientDC() { ::ReleaseDC(m_hWnd, m_hDC); }

    HDC GetSafeHdc() const { return m_hDC; }
    int FillRect(const RECT* rect, HBRUSH brush) const { return ::FillRect(m_hDC, rect, brush); }
    HGDIOBJ SelectObject(HGDIOBJ object) const { return ::SelectObject(m_hDC, object); }
    int SetBkMode(int mode) const { return ::SetBkMode(m_hDC, mode); }
    COLORREF SetTextColor(COLORREF color) const { return ::SetTextColor(m_hDC, color); }
    int DrawText(LPCSTR text, int length, RECT* rect, UINT format) const
    { return ::DrawTextA(m_hDC, text, length, rect, format); }

private:
    HWND m_hWnd;
    HDC m_hDC;
};
