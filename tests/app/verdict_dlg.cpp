#include "verdict_dlg.h"
#include "support/list_box_lines.h"

#include <algorithm>

#include "res/resource.h"

namespace {

const UINT kRunBodyMessage = WM_APP + 1;
// A spot of the screen of its own, away from the corner where other programs' windows open.
const int kDialogX = 600;
const int kDialogY = 300;

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
    // The verdict is drawn straight onto the control, so only the screen holds it.
    VerdictInk ink;
    ::GetClientRect(verdictArea, &ink.area);
    ::MapWindowPoints(verdictArea, nullptr, reinterpret_cast<POINT*>(&ink.area), 2);
    std::vector<COLORREF> pixels;
    if (!CDialogDriver::ReadScreen(ink.area, pixels))
        return ink;
    const int width = ink.area.right - ink.area.left;
    ink.total = (int)pixels.size();
    for (size_t i = 0; i < pixels.size(); ++i) {
        const COLORREF p = pixels[i];
        CDialogDriver::Ink* kind = p == RGB(0, 170, 0) ? &ink.green : p == RGB(255, 0, 0) ? &ink.red
                                 : p == RGB(192, 192, 192) ? &ink.grey : nullptr;
        if (kind == nullptr) {
            ink.other += p != ::GetSysColor(COLOR_BTNFACE);
            continue;
        }
        const LONG x = ink.area.left + (LONG)(i % width), y = ink.area.top + (LONG)(i / width);
        if (kind->count++ == 0)
            kind->box = { x, y, x + 1, y + 1 };
        kind->box = { std::min(kind->box.left, x), std::min(kind->box.top, y), std::max(kind->box.right, x + 1),
                      std::max(kind->box.bottom, y + 1) };
    }
    return ink;
}
