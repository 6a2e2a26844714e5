#pragma once
// A modal dialog from a template, with the dialog manager's default OK and Cancel handling:
// Enter off a button, Esc and the close box end it through OnOK and OnCancel.
#include "framework/wnd.h"

class CDataExchange;

class CDialog : public CWnd
{
public:
    explicit CDialog(UINT templateId, CWnd* parent = nullptr) : m_nIDTemplate(templateId), m_pParentWnd(parent) {}

    // Creates the dialog and runs it until EndDialog; returns the value given to EndDialog,
    // or -1 when the dialog cannot be created.
    virtual INT_PTR DoModal();
    BOOL UpdateData(BOOL saveAndValidate = TRUE);
    void EndDialog(int result) const { ::EndDialog(m_hWnd, result); }

protected:
    // Applies the template's initialisation data, then a first exchange to the controls.
    virtual BOOL OnInitDialog();
    virtual void DoDataExchange(CDataExchange* dx);
    virtual void OnOK();
    virtual void OnCancel();

    // Sends the initialisation data of dialog resource `templateId` to the controls.
    void ExecuteDlgInit(UINT templateId);

    UINT m_nIDTemplate;
    CWnd* m_pParentWnd;

    DECLARE_MESSAGE_MAP()

private:
    static INT_PTR CALLBACK DialogProc(HWND hWnd, UINT message, WPARAM wParam, LPARAM lParam);
};
