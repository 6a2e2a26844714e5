#include "api_ledger.h"

#include <algorithm>

namespace {

CApiLedger* g_ledger = nullptr;

HANDLE WINAPI LedgerCreateFileA(LPCSTR name, DWORD access, DWORD share, LPSECURITY_ATTRIBUTES security,
                                DWORD disposition, DWORD flags, HANDLE templateFile)
{
    CApiLedger& ledger = CApiLedger::Current();
    if (!ledger.Enter("CreateFileA", name))
        return INVALID_HANDLE_VALUE;
    HANDLE handle = ledger.m_real.CreateFileA(name, access, share, security, disposition, flags, templateFile);
    if (handle != INVALID_HANDLE_VALUE)
        ledger.NoteCreated(handle);
    return handle;
}

BOOL WINAPI LedgerCloseHandle(HANDLE handle)
{
    CApiLedger& ledger = CApiLedger::Current();
    ledger.Enter("CloseHandle");
    ledger.NoteClosed(handle);
    return ledger.m_real.CloseHandle(handle);
}

BOOL WINAPI LedgerSetupComm(HANDLE port, DWORD in, DWORD out)
{
    CApiLedger& ledger = CApiLedger::Current();
    return ledger.Enter("SetupComm") && ledger.m_real.SetupComm(port, in, out);
}

BOOL WINAPI LedgerGetCommState(HANDLE port, LPDCB dcb)
{
    CApiLedger& ledger = CApiLedger::Current();
    if (!ledger.Enter("GetCommState"))
        return FALSE;
    if (ledger.UsesFakeState()) {
        *dcb = ledger.CommState();
        return TRUE;
    }
    return ledger.m_real.GetCommState(port, dcb);
}

BOOL WINAPI LedgerSetCommState(HANDLE port, LPDCB dcb)
{
    CApiLedger& ledger = CApiLedger::Current();
    if (!ledger.Enter("SetCommState"))
        return FALSE;
    if (ledger.UsesFakeState()) {
        ledger.StoreCommState(*dcb);
        return TRUE;
    }
    return ledger.m_real.SetCommState(port, dcb);
}

BOOL WINAPI LedgerGetCommTimeouts(HANDLE port, LPCOMMTIMEOUTS timeouts)
{
    CApiLedger& ledger = CApiLedger::Current();
    return ledger.Enter("GetCommTimeouts") && ledger.m_real.GetCommTimeouts(port, timeouts);
}

BOOL WINAPI LedgerSetCommTimeouts(HANDLE port, LPCOMMTIMEOUTS timeouts)
{
    CApiLedger& ledger = CApiLedger::Current();
    return ledger.Enter("SetCommTimeouts") && ledger.m_real.SetCommTimeouts(port, timeouts);
}

BOOL WINAPI LedgerSetCommMask(HANDLE port, DWORD mask)
{
    CApiLedger& ledger = CApiLedger::Current();
    return ledger.Enter("SetCommMask") && ledger.m_real.SetCommMask(port, mask);
}

BOOL WINAPI LedgerGetDefaultCommConfigA(LPCSTR name, LPCOMMCONFIG config, LPDWORD size)
{
    CApiLedger& ledger = CApiLedger::Current();
    return ledger.Enter("GetDefaultCommConfigA", name) && ledger.m_real.GetDefaultCommConfigA(name, config, size);
}

BOOL WINAPI LedgerSetCommConfig(HANDLE port, LPCOMMCONFIG config, DWORD size)
{
    CApiLedger& ledger = CApiLedger::Current();
    return ledger.Enter("SetCommConfig") && ledger.m_real.SetCommConfig(port, config, size);
}

BOOL WINAPI LedgerWriteFile(HANDLE file, LPCVOID data, DWORD size, LPDWORD count, LPOVERLAPPED overlapped)
{
    CApiLedger& ledger = CApiLedger::Current();
    return ledger.Enter("WriteFile") && ledger.m_real.WriteFile(file, data, size, count, overlapped);
}

BOOL WINAPI LedgerReadFile(HANDLE file, LPVOID buffer, DWORD size, LPDWORD count, LPOVERLAPPED overlapped)
{
    CApiLedger& ledger = CApiLedger::Current();
    return ledger.Enter("ReadFile") && ledger.m_real.ReadFile(file, buffer, size, count, overlapped);
}

BOOL WINAPI LedgerWaitCommEvent(HANDLE port, LPDWORD events, LPOVERLAPPED overlapped)
{
    CApiLedger& ledger = CApiLedger::Current();
    return ledger.Enter("WaitCommEvent") && ledger.m_real.WaitCommEvent(port, events, overlapped);
}

DWORD WINAPI LedgerWaitForSingleObject(HANDLE handle, DWORD milliseconds)
{
    CApiLedger& ledger = CApiLedger::Current();
    return ledger.Enter("WaitForSingleObject") ? ledger.m_real.WaitForSingleObject(handle, milliseconds) : WAIT_FAILED;
}

BOOL WINAPI LedgerCancelIo(HANDLE file)
{
    CApiLedger& ledger = CApiLedger::Current();
    return ledger.Enter("CancelIo") && ledger.m_real.CancelIo(file);
}

HANDLE WINAPI LedgerCreateEventA(LPSECURITY_ATTRIBUTES security, BOOL manual, BOOL initial, LPCSTR name)
{
    CApiLedger& ledger = CApiLedger::Current();
    if (!ledger.Enter("CreateEventA"))
        return nullptr;
    HANDLE handle = ledger.m_real.CreateEventA(security, manual, initial, name);
    if (handle)
        ledger.NoteCreated(handle);
    return handle;
}

BOOL WINAPI LedgerResetEvent(HANDLE event)
{
    CApiLedger& ledger = CApiLedger::Current();
    return ledger.Enter("ResetEvent") && ledger.m_real.ResetEvent(event);
}

HANDLE WINAPI LedgerCreateThread(LPSECURITY_ATTRIBUTES security, SIZE_T stack, LPTHREAD_START_ROUTINE start,
                                 LPVOID param, DWORD flags, LPDWORD id)
{
    CApiLedger& ledger = CApiLedger::Current();
    if (!ledger.Enter("CreateThread"))
        return nullptr;
    HANDLE handle = ledger.m_real.CreateThread(security, stack, start, param, flags, id);
    if (handle)
        ledger.NoteCreated(handle);
    return handle;
}

BOOL WINAPI LedgerPostMessageA(HWND window, UINT message, WPARAM wParam, LPARAM lParam)
{
    CApiLedger& ledger = CApiLedger::Current();
    return ledger.Enter("PostMessageA") && ledger.m_real.PostMessageA(window, message, wParam, lParam);
}

} // namespace

