#pragma once
// Polls a condition until it holds or the bound has passed; true when it held.
#include <windows.h>

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
