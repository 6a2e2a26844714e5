#include "recording_dlg.h"
#include "support/list_box_lines.h"


CRecordingDlg::CRecordingDlg()
{
    TestApp();
    m_lstResult.Attach(CreateTestLog());
    m_progress.Attach(CreateTestProgress());
}

CRecordingDlg::~CRecordingDlg()
{
    TestApp().Reset();
    m_serial.Close();
    ::DestroyWindow(m_lstResult.Detach());
    ::DestroyWindow(m_progress.Detach());
}

std::vector<std::string> CRecordingDlg::Lines() const
{
    return ListBoxLines(m_lstResult);
}

void CRecordingDlg::EnableRunButtons(bool start, bool stop)
{
    startEnabled = start;
    stopEnabled = stop;
    calls.push_back(std::string("buttons start ") + (start ? "on" : "off") + ", stop " + (stop ? "on" : "off"));
}

void CRecordingDlg::PortToView()
{
    portBox = m_strPort;
    calls.push_back(std::string("port box <- ") + m_strPort.GetString());
}

void CRecordingDlg::PortFromView()
{
    m_strPort = portBox.c_str();
    calls.push_back("port box -> " + portBox);
}

void CRecordingDlg::ResetProgress()
{
    calls.push_back("progress 0");
    CSelfTestDlg::ResetProgress();
}

void CRecordingDlg::ClearLog()
{
    calls.push_back("clear log");
    CSelfTestDlg::ClearLog();
}

void CRecordingDlg::SetLogTabStop()
{
    calls.push_back("tab stop");
    CSelfTestDlg::SetLogTabStop();
}

int CRecordingDlg::ShowMessage(const char* text, UINT type)
{
    calls.push_back(std::string("message box \"") + text + "\" style " + std::to_string(type));
    return IDOK;
}

bool CRecordingDlg::ClearVerdict()
{
    calls.push_back("clear verdict");
    return true;
}

bool CRecordingDlg::DrawVerdict()
{
    calls.push_back(m_bFailed ? "verdict NG" : "verdict OK");
    m_bShowVerdict = true;
    return true;
}
