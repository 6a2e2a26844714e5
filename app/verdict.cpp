#include "app/selftest_dlg.h"

#include "framework/brush.h"
#include "framework/client_dc.h"
#include "framework/font.h"
#include "res/resource.h"

namespace {

const COLORREF kOkColor = RGB(0, 170, 0);
const COLORREF kNgColor = RGB(255, 0, 0);
const COLORREF kShadowColor = RGB(192, 192, 192);
const int kShadowOffset = 5;
const int kFontTenthsOfPoint = 420;
const UINT kVerdictFormat = DT_CENTER | DT_VCENTER | DT_SINGLELINE;

} // namespace

bool CSelfTestDlg::ClearVerdict()
{
    CWnd verdict;
    verdict.Attach(GetDlgItem(IDC_VERDICT));
    RECT area;
    verdict.GetClientRect(&area);
    {
        CClientDC dc(&verdict);
        CBrush face(::GetSysColor(COLOR_BTNFACE));
        dc.FillRect(&area, face.GetSafeHandle());
    }
    verdict.Detach();
    return true;
}

bool CSelfTestDlg::DrawVerdict()
{
    // Made and deleted on every call, repaints included: no font outlives the drawing.
    CFont font;
    font.CreatePointFont(kFontTenthsOfPoint, "Arial");
    CWnd verdict;
    verdict.Attach(GetDlgItem(IDC_VERDICT));
    RECT area;
    verdict.GetClientRect(&area);
    {
        CClientDC dc(&verdict);
        const char* const text = m_bFailed ? "NG" : "OK";
        const COLORREF color = m_bFailed ? kNgColor : kOkColor;
        HGDIOBJ previousFont = dc.SelectObject(font.GetSafeHandle());
        dc.SetBkMode(TRANSPARENT);
        ::OffsetRect(&area, kShadowOffset, kShadowOffset);
        dc.SetTextColor(kShadowColor);
        dc.DrawText(text, -1, &area, kVerdictFormat);
        ::OffsetRect(&area, -kShadowOffset, -kShadowOffset);
        dc.SetTextColor(color);
        dc.DrawText(text, -1, &area, kVerdictFormat);
        dc.SelectObject(previousFont);
    }
    verdict.Detach();
    m_bShowVerdict = true;
    return true;
}

HBRUSH CSelfTestDlg::OnCtlColor(HDC, CWnd* control, UINT)
{
    HBRUSH brush = (HBRUSH)Default();
    if (control->GetDlgCtrlID() != IDC_VERDICT)
        return brush;
    // The static control knows nothing of the verdict: each time it paints, the verdict is
    // drawn again and the null brush keeps the control from painting over it.
    if (m_bShowVerdict)
        DrawVerdict();
    return m_hVerdictBrush;
}
