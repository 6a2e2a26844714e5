// A main dialog without its window for the loopback test: a real list box and progress bar,
// the port opened on a virtual cable as a run opens it, and an application object whose idle
// step lets a test act in the middle of a run (where a user would press Stop).
#pragma once
#include <windows.h>
#include <commctrl.h>

#include <gtest/gtest.h>

#include <memory>
#include <string>
#include <vector>

#include "app/selftest_dlg.h"
#include "support/expected_log.h"
#include "support/list_box_lines.h"
#include "support/test_app.h"
#include "support/test_cable.h"

class CHarnessDlg : public CSelfTestDlg
{
public:
    using CSelfTestDlg::PumpMessages;
    using CSelfTestDlg::RunBaudrateTest;
    using CSelfTestDlg::SetLogTabStop;
    using CSelfTestDlg::TestBlockTransfer;
    using CSelfTestDlg::WaitResponsive;
    using CSelfTestDlg::m_bCancelled;
    using CSelfTestDlg::m_lstResult;
    using CSelfTestDlg::m_progress;
    using CSelfTestDlg::m_serial;
};

class BaudrateHarness : public ::testing::Test
{
protected:
    void SetUp() override;
    void TearDown() override;

    // Claims a cable with the given options and opens the port on it as a run does.
    void OpenCable(const std::string& options = "--instant");
    // Closes the port and gives the cable back.
    void CloseCable();
    // The log as shown: the text of every line of the list box.
    std::vector<std::string> Lines() const { return ListBoxLines(m_dlg.m_lstResult); }
    // Like OnStop: the line, then the flag.
    void PressStop();

    std::unique_ptr<CTestCable> m_cable;
    CHarnessDlg m_dlg;
};