CApiLedger::CApiLedger()
    : m_real(CSerialApi::Real())
{
    g_ledger = this;
    g_serialApi.CreateFileA = LedgerCreateFileA;
    g_serialApi.CloseHandle = LedgerCloseHandle;
    g_serialApi.SetupComm = LedgerSetupComm;
    g_serialApi.GetCommState = LedgerGetCommState;
    g_serialApi.SetCommState = LedgerSetCommState;
    g_serialApi.GetCommTimeouts = LedgerGetCommTimeouts;
    g_serialApi.SetCommTimeouts = LedgerSetCommTimeouts;
    g_serialApi.SetCommMask = LedgerSetCommMask;
    g_serialApi.GetDefaultCommConfigA = LedgerGetDefaultCommConfigA;
    g_serialApi.SetCommConfig = LedgerSetCommConfig;
    g_serialApi.ReadFile = LedgerReadFile;
    g_serialApi.WriteFile = LedgerWriteFile;
    g_serialApi.WaitCommEvent = LedgerWaitCommEvent;
    g_serialApi.WaitForSingleObject = LedgerWaitForSingleObject;
    g_serialApi.CancelIo = LedgerCancelIo;
    g_serialApi.CreateEventA = LedgerCreateEventA;
    g_serialApi.ResetEvent = LedgerResetEvent;
    g_serialApi.CreateThread = LedgerCreateThread;
    g_serialApi.PostMessageA = LedgerPostMessageA;
}

CApiLedger::~CApiLedger()
{
    g_serialApi = CSerialApi::Real();
    g_ledger = nullptr;
}

CApiLedger& CApiLedger::Current()
{
    return *g_ledger;
}

void CApiLedger::Fail(const std::string& call, DWORD code, int nth)
{
    std::lock_guard<std::mutex> hold(m_lock);
    m_failCall = call;
    m_failCode = code;
    m_failCountdown = nth;
}

void CApiLedger::FakeCommState(const DCB& dcb)
{
    std::lock_guard<std::mutex> hold(m_lock);
    m_bFakeState = true;
    m_dcb = dcb;
}

DCB CApiLedger::CommState()
{
    std::lock_guard<std::mutex> hold(m_lock);
    return m_dcb;
}

bool CApiLedger::UsesFakeState()
{
    std::lock_guard<std::mutex> hold(m_lock);
    return m_bFakeState;
}

void CApiLedger::StoreCommState(const DCB& dcb)
{
    std::lock_guard<std::mutex> hold(m_lock);
    m_dcb = dcb;
}

int CApiLedger::Count(const std::string& call)
{
    std::lock_guard<std::mutex> hold(m_lock);
    return static_cast<int>(std::count(m_calls.begin(), m_calls.end(), call));
}

std::vector<std::string> CApiLedger::Calls()
{
    std::lock_guard<std::mutex> hold(m_lock);
    return m_calls;
}

std::string CApiLedger::NameGiven(const std::string& call)
{
    std::lock_guard<std::mutex> hold(m_lock);
    for (auto it = m_names.rbegin(); it != m_names.rend(); ++it)
        if (it->first == call)
            return it->second;
    return "<not called>";
}

std::vector<HANDLE> CApiLedger::Created()
{
    std::lock_guard<std::mutex> hold(m_lock);
    return m_created;
}

std::vector<HANDLE> CApiLedger::Closed()
{
    std::lock_guard<std::mutex> hold(m_lock);
    return m_closed;
}

bool CApiLedger::Enter(const char* call, const char* name)
{
    DWORD failCode = 0;
    {
        std::lock_guard<std::mutex> hold(m_lock);
        m_calls.push_back(call);
        if (name)
            m_names.emplace_back(call, name);
        if (m_failCountdown > 0 && m_failCall == call && --m_failCountdown == 0)
            failCode = m_failCode;
    }
    if (failCode == 0)
        return true;
    ::SetLastError(failCode);
    return false;
}

void CApiLedger::NoteCreated(HANDLE handle)
{
    std::lock_guard<std::mutex> hold(m_lock);
    m_created.push_back(handle);
}

void CApiLedger::NoteClosed(HANDLE handle)
{
    std::lock_guard<std::mutex> hold(m_lock);
    m_closed.push_back(handle);
}
