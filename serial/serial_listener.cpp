#include "serial/serial_listener.h"

#include "serial/serial_api.h"

namespace {

// How long a thread asked to stop may take to end. Its wait ends at once when the mask is
// re-applied or the port handle goes; this only bounds a driver that ignores both.
const DWORD kThreadEndMs = 1000;

// The listener's pace between two reports, and how long a report of the same unread bytes is
// held back at most. Short beside anything a window does with a notification.
const DWORD kSettleMs = 5;
const DWORD kHoldMs = 250;

} // namespace

CSerialListener::~CSerialListener()
{
    if (m_hListenerThread || m_hListenerEvent || m_hPort)
        CSerialListener::Close();
}

LONG CSerialListener::Open(const char* device, DWORD inQueue, DWORD outQueue, bool startNow)
{
    m_nLastError = 0;
    // A thread left on a closed object (started there, or outliving a Close) still reads the
    // fields that Open writes: it goes first.
    if (!m_hPort && (m_hListenerThread || m_hListenerEvent)) {
        CSerialListener::Close();
        if (m_hListenerThread)
            return Store(ERROR_TIMEOUT);
    }
    LONG code = CSerialPort::Open(device, inQueue, outQueue, true);
    if (code != 0)
        return Store(code);
    m_hListenerEvent = g_serialApi.CreateEventA(nullptr, TRUE, FALSE, nullptr);
    if (!m_hListenerEvent) {
        code = static_cast<LONG>(::GetLastError());
        CSerialPort::Close();
        return Store(code);
    }
    if (startNow) {
        code = StartListening();
        if (code != 0)
            return Store(code);
    }
    return Store(0);
}

LONG CSerialListener::Close()
{
    m_nLastError = 0;
    StopListening(kThreadEndMs);
    if (m_hListenerThread) {
        // The thread's wait ignored the re-applied mask. It ends when the port handle goes, and
        // wakes to the stop that is requested by now, so it touches the port no more.
        CSerialPort::Close();
        StopListening(kThreadEndMs);
    }
    // A thread that outlives even that still waits on its event: the event stays with it.
    if (m_hListenerEvent && !m_hListenerThread) {
        g_serialApi.CloseHandle(m_hListenerEvent);
        m_hListenerEvent = nullptr;
    }
    CSerialPort::Close();
    return Store(0);
}

LONG CSerialListener::StartListening()
{
    m_nLastError = 0;
    if (m_hListenerThread) {
        // One thread at a time, and only one that still listens is kept. A thread that has
        // ended is released; one still ending after a stop that ran out of time is waited for,
        // since a new thread would clear the stop flag before it has seen it.
        if (!m_bStopRequested && g_serialApi.WaitForSingleObject(m_hListenerThread, 0) == WAIT_TIMEOUT)
            return Store(0);
        if (!JoinListener(kThreadEndMs))
            return Store(ERROR_TIMEOUT);
    }
    m_hListenerThread = g_serialApi.CreateThread(nullptr, 0, ListenerMain, this, 0, nullptr);
    if (!m_hListenerThread)
        return Store(static_cast<LONG>(::GetLastError()));
    return Store(0);
}

LONG CSerialListener::StopListening(DWORD timeout)
{
    m_nLastError = 0;
    if (!m_hListenerThread)
        return Store(0);
    // The flag goes first: the thread reads it after every wait, so whichever wait the
    // re-applied mask completes, the thread sees the stop.
    m_bStopRequested = true;
    SetEventMask(QueryEventMask());
    JoinListener(timeout);
    return Store(0);
}

bool CSerialListener::JoinListener(DWORD timeout)
{
    if (g_serialApi.WaitForSingleObject(m_hListenerThread, timeout) != WAIT_OBJECT_0)
        return false;
    m_bStopRequested = false;
    g_serialApi.CloseHandle(m_hListenerThread);
    m_hListenerThread = nullptr;
    return true;
}

DWORD WINAPI CSerialListener::ListenerMain(LPVOID param)
{
    return static_cast<DWORD>(static_cast<CSerialListener*>(param)->Listen());
}

LONG CSerialListener::Listen()
{
    // What a report brought that is not yet posted, and since when; the input queue's length at
    // the last report.
    DWORD heldEvents = 0;
    DWORD heldSince = 0;
    DWORD lastQueued = 0;
    for (;;) {
        g_serialApi.ResetEvent(m_hListenerEvent);
        OVERLAPPED overlapped = {};
        overlapped.hEvent = m_hListenerEvent;
        const LONG code = WaitForEvent(&overlapped, INFINITE);
        if (code != 0)
            return code;
        if (m_bStopRequested) {
            // The stop's wake-up came before this wait was pending and missed it. The wait
            // is ended the same way, and the thread stays until it has, since the OVERLAPPED
            // is on this thread's stack.
            g_serialApi.SetCommMask(m_hPort, m_dwEventMask);
            g_serialApi.WaitForSingleObject(m_hListenerEvent, INFINITE);
            return 0;
        }
        // A wait that pends means the port is quiet: what was held back goes now.
        if (heldEvents != 0 && g_serialApi.WaitForSingleObject(m_hListenerEvent, 0) == WAIT_TIMEOUT) {
            OnPortEvent(heldEvents, 0);
            heldEvents = 0;
        }
        if (g_serialApi.WaitForSingleObject(m_hListenerEvent, INFINITE) != WAIT_OBJECT_0)
            return Store(static_cast<LONG>(::GetLastError()));
        if (m_bStopRequested)
            return 0;

        const DWORD events = m_dwEventsOccurred.exchange(0) & m_dwEventMask;
        // Cleared after every completed wait, so that line errors do not pile up between
        // watched events.
        DWORD errors = 0;
        COMSTAT status = {};
        if (!g_serialApi.ClearCommError(m_hPort, &errors, &status))
            Store(static_cast<LONG>(::GetLastError()));
        if (events == 0)
            continue;

        // Some drivers (Wine's, on any tty) report EV_RXCHAR for as long as bytes sit unread, so
        // that the wait completes again at once. A report of unread bytes that have not changed
        // in number tells the window nothing new: it is held back until the port goes quiet,
        // something new comes, or kHoldMs has passed, so that a driver which reports arrivals
        // and whose reader keeps the queue at one length still has every report delivered.
        const bool repeat = events == EV_RXCHAR && errors == 0 && status.cbInQue != 0 &&
                            status.cbInQue == lastQueued;
        lastQueued = status.cbInQue;
        if (repeat && (heldEvents == 0 || ::GetTickCount() - heldSince < kHoldMs)) {
            if (heldEvents == 0)
                heldSince = ::GetTickCount();
            heldEvents |= events;
        } else {
            OnPortEvent(events | heldEvents, errors);
            heldEvents = 0;
        }
        if (m_bStopRequested)
            return 0;
        // Whatever happens meanwhile is kept by the driver (a Windows driver's event history;
        // the queue itself on Wine) and merges into the next report: one message per kSettleMs
        // at most, and no turning round a wait that completes at once.
        ::Sleep(kSettleMs);
    }
}
