#pragma once
// Dialog data exchange: moves values between a dialog's members and its controls,
// in the direction that UpdateData asks for.
#include <windows.h>
#include "framework/ansi_string.h"

class CWnd;

class CDataExchange
{
public:
    CDataExchange(CWnd* dialog, BOOL saveAndValidate) : m_pDlgWnd(dialog), m_bSaveAndValidate(saveAndValidate) {}

    CWnd* m_pDlgWnd;
    BOOL m_bSaveAndValidate;  // TRUE: controls to members; FALSE: members to controls
};

// Combo box text. From the control: the edit field's text. To the control: the first list
// item that begins with the text (case ignored) is selected; when the text is empty or no
// item matches, the edit field's text is set instead.
void DDX_CBString(CDataExchange* dx, int id, CString& value);

// Attaches a control object to the dialog's control on the first exchange; later ones change nothing.
void DDX_Control(CDataExchange* dx, int id, CWnd& control);
