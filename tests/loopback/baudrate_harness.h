// A main dialog without its window for the loopback test, its benchmark and the run-control
// tests' recording view: a real list box and progress bar, the port opened on a virtual cable as
// a run opens it, and an application object whose idle step lets a test act in the middle of a
// run (where a user would press Stop).
#pragma once
#include <windows.h>
#include <commctrl.h>

#include <gtest/gtest.h>

#include <memory>
#include <string>
#include <vector>

#include "app/selftest_dlg.h"
#include "loopback/test_data_generator.h"
#include "expected_log.h"
#include "support/list_box_lines.h"
#include "support/test_app.h"
#include "test_cable.h"

class CHarnessDlg : public CSelfTestDlg
{
public:
    CHarnessDlg()
    {
        TestApp();
        m_lstResult.Attach(CreateTestLog());
        m_progress.Attach(CreateTestProgress());
    }

    ~CHarnessDlg() override
    {
        m_serial.Close();
        ::DestroyWindow(m_lstResult.Detach());
        ::DestroyWindow(m_progress.Detach());
        TestApp().Reset();
    }

    // As a run opens it, notifying `target`; 0 or the failed open's Win32 code.
    LONG OpenPort(const std::string& name, CWnd* target = nullptr)
    {
        if (const LONG code = m_serial.Open(name.c_str(), target, 0, 0, 0, 0))
            return code;
        m_serial.SetFlowControl(CSerialPort::FlowNone);
        m_serial.SetReadMode(CSerialPort::ReadUntilFull);
        return 0;
    }

    using CSelfTestDlg::PumpMessages;
    using CSelfTestDlg::RunBaudrateTest;
    using CSelfTestDlg::SetLogTabStop;
    using CSelfTestDlg::WaitResponsive;
    using CSelfTestDlg::m_bCancelled;
    using CSelfTestDlg::m_lstResult;
    using CSelfTestDlg::m_progress;
    using CSelfTestDlg::m_serial;
};

// The low bytes of what `generator` gives next.
inline std::vector<uint8_t> Bytes(CTestDataGenerator generator, size_t count)
{
    std::vector<uint8_t> bytes(count);
    for (uint8_t& byte : bytes)
        byte = (uint8_t)generator.Next();
    return bytes;
}

// The test programs' fixture; the benchmark, which has no cable range of its own, has none.
#ifdef SELFTEST_COM_FIRST
class BaudrateHarness : public ::testing::Test
{
protected:
    void SetUp() override
    {
        ASSERT_TRUE(m_dlg.m_lstResult.m_hWnd != nullptr && m_dlg.m_progress.m_hWnd != nullptr);
        m_dlg.SetLogTabStop();
    }

    // Claims a cable with the given options and opens the port on it as a run does; the port
    // and cable of an earlier call go first.
    void OpenCable(const std::string& options = "--instant")
    {
        m_dlg.m_serial.Close();
        m_cable.reset(new CTestCable);
        ASSERT_TRUE(m_cable->Claim(options)) << m_cable->Error();
        ASSERT_EQ(m_dlg.OpenPort(m_cable->Name()), 0) << m_cable->Name();
    }

    std::vector<std::string> Lines() const { return ListBoxLines(m_dlg.m_lstResult); }

    // Like OnStop: the line, then the flag.
    void PressStop()
    {
        m_dlg.m_lstResult.AddLine("User cancelled!");
        m_dlg.m_bCancelled = true;
    }

    // Runs the test with PressStop in its message pump once the log has `lines` lines.
    bool RunStoppedAt(int lines)
    {
        TestApp().onIdle = [this, lines] {
            if (!m_dlg.m_bCancelled && m_dlg.m_lstResult.GetCount() == lines)
                PressStop();
        };
        return m_dlg.RunBaudrateTest();
    }

    std::unique_ptr<CTestCable> m_cable;
    CHarnessDlg m_dlg;
};
#endif
