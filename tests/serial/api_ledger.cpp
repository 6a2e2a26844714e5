#include "api_ledger.h"

#include <algorithm>
#include <type_traits>

namespace {

CApiLedger* g_ledger = nullptr;

// The name a call was given: its first parameter when that is one.
template <typename... Rest> const char* NameIn(LPCSTR name, Rest...) { return name; }
template <typename... Args> const char* NameIn(Args...) { return nullptr; }

// The recording wrapper of one entry, with the entry's own signature: notes the call, fails it
// when chosen, passes it on to m_real, and notes the handle of a call that makes one.
template <typename Fn, Fn CSerialApi::*Entry> struct Watch;
template <typename R, typename... A, R(WINAPI* CSerialApi::*Entry)(A...)>
struct Watch<R(WINAPI*)(A...), Entry>
{
    static inline const char* s_call = nullptr;
    static inline R s_failed{};

    static R WINAPI Call(A... args)
    {
        if (!g_ledger->Enter(s_call, NameIn(args...)))
            return s_failed;
        const R result = (g_ledger->m_real.*Entry)(args...);
        if constexpr (std::is_same<R, HANDLE>::value)
            if (result != s_failed)
                g_ledger->Note(result);
        return result;
    }

    static void Install(const char* call, R failed)
    {
        s_call = call;
        s_failed = failed;
        g_serialApi.*Entry = Call;
    }
};

#define LEDGER_WATCH(entry, failed) \
    Watch<decltype(CSerialApi::entry), &CSerialApi::entry>::Install(#entry, failed)

// A close always happens: it is noted, never failed.
BOOL WINAPI LedgerCloseHandle(HANDLE handle)
{
    g_ledger->Enter("CloseHandle");
    g_ledger->Note(handle, true);
    return g_ledger->m_real.CloseHandle(handle);
}

// The driver's record, as FakeCommState replaced it.
BOOL WINAPI FakeGetCommState(HANDLE, LPDCB dcb)
{
    *dcb = g_ledger->CommState();
    return TRUE;
}

BOOL WINAPI FakeSetCommState(HANDLE, LPDCB dcb)
{
    g_ledger->FakeCommState(*dcb);
    return TRUE;
}

} // namespace

CApiLedger::CApiLedger()
    : m_real(CSerialApi::Real())
{
    g_ledger = this;
    g_serialApi.CloseHandle = LedgerCloseHandle;
    LEDGER_WATCH(CreateFileA, INVALID_HANDLE_VALUE);
    LEDGER_WATCH(CreateEventA, nullptr);
    LEDGER_WATCH(CreateThread, nullptr);
    LEDGER_WATCH(WaitForSingleObject, WAIT_FAILED);
    LEDGER_WATCH(SetupComm, FALSE);
    LEDGER_WATCH(GetCommState, FALSE);
    LEDGER_WATCH(SetCommState, FALSE);
    LEDGER_WATCH(GetCommTimeouts, FALSE);
    LEDGER_WATCH(SetCommTimeouts, FALSE);
    LEDGER_WATCH(SetCommMask, FALSE);
    LEDGER_WATCH(GetDefaultCommConfigA, FALSE);
    LEDGER_WATCH(SetCommConfig, FALSE);
    LEDGER_WATCH(ReadFile, FALSE);
    LEDGER_WATCH(WriteFile, FALSE);
    LEDGER_WATCH(WaitCommEvent, FALSE);
    LEDGER_WATCH(ClearCommError, FALSE);
    LEDGER_WATCH(CancelIo, FALSE);
    LEDGER_WATCH(ResetEvent, FALSE);
    LEDGER_WATCH(PostMessageA, FALSE);
}

CApiLedger::~CApiLedger()
{
    g_serialApi = CSerialApi::Real();
    g_ledger = nullptr;
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
    m_real.GetCommState = FakeGetCommState;
    m_real.SetCommState = FakeSetCommState;
    m_dcb = dcb;
}

int CApiLedger::Count(const std::string& call)
{
    std::lock_guard<std::mutex> hold(m_lock);
    return static_cast<int>(std::count(m_calls.begin(), m_calls.end(), call));
}

std::string CApiLedger::NameGiven(const std::string& call)
{
    std::lock_guard<std::mutex> hold(m_lock);
    for (auto it = m_names.rbegin(); it != m_names.rend(); ++it)
        if (it->first == call)
            return it->second;
    return "<not called>";
}

std::vector<HANDLE> CApiLedger::CreatedInReverse()
{
    std::vector<HANDLE> created = Created();
    std::reverse(created.begin(), created.end());
    return created;
}

bool CApiLedger::Enter(const char* call, const char* name)
{
    std::lock_guard<std::mutex> hold(m_lock);
    m_calls.push_back(call);
    if (name)
        m_names.emplace_back(call, name);
    if (m_failCountdown == 0 || m_failCall != call || --m_failCountdown != 0)
        return true;
    ::SetLastError(m_failCode);
    return false;
}

void CApiLedger::Note(HANDLE handle, bool closed)
{
    std::lock_guard<std::mutex> hold(m_lock);
    (closed ? m_closed : m_created).push_back(handle);
}
