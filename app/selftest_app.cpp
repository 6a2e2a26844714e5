#include "app/selftest_app.h"

#include <commctrl.h>

#include "app/selftest_dlg.h"

BEGIN_MESSAGE_MAP(CSelfTestApp, CWinApp)
    ON_COMMAND(ID_HELP, CWinApp::OnHelp)
END_MESSAGE_MAP()

// No application name: the framework takes the executable's base name, which then captions
// the tool's message boxes.
CSelfTestApp::CSelfTestApp()
{
}

BOOL CSelfTestApp::InitInstance()
{
    ::InitCommonControls();
    CWinApp::InitInstance();
    AfxEnableControlContainer();

    CSelfTestDlg dlg;
    m_pMainWnd = &dlg;
    dlg.DoModal();
    m_pMainWnd = nullptr;

    // The dialog has ended: no message loop of the application's own, the process ends.
    return FALSE;
}

CSelfTestApp theApp;
