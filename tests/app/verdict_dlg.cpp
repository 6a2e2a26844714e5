#include "verdict_dlg.h"
#include "support/list_box_lines.h"

#include <algorithm>

#include "res/resource.h"

namespace {

const UINT kRunBodyMessage = WM_APP + 1;
// A spot of the screen of its own, away from the corner where other programs' windows open.
const int kDialogX = 600;
const int kDialogY = 300;

void Include(VerdictInk::Colour& colour, int x, int y)
{
    if (colour.count++ == 0) {
        colour.box = { x, y, x + 1, y + 1 };
        return;
    }
    colour.box.left = std::min<LONG>(colour.box.left, x);
    colour.box.top = std::min<LONG>(colour.box.top, y);
    colour.box.right = std::max<LONG>(colour.box.right, x + 1);
    colour.box.bottom = std::max<LONG>(colour.box.bottom, y + 1);
}

} // namespace

BEGIN_MESSAGE_MAP(CVerdictDlg, CSelfTestDlg)
    ON_WM_CTLCOLOR()
    ON_MESSAGE(kRunBodyMessage, OnRunBody)
END_MESSAGE_MAP()

void CVerdictDlg::RunWith(std::function<void()> body)
{
    m_body = std::move(body);
    DoModal();
}

BOOL CVerdictDlg::OnInitDialog()
{
    CSelfTestDlg::OnInitDialog();
    ::SetWindowPos(m_hWnd, HWND_TOPMOST, kDialogX, kDialogY, 0, 0, SWP_NOSIZE | SWP_SHOWWINDOW);
    PostMessage(kRunBodyMessage);
    return TRUE;
}

LRESULT CVerdictDlg::OnRunBody(WPARAM, LPARAM)
{
    Settle();
    if (m_body)
        m_body();
    EndDialog(IDOK);
    return 0;
}

void CVerdictDlg::Settle(DWORD milliseconds)
{
    const DWORD start = ::GetTickCount();
    do {
        MSG msg;
        while (::PeekMessageA(&msg, nullptr, 0, 0, PM_REMOVE)) {
            ::TranslateMessage(&msg);
            ::DispatchMessageA(&msg);
        }
        ::Sleep(5);
    } while (::GetTickCount() - start < milliseconds);
}

std::vector<std::string> CVerdictDlg::Lines() const
{
    return ListBoxLines(m_lstResult);
}

VerdictInk ReadVerdictInk(HWND verdictArea)
{
    VerdictInk ink;
    RECT client;
    ::GetClientRect(verdictArea, &client);
    POINT origin = { 0, 0 };
    ::ClientToScreen(verdictArea, &origin);
    const int width = client.right, height = client.bottom;

    // The verdict is drawn straight onto the control, so only the screen holds it.
    HDC screen = ::GetDC(nullptr);
    HDC memory = ::CreateCompatibleDC(screen);
    BITMAPINFO info = {};
    info.bmiHeader.biSize = sizeof(info.bmiHeader);
    info.bmiHeader.biWidth = width;
    info.bmiHeader.biHeight = -height;
    info.bmiHeader.biPlanes = 1;
    info.bmiHeader.biBitCount = 32;
    info.bmiHeader.biCompression = BI_RGB;
    void* bits = nullptr;
    HBITMAP bitmap = ::CreateDIBSection(screen, &info, DIB_RGB_COLORS, &bits, nullptr, 0);
    HGDIOBJ previous = ::SelectObject(memory, bitmap);
    ::BitBlt(memory, 0, 0, width, height, screen, origin.x, origin.y, SRCCOPY);
    ::GdiFlush();
    const DWORD* pixels = static_cast<const DWORD*>(bits);
    for (int y = 0; y < height; ++y) {
        for (int x = 0; x < width; ++x) {
            const DWORD p = pixels[y * width + x] & 0xFFFFFF; // 0x00RRGGBB
            if (p == 0x00AA00)
                Include(ink.green, x, y);
            else if (p == 0xFF0000)
                Include(ink.red, x, y);
            else if (p == 0xC0C0C0)
                Include(ink.grey, x, y);
        }
    }
    ::SelectObject(memory, previous);
    ::DeleteObject(bitmap);
    ::DeleteDC(memory);
    ::ReleaseDC(nullptr, screen);
    return ink;
}
