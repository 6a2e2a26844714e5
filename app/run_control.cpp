#include "app/selftest_dlg.h"

#include <dbt.h>

#include "framework/win_app.h"
#include "loopback/port_discovery.h"

namespace {

// The log's one tab stop, in dialog template units: the status words line up on it.
const int kLogTabStop = 180;
// Room for "COMn" and whatever discovery writes.
const size_t kPortNameSize = 16;

} // namespace

void CSelfTestDlg::OnStart()
{
    // A Start or port arrival handled inside a run's message pump would reset the display of
    // the run in progress, drop a Stop already pressed and leave Stop disabled while the run
    // goes on. The run in progress ends by itself.
    if (m_bRunning)
        return;
    m_bRunning = true;
    EnableRunButtons(false, true);
    ResetTest();
    RunTest();
    EnableRunButtons(true, false);
    m_bRunning = false;
}

void CSelfTestDlg::OnStop()
{
    m_lstResult.AddLine("User cancelled!");
    // Seen at the run's next 200 ms pause.
    m_bCancelled = true;
    EnableRunButtons(true, false);
}

BOOL CSelfTestDlg::OnDeviceChange(UINT eventType, DWORD_PTR eventData)
{
    // Only the two events handled carry a header; other events' data is not looked at.
    if (eventType != DBT_DEVICEARRIVAL && eventType != DBT_DEVICEREMOVECOMPLETE)
        return TRUE;
    const DEV_BROADCAST_HDR* header = reinterpret_cast<const DEV_BROADCAST_HDR*>(eventData);
    if (header == nullptr || header->dbch_devicetype != DBT_DEVTYP_PORT)
        return TRUE;
    if (eventType == DBT_DEVICEARRIVAL) {
        if (m_bRunning)
            return TRUE;
        if (m_bPortFound == 0) {
            char portName[kPortNameSize] = {};
            m_bPortFound = FindDevicePort(portName) ? 1 : 0;
            // Also when nothing answered: the box then shows the last name tried.
            m_strPort = portName;
            PortToView();
        }
        OnStart();
    } else if (eventType == DBT_DEVICEREMOVECOMPLETE) {
        // A removed cable fails the transfers of a run in progress, whose log says why.
        if (!m_bRunning)
            ResetTest();
    }
    return TRUE;
}

bool CSelfTestDlg::RunTest()
{
    PortFromView();
    if (m_serial.Open(m_strPort, this, 0, 0, 0, 0) != 0) {
        ShowMessage("Unable to open port", MB_ICONHAND);
        return false;
    }
    ClearLog();
    SetLogTabStop();
    m_serial.SetFlowControl(CSerialPort::FlowNone);
    m_serial.SetReadMode(CSerialPort::ReadUntilFull);
    if (!m_bCancelled && !m_bFailed && !RunBaudrateTest())
        m_bFailed = true;
    m_serial.Close();
    DrawVerdict();
    return true;
}

bool CSelfTestDlg::ResetTest()
{
    m_bCancelled = false;
    m_bFailed = false;
    m_bShowVerdict = false;
    ResetProgress();
    ClearVerdict();
    ClearLog();
    return true;
}

void CSelfTestDlg::EnableRunButtons(bool startEnabled, bool stopEnabled)
{
    m_btnStart.EnableWindow(startEnabled);
    m_btnStop.EnableWindow(stopEnabled);
}

void CSelfTestDlg::PortToView()
{
    UpdateData(FALSE);
}

void CSelfTestDlg::PortFromView()
{
    UpdateData(TRUE);
}

void CSelfTestDlg::ResetProgress()
{
    m_progress.SetPos(0);
}

void CSelfTestDlg::ClearLog()
{
    m_lstResult.ResetContent();
}

void CSelfTestDlg::SetLogTabStop()
{
    m_lstResult.SetTabStops(1, &kLogTabStop);
}

int CSelfTestDlg::ShowMessage(const char* text, UINT type)
{
    return AfxMessageBox(text, type);
}
