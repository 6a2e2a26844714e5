#pragma once
// The main dialog: the state of one test at a time and the control flow that drives it.
#include <windows.h>

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

    // Result log and verdict. Virtual so that a test can record them instead of drawing.
    virtual bool ClearVerdict();
    virtual bool DrawVerdict();
    HBRUSH OnCtlColor(HDC dc, CWnd* control, UINT ctlColorKind);

    // The baud-rate loopback test.
    bool RunBaudrateTest();
    bool TestBlockTransfer(unsigned char dataBits);
    bool WaitResponsive(int milliseconds);
    bool PumpMessages();

    // View operations: the only ways in which the run control touches the window system, so
    // that a test can run the whole flow against a view that records the calls.
    virtual void EnableRunButtons(bool startEnabled, bool stopEnabled);
    virtual void PortToView();   // m_strPort into the port box
    virtual void PortFromView(); // the port box's text into m_strPort
    virtual void ResetProgress();
    virtual void ClearLog();
    virtual void SetLogTabStop();
    // A message box with the application's name as caption; returns the button chosen.
    virtual int ShowMessage(const char* text, UINT type);

    HICON m_hIcon;
    CString m_strPort;
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
    // A run is on the stack: Start and port arrivals that come in through its message pump,
    // and port removals, leave it and its display alone.
    bool m_bRunning = false;

    DECLARE_MESSAGE_MAP()
};
