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
