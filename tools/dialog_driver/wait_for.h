#pragma once
// Waiting in tests: for a condition, for what is queued, and for a call to return.
#include <windows.h>

// Polls a condition until it holds or the bound has passed; true when it held.
template <typename Condition>
bool WaitFor(Condition condition, DWORD timeoutMs, DWORD pollMs = 5)
{
    const DWORD start = ::GetTickCount();
    while (!condition()) {
        if (::GetTickCount() - start >= timeoutMs)
            return condition();
        ::Sleep(pollMs);
    }
    return true;
}

// Handles every message already queued for this thread.
inline void DispatchQueued()
{
    MSG msg;
    while (::PeekMessageA(&msg, nullptr, 0, 0, PM_REMOVE)) {
        ::TranslateMessage(&msg);
        ::DispatchMessageA(&msg);
    }
}

// How long `call` took, in whole ms. From the performance counter: Wine's tick count moves in
// steps of about 16 ms, too coarse for a bound of a few.
template <typename Call> ULONGLONG MsTaken(Call call)
{
    LARGE_INTEGER frequency, start, end;
    ::QueryPerformanceFrequency(&frequency);
    ::QueryPerformanceCounter(&start);
    call();
    ::QueryPerformanceCounter(&end);
    return (ULONGLONG)((end.QuadPart - start.QuadPart) * 1000 / frequency.QuadPart);
}

// Processor time, user and kernel, that a thread of this process has used, in ms; ~0 when it
// cannot be read. Wine reads it from Linux, which forgets it once the thread has ended.
inline ULONGLONG ThreadBusyMs(HANDLE thread)
{
    FILETIME created, exited, kernel, user;
    if (!thread || !::GetThreadTimes(thread, &created, &exited, &kernel, &user))
        return ~0ull;
    auto ticks = [](const FILETIME& t) { return ((ULONGLONG)t.dwHighDateTime << 32) | t.dwLowDateTime; };
    return (ticks(kernel) + ticks(user)) / 10000;
}
