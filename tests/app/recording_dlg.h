// The main dialog's control flow against a view that records what it is asked to show. The
// log and the progress bar are real controls (the test sequence writes to them directly);
// buttons, port box, message box and verdict exist only as the record.
#pragma once
#include <windows.h>

#include <string>
#include <vector>

#include "loopback/baudrate_harness.h"

class CRecordingDlg : public CHarnessDlg
{
public:
    using CSelfTestDlg::OnDeviceChange;
    using CSelfTestDlg::OnStart;
    using CSelfTestDlg::OnStop;
    using CSelfTestDlg::m_bFailed;
    using CSelfTestDlg::m_bPortFound;
    using CSelfTestDlg::m_bShowVerdict;
    using CSelfTestDlg::m_strPort;

    std::vector<std::string> Lines() const { return ListBoxLines(m_lstResult); }

    std::vector<std::string> calls; // every view operation, in order
    std::string portBox;            // the port box's text
    bool startEnabled = true;
    bool stopEnabled = false;

protected:
    void EnableRunButtons(bool start, bool stop) override
    {
        startEnabled = start;
        stopEnabled = stop;
        calls.push_back(std::string("buttons start ") + (start ? "on" : "off") + ", stop " + (stop ? "on" : "off"));
    }

    void PortToView() override
    {
        portBox = m_strPort;
        calls.push_back("port box <- " + portBox);
    }

    void PortFromView() override
    {
        m_strPort = portBox.c_str();
        calls.push_back("port box -> " + portBox);
    }

    void ResetProgress() override
    {
        calls.push_back("progress 0");
        CSelfTestDlg::ResetProgress();
    }

    void ClearLog() override
    {
        calls.push_back("clear log");
        CSelfTestDlg::ClearLog();
    }

    void SetLogTabStop() override
    {
        calls.push_back("tab stop");
        CSelfTestDlg::SetLogTabStop();
    }

    int ShowMessage(const char* text, UINT type) override
    {
        calls.push_back(std::string("message box \"") + text + "\" style " + std::to_string(type));
        return IDOK;
    }

    bool ClearVerdict() override
    {
        calls.push_back("clear verdict");
        return true;
    }

    bool DrawVerdict() override
    {
        calls.push_back(m_bFailed ? "verdict NG" : "verdict OK");
        m_bShowVerdict = true;
        return true;
    }
};
