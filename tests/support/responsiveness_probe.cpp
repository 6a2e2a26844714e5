#include "responsiveness_probe.h"

#include "wait_for.h"

namespace
{
// Longer than any stretch a scenario may show, so that a send ends by an answer.
const DWORD kSendBoundMs = 60000;
} // namespace

CResponsivenessProbe::CResponsivenessProbe(HWND window, DWORD pollMs) : m_hWindow(window), m_dwPollMs(pollMs)
{
    m_hThread = ::CreateThread(nullptr, 0, ProbeMain, this, 0, nullptr);
}

void CResponsivenessProbe::Stop()
{
    if (!m_hThread)
        return;
    m_bStop = true;
    // A send under way ends with the window's answer, or with the window.
    ::WaitForSingleObject(m_hThread, kSendBoundMs + 1000);
    ::CloseHandle(m_hThread);
    m_hThread = nullptr;
}

DWORD WINAPI CResponsivenessProbe::ProbeMain(LPVOID param)
{
    static_cast<CResponsivenessProbe*>(param)->Probe();
    return 0;
}

void CResponsivenessProbe::Probe()
{
    while (!m_bStop) {
        DWORD_PTR result = 0;
        BOOL answered = FALSE;
        const DWORD took = static_cast<DWORD>(MsTaken([&] {
            answered = ::SendMessageTimeoutA(m_hWindow, WM_NULL, 0, 0, SMTO_NORMAL, kSendBoundMs, &result) != 0;
        }));
        if (!answered && !::IsWindow(m_hWindow))
            return;
        ++m_polls;
        DWORD longest = m_longestMs;
        while (took > longest && !m_longestMs.compare_exchange_weak(longest, took)) {
        }
        ::Sleep(m_dwPollMs);
    }
}
