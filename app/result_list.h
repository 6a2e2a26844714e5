#pragma once
// The result log: a list box whose lines carry their status word ("OK!" or "FAILED!")
// in a column of its own, on the list's tab stop.
#include "framework/ansi_string.h"
#include "framework/list_box.h"

class CResultList : public CListBox
{
public:
    DECLARE_DYNAMIC(CResultList)

    // Appends one line and selects it, so the newest line is highlighted and in view. Nothing is
    // drawn within the call: the list takes the line with redrawing off and draws it once
    // redrawing is on again, at the latest when the thread's next message pass handles the
    // message that turns it on. The first "OK!" (else the first "FAILED!") moves behind a tab;
    // text after it is dropped.
    void AddLine(CString text);

protected:
    DECLARE_MESSAGE_MAP()
};
