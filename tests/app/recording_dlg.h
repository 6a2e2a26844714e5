// The main dialog's control flow against a view that records what it is asked to show. The
// log and the progress bar are real controls (the test sequence writes to them directly);
// buttons, port box, message box and verdict exist only as the record.
#pragma once
#include <windows.h>

#include <string>
#include <vector>

#include "app/selftest_dlg.h"
#include "support/test_app.h"
#include "support/cable_client.h"

class CRecordingDlg : public CSelfTestDlg
{
public:
    CRecordingDlg();
    ~CRecordingDlg() override;

    using CSelfTestDlg::OnDeviceChange;
    using CSelfTestDlg::OnStart;
    using CSelfTestDlg::OnStop;
    using CSelfTestDlg::ResetTest;
    using CSelfTestDlg::RunTest;
    using CSelfTestDlg::m_bCancelled;
    using CSelfTestDlg::m_bFailed;
    using CSelfTestDlg::m_bPortFound;
    using CSelfTestDlg::m_bShowVerdict;
    using CSelfTestDlg::m_lstResult;
    using CSelfTestDlg::m_progress;
    using CSelfTestDlg::m_serial;
    using CSelfTestDlg::m_strPort;

    std::vector<std::string> Lines() const;

    std::vector<std::string> calls; // every view operation, in order
    std::string portBox;            // the port box's text
    bool startEnabled = true;
    bool stopEnabled = false;

protected:
    void EnableRunButtons(bool startEnabled, bool stopEnabled) override;
    void PortToView() override;
    void PortFromView() override;
    void ResetProgress() override;
    void ClearLog() override;
    void SetLogTabStop() override;
    int ShowMessage(const char* text, UINT type) override;
    bool ClearVerdict() override;
    bool DrawVerdict() override;
};
