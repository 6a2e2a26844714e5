#pragma once
// How long a window's thread goes without answering, seen from outside as an operator's click
// would find it: a thread of ours sends WM_NULL every few milliseconds and times each send. The
// longest send is the longest stretch in which the window did not answer, to within one poll.
#include <windows.h>

#include <atomic>

class CResponsivenessProbe
{
public:
    explicit CResponsivenessProbe(HWND window, DWORD pollMs = 10);
    ~CResponsivenessProbe() { Stop(); }
    CResponsivenessProbe(const CResponsivenessProbe&) = delete;
    CResponsivenessProbe& operator=(const CResponsivenessProbe&) = delete;

    bool IsRunning() const { return m_hThread != nullptr; }
    // Ends the polling; the figures stay readable.
    void Stop();
    // The longest unanswered stretch so far, in ms, and the sends made.
    DWORD LongestMs() const { return m_longestMs; }
    DWORD Polls() const { return m_polls; }
    // Since the last call: a figure per phase of a scenario.
    DWORD TakeLongestMs() { return m_longestMs.exchange(0); }

private:
    static DWORD WINAPI ProbeMain(LPVOID param);
    void Probe();

    HWND m_hWindow;
    DWORD m_dwPollMs;
    HANDLE m_hThread = nullptr;
    std::atomic<bool> m_bStop{false};
    std::atomic<DWORD> m_longestMs{0};
    std::atomic<DWORD> m_polls{0};
};
