#include "baudrate_harness.h"

void BaudrateHarness::SetUp()
{
    ASSERT_NE(m_dlg.m_lstResult.m_hWnd, nullptr);
    ASSERT_NE(m_dlg.m_progress.m_hWnd, nullptr);
    m_dlg.SetLogTabStop();
}

void BaudrateHarness::OpenCable(const std::string& options)
{
    m_dlg.m_serial.Close();
    m_cable.reset(new CTestCable);
    ASSERT_TRUE(m_cable->Claim(options)) << m_cable->Error();
    ASSERT_EQ(m_dlg.OpenPort(m_cable->Name()), 0) << m_cable->Name();
}

void BaudrateHarness::PressStop()
{
    m_dlg.m_lstResult.AddLine("User cancelled!");
    m_dlg.m_bCancelled = true;
}
