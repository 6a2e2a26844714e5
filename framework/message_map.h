#pragma once
// Message maps: a window class lists the messages it handles in a table, one entry a line,
// and the dispatcher walks the class's table, then its base class's.
//
// Entry kinds and the handler each one calls (the signature is checked where the entry is written):
//   ON_WM_PAINT()                      void OnPaint()
//   ON_WM_QUERYDRAGICON()              HCURSOR OnQueryDragIcon()
//   ON_WM_CTLCOLOR()                   HBRUSH OnCtlColor(HDC dc, CWnd* control, UINT ctlColorKind)
//                                        (the whole WM_CTLCOLOR family; kind is CTLCOLOR_MSGBOX..CTLCOLOR_STATIC)
//   ON_WM_DEVICECHANGE()               BOOL OnDeviceChange(UINT eventType, DWORD_PTR eventData)
//   ON_COMMAND(id, handler)            void handler()        (WM_COMMAND from a menu, accelerator or IDOK/IDCANCEL)
//   ON_BN_CLICKED(id, handler)         void handler()        (BN_CLICKED from the button with that id)
//   ON_MESSAGE(msg, handler)           LRESULT handler(WPARAM, LPARAM)
//   ON_REGISTERED_MESSAGE(var, handler) LRESULT handler(WPARAM, LPARAM)  (var: a UINT holding a registered number)
#include <windows.h>

class CCmdTarget;
class CWnd;

typedef LRESULT (*AFX_MSG_THUNK)(CCmdTarget* target, UINT message, WPARAM wParam, LPARAM lParam);

struct AFX_MSGMAP_ENTRY
{
    UINT nMessage;            // first message of the entry (0 ends the table)
    UINT nLastMessage;        // last message of a range; equal to nMessage otherwise
    UINT nCode;               // notification code of WM_COMMAND entries
    UINT nID;                 // control or command id of WM_COMMAND entries
    const UINT* pnRegistered; // registered message number, read when the message arrives
    AFX_MSG_THUNK pfnThunk;   // calls the handler with its own signature
};

struct AFX_MSGMAP
{
    const AFX_MSGMAP* (*pfnGetBaseMap)();
    const AFX_MSGMAP_ENTRY* lpEntries;
};

// Finds the entry for a message in a map chain, or null.
const AFX_MSGMAP_ENTRY* AfxFindMessageEntry(const AFX_MSGMAP* map, UINT message, WPARAM wParam);

#define DECLARE_MESSAGE_MAP()                                   \
protected:                                                      \
    static const AFX_MSGMAP* GetThisMessageMap();               \
    const AFX_MSGMAP* GetMessageMap() const override;

#define BEGIN_MESSAGE_MAP(theClass, baseClass)                          \
    const AFX_MSGMAP* theClass::GetMessageMap() const { return GetThisMessageMap(); } \
    const AFX_MSGMAP* theClass::GetThisMessageMap()                     \
    {                                                                   \
        typedef theClass ThisClass;                                     \
        typedef baseClass TheBaseClass;                                 \
        static const AFX_MSGMAP_ENTRY entries[] = {

#define END_MESSAGE_MAP()                                               \
            { 0, 0, 0, 0, nullptr, nullptr }                            \
        };                                                              \
        static_assert(sizeof(ThisClass) > 0, "complete class");        \
        static const AFX_MSGMAP messageMap = { &TheBaseClass::GetThisMessageMap, &entries[0] }; \
        return &messageMap;                                             \
    }

#define AFX_THUNK(body) \
    [](CCmdTarget* w, UINT m, WPARAM wp, LPARAM lp) -> LRESULT { (void)m; (void)wp; (void)lp; ThisClass* t = static_cast<ThisClass*>(w); body }

#define ON_WM_PAINT() \
    { WM_PAINT, WM_PAINT, 0, 0, nullptr, AFX_THUNK(t->OnPaint(); return 0;) },

#define ON_WM_QUERYDRAGICON() \
    { WM_QUERYDRAGICON, WM_QUERYDRAGICON, 0, 0, nullptr, AFX_THUNK(return (LRESULT)t->OnQueryDragIcon();) },

#define ON_WM_CTLCOLOR()                                                           \
    { WM_CTLCOLORMSGBOX, WM_CTLCOLORSTATIC, 0, 0, nullptr, AFX_THUNK(              \
        CWnd control; control.Attach((HWND)lp);                                    \
        HBRUSH brush = t->OnCtlColor((HDC)wp, &control, m - WM_CTLCOLORMSGBOX);     \
        control.Detach(); return (LRESULT)brush;) },

#define ON_WM_DEVICECHANGE() \
    { WM_DEVICECHANGE, WM_DEVICECHANGE, 0, 0, nullptr, AFX_THUNK(return (LRESULT)t->OnDeviceChange((UINT)wp, (DWORD_PTR)lp);) },

#define ON_COMMAND(id, handler) \
    { WM_COMMAND, WM_COMMAND, 0, (UINT)(id), nullptr, AFX_THUNK(t->handler(); return 0;) },

#define ON_BN_CLICKED(id, handler) \
    { WM_COMMAND, WM_COMMAND, BN_CLICKED, (UINT)(id), nullptr, AFX_THUNK(t->handler(); return 0;) },

#define ON_MESSAGE(message, handler) \
    { (UINT)(message), (UINT)(message), 0, 0, nullptr, AFX_THUNK(return t->handler(wp, lp);) },

#define ON_REGISTERED_MESSAGE(numberVar, handler) \
    { 0xC000, 0xFFFF, 0, 0, &(numberVar), AFX_THUNK(return t->handler(wp, lp);) },
