// A main dialog without its window for the loopback test: a real list box and progress bar,
// the port opened on a virtual cable as a run opens it, and an application object whose idle
// step lets a test act in the middle of a run (where a user would press Stop).
#pragma once
#include <windows.h>
#include <commctrl.h>

#include <gtest/gtest.h>

#include <functional>
#include <string>
#include <vector>

#include "app/selftest_dlg.h"
#include "framework/win_app.h"
#include "support/cable_client.h"
#include "support/expected_log.h"

class CHarnessApp : public CWinApp
{
public:
    CHarnessApp() : CWinApp("selftest") {}

    BOOL OnIdle(LONG idleCount) override
    {
        if (idleLog != nullptr)
            idleLog->push_back(idleCount);
        if (onIdle)
            onIdle();
        return idleCount < idleRounds;
    }

    std::function<void()> onIdle;
    std::vector<LONG>* idleLog = nullptr;
    LONG idleRounds = 0; // idle steps that report more work
};

CHarnessApp& HarnessApp();

class CHarnessDlg : public CSelfTestDlg
{
public:
    using CSelfTestDlg::PumpMessages;
    using CSelfTestDlg::RunBaudrateTest;
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

    // Adds cable COMn with the given options and opens the port on it as a run does.
    void OpenCable(int com, const std::string& options = "--instant");
    // The log as shown: the text of every line of the list box.
    std::vector<std::string> Lines() const;
    // Like OnStop: the line, then the flag.
    void PressStop();

    CCableClient m_cable;
    CHarnessDlg m_dlg;
    int m_com = 0;
};

// The 17 lines of a passing run as the list box shows them.
