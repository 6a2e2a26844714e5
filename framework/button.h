#pragma once
// A push button; enabling and disabling is all the dialog asks of it.
#include "framework/wnd.h"

class CButton : public CWnd
{
};
