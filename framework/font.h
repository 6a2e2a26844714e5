#pragma once
// A font that deletes itself.
#include <windows.h>

class CFont
{
public:
    CFont() = default;
    CFont(const CFont&) = delete;
    CFont& operator=(const CFont&) = delete;
    ~CFont() { DeleteObject(); }

    // A font of the given size in tenths of a point. Without a device context the screen's
    // vertical resolution converts points to pixels: height = -(dpiY * pointSize / 720).
    BOOL CreatePointFont(int pointSize, LPCSTR faceName, HDC dc = nullptr);
    BOOL DeleteObject();
    HFONT GetSafeHandle() const { return m_hFont; }

private:
    HFONT m_hFont = nullptr;
};
