#include "framework/data_exchange.h"

#include "framework/wnd.h"

#include <cstdlib>

void DDX_CBString(CDataExchange* dx, int id, CString& value)
{
    HWND combo = dx->m_pDlgWnd->GetDlgItem(id);
    if (dx->m_bSaveAndValidate) {
        const int length = ::GetWindowTextLengthA(combo);
        char* text = static_cast<char*>(std::malloc((size_t)(length > 0 ? length : 0) + 1));
        if (text == nullptr)
            return;
        const int copied = ::GetWindowTextA(combo, text, length + 1);
        text[copied > 0 ? copied : 0] = '\0';
        value = text;
        std::free(text);
        return;
    }
    if (value.IsEmpty() ||
        ::SendMessageA(combo, CB_SELECTSTRING, (WPARAM)-1, (LPARAM)value.GetString()) == CB_ERR)
        ::SetWindowTextA(combo, value);
}

void DDX_Control(CDataExchange* dx, int id, CWnd& control)
{
    if (control.m_hWnd == nullptr)
        control.Attach(dx->m_pDlgWnd->GetDlgItem(id));
}
