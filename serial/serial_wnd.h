#pragma once
// CSerialWnd: a listening serial port that posts each watched event to a window.
//
// One posted message per report the listener passes on (see CSerialListener): wParam carries
// the EV_ bits in its low word and the CE_ line-error bits in its high word, lParam the value
// given to Open. The thread never waits for the window; a message that cannot be posted is
// lost. Errors follow CSerialPort's convention.
#include "serial/serial_listener.h"

#include <atomic>

// The message posted when Open is given message 0: "CSerialWnd_DefaultComMsg", registered
// during static initialisation; 0 if the registration failed.
extern UINT g_nSerialWndMsg;

class CSerialWnd : public CSerialListener
{
public:
    using CSerialListener::Open;

    CSerialWnd() = default;
    ~CSerialWnd() override;

    // Clears the target first, so that an event reported while the thread stops reaches no
    // window. Always 0.
    LONG Close() override;
    void OnPortEvent(DWORD events, DWORD errors) override;
    // Every failure leaves the object closed. The window handle is not checked.
    virtual LONG Open(const char* device, HWND hWnd, UINT message, LPARAM lParam, DWORD inQueue,
                      DWORD outQueue);

protected:
    std::atomic<HWND> m_hWndTarget{nullptr};
    std::atomic<UINT> m_nTargetMsg{0};
    std::atomic<LPARAM> m_lTargetParam{0};
};
