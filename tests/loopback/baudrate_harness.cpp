#include "baudrate_harness.h"

void BaudrateHarness::SetUp()
{
    TestApp();
    HWND list = CreateTestLog();
    HWND progress = CreateTestProgress();
    ASSERT_NE(list, nullptr);
    ASSERT_NE(progress, nullptr);
    m_dlg.m_lstResult.Attach(list);
    m_dlg.m_progress.Attach(progress);
    m_dlg.SetLogTabStop();
}

void BaudrateHarness::TearDown()
{
    CloseCable();
    ::DestroyWindow(m_dlg.m_lstResult.Detach());
    ::DestroyWindow(m_dlg.m_progress.Detach());
    TestApp().Reset();
}

void BaudrateHarness::OpenCable(const std::string& options)
{
    m_cable.reset(new CTestCable);
    ASSERT_TRUE(m_cable->Claim(options)) << m_cable->Error();
    ASSERT_EQ(m_dlg.m_serial.Open(m_cable->Name().c_str(), (CWnd*)nullptr, 0, 0, 0, 0), 0) << m_cable->Name();
    m_dlg.m_serial.SetFlowControl(CSerialPort::FlowNone);
    m_dlg.m_serial.SetReadMode(CSerialPort::ReadUntilFull);
}

void BaudrateHarness::CloseCable()
{
    m_dlg.m_serial.Close();
    m_cable.reset();
}

void BaudrateHarness::PressStop()
{
    m_dlg.m_lstResult.AddLine("User cancelled!");
    m_dlg.m_bCancelled = true;
}

