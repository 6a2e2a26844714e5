#pragma once
// The application object: start-up, the message step that the main loop and any nested
// message pump share, and idle-time processing.
#include <windows.h>

#include "framework/cmd_target.h"

class CWnd;

class CWinApp : public CCmdTarget
{
public:
    // appName null: the title string resource, else the executable's base name.
    explicit CWinApp(LPCSTR appName = nullptr);
    ~CWinApp() override;

    virtual BOOL InitInstance();
    virtual int ExitInstance();
    // The main message loop: steps until WM_QUIT, with idle work whenever the queue is empty.
    virtual int Run();
    // Retrieves one message (waiting for one if none is queued). FALSE when it was WM_QUIT;
    // otherwise pre-translates it, then translates and dispatches it.
    virtual BOOL PumpMessage();
    // Idle-time processing; returns nonzero while it has more to do. There is none here.
    virtual BOOL OnIdle(LONG idleCount);
    // Dialog keyboard handling (Tab, Enter, Esc, mnemonics) for the dialog the message belongs to.
    virtual BOOL PreTranslateMessage(MSG* msg);

    // The standard help command (ID_HELP). No help content ships, so there is nothing to show.
    void OnHelp() {}

    LPCSTR m_pszAppName = nullptr;
    HINSTANCE m_hInstance = nullptr;
    CWnd* m_pMainWnd = nullptr;
    int m_nExitCode = 0;

private:
    char m_appNameBuffer[MAX_PATH] = {};
};

// The standard help command's identifier.
#define ID_HELP 0xE146

CWinApp* AfxGetApp();
// Prepares the hosting of ActiveX controls in dialogs. The framework hosts none, so there is
// nothing to prepare; the call stays so that start-up reads in its usual order.
void AfxEnableControlContainer();
// A message box owned by the main window (or the popup it last activated), else by the active
// window, with the application's name as its caption.
int AfxMessageBox(LPCSTR text, UINT type = MB_OK);
// The framework's start-up: runs InitInstance, then the main loop if InitInstance asks for it.
int AfxWinMain(HINSTANCE instance);
