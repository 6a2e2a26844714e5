#pragma once
// A progress bar: each operation is one progress bar message to the control.
#include "framework/wnd.h"
#include <commctrl.h>

class CProgressCtrl : public CWnd
{
public:
    void SetRange(short lower, short upper) const { SendMessage(PBM_SETRANGE, 0, MAKELPARAM(lower, upper)); }
    int SetStep(int step) const { return (int)SendMessage(PBM_SETSTEP, (WPARAM)step); }
    int SetPos(int pos) const { return (int)SendMessage(PBM_SETPOS, (WPARAM)pos); }
    int GetPos() const { return (int)SendMessage(PBM_GETPOS); }
    int StepIt() const { return (int)SendMessage(PBM_STEPIT); }
};
