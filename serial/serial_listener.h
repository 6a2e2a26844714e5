#pragma once
// CSerialListener: a serial port watched by a thread of its own, which hands every watched
// event, with the port's line errors, to OnPortEvent. Errors follow CSerialPort's convention.
//
// The thread blocks in one event wait on an OVERLAPPED and event of its own, so the
// controlling thread's Read and Write go on beside it on the same handle. It takes a report at
// most every few milliseconds; what the driver reports meanwhile merges into the next call. A
// report of the same unread bytes again (a driver that reports EV_RXCHAR for queued bytes, not
// arrivals) is held back until the port goes quiet or something new comes, a quarter second
// at most, so that a reader that leaves bytes queued costs neither calls nor processor time.
// Stopping re-applies the event mask, which completes that wait, and joins the thread; the port
// and the events are released only after the join, but for a driver that ignores the mask
// (see Close).
#include "serial/serial_port.h"

#include <atomic>

class CSerialListener : public CSerialPort
{
public:
    CSerialListener() = default;
    ~CSerialListener() override;

    // Always overlapped. A failure of StartListening (startNow) is returned with the port open.
    // A thread left on the closed object is joined first, as Close joins it; ERROR_TIMEOUT,
    // and nothing opened, when it still runs.
    LONG Open(const char* device, DWORD inQueue, DWORD outQueue, bool startNow) override;
    // Stops and joins the thread first, waiting a second at most. A thread whose wait ignored
    // the re-applied mask is ended by closing the port handle, then waited for a second more;
    // one that outlives that keeps its thread handle and its event. Always 0.
    LONG Close() override;
    // 0 and nothing happens while a thread listens. A thread that has ended is released
    // first; one still ending after a stop that ran out of time is waited for, a second at
    // most (ERROR_TIMEOUT, and nothing started, when it still runs). A thread started on a
    // closed object ends at once.
    virtual LONG StartListening();
    // Always 0. When `timeout` runs out before the thread has ended, the stop stays requested
    // and the thread handle stays held: the thread still ends at its next check, and Close,
    // Open or StartListening joins it before anything the thread uses changes.
    virtual LONG StopListening(DWORD timeout);
    // Runs on the listener thread, only with at least one watched event. It must not call
    // StopListening or Close, which wait for this thread. A class that implements it stops
    // the thread in its own destructor, before its part of the object is gone.
    virtual void OnPortEvent(DWORD events, DWORD errors) = 0;

protected:
    std::atomic<bool> m_bStopRequested{false};
    HANDLE m_hListenerThread = nullptr;
    HANDLE m_hListenerEvent = nullptr;

private:
    static DWORD WINAPI ListenerMain(LPVOID param);
    // False, with the handle and the stop kept, while the thread still runs after `timeout`.
    bool JoinListener(DWORD timeout);
    LONG Listen();
};
