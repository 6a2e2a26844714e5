#pragma once
// A list box: each operation is one list box message to the control.
#include "framework/wnd.h"
#include "framework/runtime_class.h"

class CListBox : public CWnd
{
public:
    DECLARE_DYNAMIC(CListBox)

    int AddString(LPCSTR text) const { return (int)SendMessage(LB_ADDSTRING, 0, (LPARAM)text); }
    int SetCurSel(int index) const { return (int)SendMessage(LB_SETCURSEL, (WPARAM)index); }
    int GetCurSel() const { return (int)SendMessage(LB_GETCURSEL); }
    void ResetContent() const { SendMessage(LB_RESETCONTENT); }
    int GetCount() const { return (int)SendMessage(LB_GETCOUNT); }
    int GetTextLen(int index) const { return (int)SendMessage(LB_GETTEXTLEN, (WPARAM)index); }
    int GetText(int index, LPSTR buffer) const { return (int)SendMessage(LB_GETTEXT, (WPARAM)index, (LPARAM)buffer); }
    BOOL SetTabStops(int count, const int* stops) const
    { return (BOOL)SendMessage(LB_SETTABSTOPS, (WPARAM)count, (LPARAM)stops); }
};
