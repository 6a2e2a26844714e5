#pragma once
// While it lives, the entries of g_serialApi that tests watch go through recording wrappers:
// the calls in order, the handles the serial classes created and closed, and a chosen call that fails.
// Make one before the serial objects of a test and let it go after them.
#include <windows.h>

#include <mutex>
#include <string>
#include <vector>

#include "serial/serial_api.h"

class CApiLedger
{
public:
    CApiLedger();
    ~CApiLedger();
    CApiLedger(const CApiLedger&) = delete;
    CApiLedger& operator=(const CApiLedger&) = delete;

    // The nth call of `call` from now on fails with `code` without reaching the system.
    void Fail(const std::string& call, DWORD code, int nth = 1);
    // From now on GetCommState and SetCommState read and write this record, not the driver.
    void FakeCommState(const DCB& dcb);
    DCB CommState() { return Copy(m_dcb); }

    int Count(const std::string& call);
    // The name the last CreateFileA or GetDefaultCommConfigA was given.
    std::string NameGiven(const std::string& call);
    // By CreateFileA, CreateEventA and CreateThread, in order.
    std::vector<HANDLE> Created() { return Copy(m_created); }
    // What Closed() is once everything created was released in reverse.
    std::vector<HANDLE> CreatedInReverse();
    std::vector<HANDLE> Closed() { return Copy(m_closed); } // given to CloseHandle, in order

    // Used by the wrappers.
    bool Enter(const char* call, const char* name = nullptr);  // false: fail this call
    void Note(HANDLE handle, bool closed = false);  // by default: created

    // Where the wrappers pass each call on to: the system, or a test's stand-in for it.
    CSerialApi m_real;

private:
    template <typename T> T Copy(const T& member)
    {
        std::lock_guard<std::mutex> hold(m_lock);
        return member;
    }

    std::mutex m_lock;
    std::vector<std::string> m_calls;
    std::vector<std::pair<std::string, std::string>> m_names;
    std::vector<HANDLE> m_created;
    std::vector<HANDLE> m_closed;
    std::string m_failCall;
    DWORD m_failCode = 0;
    int m_failCountdown = 0;
    DCB m_dcb = {};
};

// Another handle of the same thread or event, which stays valid after the original is closed.
inline HANDLE Duplicate(HANDLE handle)
{
    HANDLE copy = nullptr;
    ::DuplicateHandle(::GetCurrentProcess(), handle, ::GetCurrentProcess(), &copy, 0, FALSE, DUPLICATE_SAME_ACCESS);
    return copy;
}
