#pragma once
// A solid brush that deletes itself.
#include <windows.h>

class CBrush
{
public:
    explicit CBrush(COLORREF color) : m_hBrush(::CreateSolidBrush(color)) {}
    CBrush(const CBrush&) = delete;
    CBrush& operator=(const CBrush&) = delete;
    ~CBrush() { if (m_hBrush != nullptr) ::DeleteObject(m_hBrush); }

    HBRUSH GetSafeHandle() const { return m_hBrush; }

private:
    HBRUSH m_hBrush;
};
