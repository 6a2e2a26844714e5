#pragma once
// The application object: shows the main dialog modally and ends when it ends.
#include "framework/win_app.h"

class CSelfTestApp : public CWinApp
{
public:
    CSelfTestApp();

    BOOL InitInstance() override;

protected:
    DECLARE_MESSAGE_MAP()
};
