// The real main dialog from its template, run modally, with a test body that runs inside it
// once it is on the screen; and the verdict area's pixels read back from the screen.
#pragma once
#include <windows.h>

#include <functional>
#include <string>
#include <vector>

#include "app/selftest_dlg.h"
#include "support/dialog_driver.h"

class CVerdictDlg : public CSelfTestDlg
{
public:
    using CSelfTestDlg::ClearVerdict;
    using CSelfTestDlg::DrawVerdict;
    using CSelfTestDlg::OnStart;
    using CSelfTestDlg::PortToView;
    using CSelfTestDlg::ResetTest;
    using CSelfTestDlg::m_bFailed;
    using CSelfTestDlg::m_bShowVerdict;
    using CSelfTestDlg::m_lstResult;
    using CSelfTestDlg::m_progress;
    using CSelfTestDlg::m_strPort;

    // Shows the dialog, runs `body` inside its message loop, then ends it.
    void RunWith(std::function<void()> body);

    // Handles what is queued for a while, so that repaints have happened.
    static void Settle(DWORD milliseconds = 150);

    std::vector<std::string> Lines() const;
    bool IsEnabled(int id) const { return ::IsWindowEnabled(GetDlgItem(id)) != FALSE; }

protected:
    BOOL OnInitDialog() override;
    LRESULT OnRunBody(WPARAM, LPARAM);

    DECLARE_MESSAGE_MAP()

private:
    std::function<void()> m_body;
};

using VerdictInk = CDialogDriver::VerdictInk;
