#include "framework/cmd_target.h"

const AFX_MSGMAP* CCmdTarget::GetThisMessageMap()
{
    static const AFX_MSGMAP_ENTRY entries[] = { { 0, 0, 0, 0, nullptr, nullptr } };
    static const AFX_MSGMAP messageMap = { nullptr, &entries[0] };
    return &messageMap;
}

const AFX_MSGMAP* CCmdTarget::GetMessageMap() const
{
    return GetThisMessageMap();
}

const AFX_MSGMAP_ENTRY* AfxFindMessageEntry(const AFX_MSGMAP* map, UINT message, WPARAM wParam)
{
    while (map != nullptr) {
        for (const AFX_MSGMAP_ENTRY* e = map->lpEntries; e->pfnThunk != nullptr; ++e) {
            if (e->pnRegistered != nullptr) {
                if (*e->pnRegistered != 0 && *e->pnRegistered == message)
                    return e;
                continue;
            }
            if (message < e->nMessage || message > e->nLastMessage)
                continue;
            if (message == WM_COMMAND &&
                (e->nCode != HIWORD(wParam) || e->nID != LOWORD(wParam)))
                continue;
            return e;
        }
        map = map->pfnGetBaseMap ? map->pfnGetBaseMap() : nullptr;
    }
    return nullptr;
}

bool CCmdTarget::OnWndMsg(UINT message, WPARAM wParam, LPARAM lParam, LRESULT* result)
{
    const AFX_MSGMAP_ENTRY* entry = AfxFindMessageEntry(GetMessageMap(), message, wParam);
    if (entry == nullptr)
        return false;
    // Handlers can run nested (a handler that pumps messages), so the outer message is kept.
    const CurrentMessage outer = m_currentMsg;
    m_currentMsg = { message, wParam, lParam };
    *result = entry->pfnThunk(this, message, wParam, lParam);
    m_currentMsg = outer;
    return true;
}
