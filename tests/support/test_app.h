// For test programs that run the dialog's code in their own process: the one application
// object, and stand-alone controls to attach where the dialog template would give them.
#pragma once
#include <windows.h>

#include <functional>
#include <vector>

#include "framework/win_app.h"

class CTestApp : public CWinApp
{
public:
    CTestApp() : CWinApp("selftest") {}

    // Runs inside every message pump of a run, where a user's click or a device notification
    // would be handled: calls onIdle, notes the idle count in idleLog and reports more work
    // for the first idleRounds steps.
    BOOL OnIdle(LONG idleCount) override;

    // A plain idle step again, for the next test.
    void Reset();

    std::function<void()> onIdle;
    std::vector<LONG>* idleLog = nullptr;
    LONG idleRounds = 0;
};

// Made on first use, with the common controls registered.
CTestApp& TestApp();

// Hidden popups: a list box styled like the dialog's log, and a progress bar. The caller
// destroys them.
HWND CreateTestLog();
HWND CreateTestProgress();
