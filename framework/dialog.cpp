#include "framework/dialog.h"

#include <cstring>

#include "framework/data_exchange.h"
#include "framework/win_app.h"

namespace {

// Resource type of a dialog's initialisation data.
const WORD kDlgInitResourceType = 240;
// The 16-bit era codes that initialisation data carries for adding list items.
const WORD kDlgInitLbAddString = 0x0401;
const WORD kDlgInitCbAddString = 0x0403;

// Messages whose result a dialog procedure returns directly instead of through DWLP_MSGRESULT.
bool ReturnsResultDirectly(UINT message)
{
    return (message >= WM_CTLCOLORMSGBOX && message <= WM_CTLCOLORSTATIC) || message == WM_QUERYDRAGICON ||
           message == WM_COMPAREITEM || message == WM_VKEYTOITEM || message == WM_CHARTOITEM ||
           message == WM_INITDIALOG;
}

} // namespace

BEGIN_MESSAGE_MAP(CDialog, CWnd)
    ON_COMMAND(IDOK, OnOK)
    ON_COMMAND(IDCANCEL, OnCancel)
END_MESSAGE_MAP()

INT_PTR CDialog::DoModal()
{
    CWinApp* app = AfxGetApp();
    HINSTANCE instance = app != nullptr ? app->m_hInstance : ::GetModuleHandleA(nullptr);
    HWND parent = m_pParentWnd != nullptr ? m_pParentWnd->m_hWnd : nullptr;
    return ::DialogBoxParamA(instance, MAKEINTRESOURCEA(m_nIDTemplate), parent, &CDialog::DialogProc,
                             (LPARAM)this);
}

INT_PTR CALLBACK CDialog::DialogProc(HWND hWnd, UINT message, WPARAM wParam, LPARAM lParam)
{
    CDialog* dialog;
    if (message == WM_INITDIALOG) {
        dialog = reinterpret_cast<CDialog*>(lParam);
        ::SetWindowLongPtrA(hWnd, DWLP_USER, (LONG_PTR)dialog);
        dialog->m_hWnd = hWnd;
        return dialog->OnInitDialog();
    }
    dialog = reinterpret_cast<CDialog*>(::GetWindowLongPtrA(hWnd, DWLP_USER));
    if (dialog == nullptr)
        return FALSE;
    if (message == WM_NCDESTROY) {
        dialog->m_hWnd = nullptr;
        return FALSE;
    }
    LRESULT result = 0;
    bool handled = dialog->OnWndMsg(message, wParam, lParam, &result);
    // Commands that the dialog does not handle go on to the application object.
    if (!handled && message == WM_COMMAND && AfxGetApp() != nullptr)
        handled = AfxGetApp()->OnWndMsg(message, wParam, lParam, &result);
    if (!handled)
        return FALSE;
    if (ReturnsResultDirectly(message))
        return (INT_PTR)result;
    ::SetWindowLongPtrA(hWnd, DWLP_MSGRESULT, (LONG_PTR)result);
    return TRUE;
}

BOOL CDialog::OnInitDialog()
{
    ExecuteDlgInit(m_nIDTemplate);
    UpdateData(FALSE);
    return TRUE;
}

void CDialog::ExecuteDlgInit(UINT templateId)
{
    CWinApp* app = AfxGetApp();
    HINSTANCE instance = app != nullptr ? app->m_hInstance : ::GetModuleHandleA(nullptr);
    HRSRC found = ::FindResourceA(instance, MAKEINTRESOURCEA(templateId), MAKEINTRESOURCEA(kDlgInitResourceType));
    if (found == nullptr)
        return;
    const BYTE* data = static_cast<const BYTE*>(::LockResource(::LoadResource(instance, found)));
    const BYTE* end = data + ::SizeofResource(instance, found);
    // Entries: control id (16 bits), message (16 bits), data length (32 bits), data; a 0 id ends them.
    while (data != nullptr && data + 8 <= end) {
        WORD id, code;
        DWORD length;
        std::memcpy(&id, data, 2);
        if (id == 0)
            break;
        std::memcpy(&code, data + 2, 2);
        std::memcpy(&length, data + 4, 4);
        data += 8;
        if (length > (DWORD)(end - data))
            break;
        UINT message = code == kDlgInitCbAddString ? CB_ADDSTRING
                     : code == kDlgInitLbAddString ? LB_ADDSTRING
                                                   : code;
        ::SendDlgItemMessageA(m_hWnd, id, message, 0, (LPARAM)data);
        data += length;
    }
}

void CDialog::DoDataExchange(CDataExchange*)
{
}

BOOL CDialog::UpdateData(BOOL saveAndValidate)
{
    CDataExchange dx(this, saveAndValidate);
    DoDataExchange(&dx);
    return TRUE;
}

void CDialog::OnOK()
{
    UpdateData(TRUE);
    EndDialog(IDOK);
}

void CDialog::OnCancel()
{
    EndDialog(IDCANCEL);
}
