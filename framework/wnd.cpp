#include "framework/wnd.h"

IMPLEMENT_DYNAMIC_ROOT(CWnd)

LRESULT CWnd::Default()
{
    // Dialogs leave the messages they map to the plain window procedure as well.
    return ::DefWindowProcA(m_hWnd, m_currentMsg.message, m_currentMsg.wParam, m_currentMsg.lParam);
}
