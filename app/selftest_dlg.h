#pragma once
// The main dialog: the state of one test at a time and the control flow that drives it.
#include <windows.h>
#include <string>

#include "app/result_list.h"
#include "framework/button.h"
#include "framework/dialog.h"
#include "framework/progress_ctrl.h"
#include "serial/serial_wnd_port.h"

class CSelfTestDlg : public CDialog
{
public:
    explicit CSelfTestDlg(CWnd* parent = nullptr);
    ~CSelfTestDlg() override;

protected:
    void DoDataExchange(CDataExchange* dx) override;
    BOOL OnInitDialog() override;

    // Window side.
    void OnPaint();
    HCURSOR OnQueryDragIcon();
    LRESULT OnSerialMessage(WPARAM wParam, LPARAM lParam);

    // Run control.
    void OnStart();
    void OnStop();
    BOOL OnDeviceChange(UINT eventType, DWORD_PTR eventData);
    bool RunTest();
    bool ResetTest();

    // Result log and verdict.
    bool ClearVerdict();
    bool DrawVerdict();
    HBRUSH OnCtlColor(HDC dc, CWnd* control, UINT ctlColorKind);

    // The baud-rate loopback test.
    bool RunBaudrateTest();
    bool TestBlockTransfer(unsigned char dataBits);
    bool WaitResponsive(int milliseconds);
    bool PumpMessages();

    HICON m_hIcon;
    std::string m_strPort;
    CButton m_btnStart;
    CButton m_btnStop;
    CResultList m_lstResult;
    CSerialWndPort m_serial;
    bool m_bCancelled;
    bool m_bFailed;
    bool m_bShowVerdict;
    CProgressCtrl m_progress;
    HBRUSH m_hVerdictBrush;
    int m_bPortFound;

    DECLARE_MESSAGE_MAP()
};
