#include "framework/win_app.h"

#include <cstring>

#include "framework/wnd.h"

namespace {

CWinApp* g_pApp = nullptr;

// Resource id of the application's title string, where a program has one.
const UINT kAppTitleStringId = 0xE000;

bool IsDialogWindow(HWND hWnd)
{
    char className[16] = {};
    return ::GetClassNameA(hWnd, className, sizeof(className)) > 0 && std::strcmp(className, "#32770") == 0;
}

} // namespace

CWinApp::CWinApp(LPCSTR appName)
{
    g_pApp = this;
    m_hInstance = ::GetModuleHandleA(nullptr);
    if (appName != nullptr) {
        m_pszAppName = appName;
        return;
    }
    if (::LoadStringA(m_hInstance, kAppTitleStringId, m_appNameBuffer, sizeof(m_appNameBuffer)) <= 0) {
        char path[MAX_PATH] = {};
        ::GetModuleFileNameA(nullptr, path, sizeof(path));
        const char* base = path;
        for (const char* p = path; *p; p = ::CharNextA(p))
            if (*p == '\\' || *p == '/' || *p == ':')
                base = p + 1;
        lstrcpynA(m_appNameBuffer, base, sizeof(m_appNameBuffer));
        char* dot = std::strrchr(m_appNameBuffer, '.');
        if (dot != nullptr)
            *dot = '\0';
    }
    m_pszAppName = m_appNameBuffer;
}

CWinApp::~CWinApp()
{
    if (g_pApp == this)
        g_pApp = nullptr;
}

BOOL CWinApp::InitInstance()
{
    return TRUE;
}

int CWinApp::ExitInstance()
{
    return m_nExitCode;
}

int CWinApp::Run()
{
    for (;;) {
        MSG msg;
        LONG idleCount = 0;
        while (!::PeekMessageA(&msg, nullptr, 0, 0, PM_NOREMOVE) && OnIdle(idleCount++)) {
        }
        if (!PumpMessage())
            return ExitInstance();
    }
}

BOOL CWinApp::PumpMessage()
{
    MSG msg;
    if (::GetMessageA(&msg, nullptr, 0, 0) <= 0) {
        m_nExitCode = (int)msg.wParam;
        return FALSE;
    }
    if (!PreTranslateMessage(&msg)) {
        ::TranslateMessage(&msg);
        ::DispatchMessageA(&msg);
    }
    return TRUE;
}

BOOL CWinApp::OnIdle(LONG)
{
    return FALSE;
}

BOOL CWinApp::PreTranslateMessage(MSG* msg)
{
    const bool keyboardOrMouse = (msg->message >= WM_KEYFIRST && msg->message <= WM_KEYLAST) ||
                                 (msg->message >= WM_MOUSEFIRST && msg->message <= WM_MOUSELAST);
    if (!keyboardOrMouse || msg->hwnd == nullptr)
        return FALSE;
    HWND root = ::GetAncestor(msg->hwnd, GA_ROOT);
    return root != nullptr && IsDialogWindow(root) && ::IsDialogMessageA(root, msg);
}

void AfxEnableControlContainer()
{
}

CWinApp* AfxGetApp()
{
    return g_pApp;
}

int AfxMessageBox(LPCSTR text, UINT type)
{
    CWinApp* app = AfxGetApp();
    // The main window, or the popup it last activated, owns the box whatever has the focus: a
    // box raised while another program is active (a device notification) still stays above the
    // dialog and keeps it disabled until it is closed.
    HWND owner = nullptr;
    if (app != nullptr && app->m_pMainWnd != nullptr && ::IsWindow(app->m_pMainWnd->m_hWnd))
        owner = ::GetLastActivePopup(app->m_pMainWnd->m_hWnd);
    else
        owner = ::GetActiveWindow();
    return ::MessageBoxA(owner, text, app != nullptr ? app->m_pszAppName : nullptr, type);
}

int AfxWinMain(HINSTANCE instance)
{
    CWinApp* app = AfxGetApp();
    if (app == nullptr)
        return -1;
    app->m_hInstance = instance;
    if (!app->InitInstance())
        return app->ExitInstance();
    return app->Run();
}
