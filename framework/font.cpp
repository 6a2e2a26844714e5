#include "framework/font.h"

BOOL CFont::CreatePointFont(int pointSize, LPCSTR faceName, HDC dc)
{
    DeleteObject();
    HDC screen = dc != nullptr ? dc : ::GetDC(nullptr);
    const int dpiY = ::GetDeviceCaps(screen, LOGPIXELSY);
    if (dc == nullptr)
        ::ReleaseDC(nullptr, screen);
    LOGFONTA lf = {};
    lf.lfHeight = -(dpiY * pointSize / 720);
    lf.lfCharSet = DEFAULT_CHARSET;
    lstrcpynA(lf.lfFaceName, faceName, LF_FACESIZE);
    m_hFont = ::CreateFontIndirectA(&lf);
    return m_hFont != nullptr;
}

BOOL CFont::DeleteObject()
{
    if (m_hFont == nullptr)
        return FALSE;
    BOOL deleted = ::DeleteObject(m_hFont);
    m_hFont = nullptr;
    return deleted;
}
