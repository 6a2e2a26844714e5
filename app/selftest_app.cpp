#include "app/selftest_app.h"

CSelfTestApp::CSelfTestApp()
{
}

BOOL CSelfTestApp::InitInstance()
{
    return FALSE;
}

CSelfTestApp theApp;
