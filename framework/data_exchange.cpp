#include "framework/data_exchange.h"

#include "framework/wnd.h"

void DDX_CBString(CDataExchange* dx, int id, std::string& value)
{
    HWND combo = dx->m_pDlgWnd->GetDlgItem(id);
    if (dx->m_bSaveAndValidate) {
        const int length = ::GetWindowTextLengthA(combo);
        std::string text(length > 0 ? (size_t)length + 1 : 1, '\0');
        const int copied = ::GetWindowTextA(combo, &text[0], (int)text.size());
        text.resize(copied > 0 ? (size_t)copied : 0);
        value = text;
        return;
    }
    if (value.empty() ||
        ::SendMessageA(combo, CB_SELECTSTRING, (WPARAM)-1, (LPARAM)value.c_str()) == CB_ERR)
        ::SetWindowTextA(combo, value.c_str());
}

void DDX_Control(CDataExchange* dx, int id, CWnd& control)
{
    if (control.m_hWnd == nullptr)
        control.Attach(dx->m_pDlgWnd->GetDlgItem(id));
}
