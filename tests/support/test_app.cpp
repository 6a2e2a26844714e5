#include "test_app.h"

#include <commctrl.h>

BOOL CTestApp::OnIdle(LONG idleCount)
{
    if (idleLog != nullptr)
        idleLog->push_back(idleCount);
    if (onIdle)
        onIdle();
    return idleCount < idleRounds;
}

void CTestApp::Reset()
{
    onIdle = nullptr;
    idleLog = nullptr;
    idleRounds = 0;
}

CTestApp& TestApp()
{
    static CTestApp app;
    static const bool registered = (::InitCommonControls(), true);
    (void)registered;
    return app;
}

HWND CreateTestLog()
{
    return ::CreateWindowExA(0, "LISTBOX", "", WS_POPUP | WS_VSCROLL | LBS_NOTIFY | LBS_USETABSTOPS, 0, 0, 400, 300,
                             nullptr, nullptr, ::GetModuleHandleA(nullptr), nullptr);
}

HWND CreateTestProgress()
{
    return ::CreateWindowExA(0, PROGRESS_CLASSA, "", WS_POPUP | PBS_SMOOTH, 0, 0, 200, 20, nullptr, nullptr,
                             ::GetModuleHandleA(nullptr), nullptr);
}
