// The hooks of message_tally.h, loaded by the window system into the program whose thread they
// watch. They keep nothing of the program's and change no message.
#include "message_tally.h"

#include "res/resource.h"

namespace
{

MessageTally* g_tally = nullptr;
UINT g_notification = 0;
LARGE_INTEGER g_frequency;
// Lines added since the list was last painted, by the time of their add.
LARGE_INTEGER g_unpainted[MessageTally::kMaxLines];
int g_unpaintedCount = 0;

MessageTally* Tally()
{
    if (g_tally == nullptr) {
        char name[64];
        MessageTallyName(::GetCurrentProcessId(), name);
        HANDLE mapping = ::OpenFileMappingA(FILE_MAP_WRITE, FALSE, name);
        // The mapping stays open for the life of the process, as the view does.
        if (mapping != nullptr)
            g_tally = static_cast<MessageTally*>(::MapViewOfFile(mapping, FILE_MAP_WRITE, 0, 0, sizeof(MessageTally)));
    }
    return g_tally;
}

bool IsResultList(HWND window)
{
    return window != nullptr && ::GetDlgCtrlID(window) == IDC_RESULT_LIST;
}

// A paint of the list, from the queue or sent straight to it: the lines added since are drawn.
void ListPainted(MessageTally* tally)
{
    LARGE_INTEGER now;
    ::QueryPerformanceCounter(&now);
    for (int i = 0; i < g_unpaintedCount && tally->linesPainted < MessageTally::kMaxLines; ++i)
        tally->lineToPaintMs[tally->linesPainted++] =
            1000.0 * (double)(now.QuadPart - g_unpainted[i].QuadPart) / (double)g_frequency.QuadPart;
    g_unpaintedCount = 0;
}
} // namespace

extern "C" __declspec(dllexport) LRESULT CALLBACK TallyGetMessage(int code, WPARAM removal, LPARAM param)
{
    const MSG* msg = reinterpret_cast<const MSG*>(param);
    MessageTally* tally = code == HC_ACTION && removal == PM_REMOVE ? Tally() : nullptr;
    if (tally != nullptr) {
        if (msg->message == g_notification) {
            ++tally->notifications;
        } else if (msg->message == WM_PAINT && IsResultList(msg->hwnd)) {
            ListPainted(tally);
        }
    }
    return ::CallNextHookEx(nullptr, code, removal, param);
}

extern "C" __declspec(dllexport) LRESULT CALLBACK TallyCallWndProc(int code, WPARAM sent, LPARAM param)
{
    const CWPSTRUCT* call = reinterpret_cast<const CWPSTRUCT*>(param);
    const bool watched = call->message == LB_ADDSTRING || call->message == WM_PAINT;
    MessageTally* tally = code == HC_ACTION && watched && IsResultList(call->hwnd) ? Tally() : nullptr;
    if (tally != nullptr && call->message == WM_PAINT) {
        ListPainted(tally);
    } else if (tally != nullptr) {
        ++tally->linesAdded;
        if (g_unpaintedCount < MessageTally::kMaxLines)
            ::QueryPerformanceCounter(&g_unpainted[g_unpaintedCount++]);
    }
    return ::CallNextHookEx(nullptr, code, sent, param);
}

BOOL WINAPI DllMain(HINSTANCE, DWORD reason, LPVOID)
{
    if (reason == DLL_PROCESS_ATTACH) {
        // The window system may load a hook's DLL for one call and free it after; pinned, the
        // DLL and its state stay for the life of the process.
        HMODULE self = nullptr;
        ::GetModuleHandleExA(GET_MODULE_HANDLE_EX_FLAG_PIN | GET_MODULE_HANDLE_EX_FLAG_FROM_ADDRESS,
                             reinterpret_cast<LPCSTR>(&TallyGetMessage), &self);
        g_notification = ::RegisterWindowMessageA("CSerialWnd_DefaultComMsg");
        ::QueryPerformanceFrequency(&g_frequency);
    }
    return TRUE;
}
