// The request engine of CSerialPort: Read, Write and WaitForEvent, each synchronous, pending on
// the caller's OVERLAPPED, or run on the object's own memory with a bound and a cancellation.
#include "serial/serial_port.h"

#include <cstring>
#include <new>

#include "serial/serial_api.h"

namespace {

// How long a cancelled request may take to let go of its OVERLAPPED. Drivers finish a
// cancelled request at once; this only bounds a driver that does not.
const DWORD kCancelGraceMs = 1000;
// The memory of the object's own requests holds at least one test block, so that it is
// allocated once.
const DWORD kOwnRequestMinBytes = 512;

LONG LastError()
{
    return static_cast<LONG>(::GetLastError());
}

} // namespace

struct CSerialPort::OwnRequest
{
    OVERLAPPED overlapped;
    DWORD events;
    DWORD capacity;
    BYTE* data;
};

LONG CSerialPort::WaitForEvent(OVERLAPPED* overlapped, DWORD timeout)
{
    m_nLastError = 0;
    return Store(Request(RequestWaitEvent, nullptr, 0, nullptr, overlapped, timeout));
}

LONG CSerialPort::WriteText(const char* text, DWORD* count, OVERLAPPED* overlapped, DWORD timeout)
{
    m_nLastError = 0;
    return Store(Write(text, static_cast<DWORD>(::lstrlenA(text)), count, overlapped, timeout));
}

LONG CSerialPort::Write(const void* data, DWORD size, DWORD* count, OVERLAPPED* overlapped, DWORD timeout)
{
    m_nLastError = 0;
    return Store(Request(RequestWrite, const_cast<void*>(data), size, count, overlapped, timeout));
}

LONG CSerialPort::Read(void* buffer, DWORD size, DWORD* count, OVERLAPPED* overlapped, DWORD timeout)
{
    m_nLastError = 0;
    return Store(Request(RequestRead, buffer, size, count, overlapped, timeout));
}

BOOL CSerialPort::Issue(RequestKind kind, void* buffer, DWORD size, DWORD* count, OVERLAPPED* overlapped,
                        DWORD* events)
{
    switch (kind) {
    case RequestWrite:
        return g_serialApi.WriteFile(m_hPort, buffer, size, count, overlapped);
    case RequestRead:
        return g_serialApi.ReadFile(m_hPort, buffer, size, count, overlapped);
    default:
        return g_serialApi.WaitCommEvent(m_hPort, events, overlapped);
    }
}

// Read, Write and WaitForEvent differ only in the call that carries the request.
LONG CSerialPort::Request(RequestKind kind, void* buffer, DWORD size, DWORD* count, OVERLAPPED* overlapped,
                          DWORD timeout)
{
    DWORD ownCount;
    if (!count)
        count = &ownCount;
    *count = 0;
    if (!m_hPort)
        return ERROR_INVALID_HANDLE;
    DWORD* events = reinterpret_cast<DWORD*>(&m_dwEventsOccurred);

    if (!m_hIoEvent) {
        if (overlapped || timeout != INFINITE)
            return ERROR_INVALID_FUNCTION;
        if (!Issue(kind, buffer, size, count, nullptr, events)) {
            *count = 0;
            return LastError();
        }
        return 0;
    }
    if (!overlapped)
        return RunOwnRequest(kind, buffer, size, count, timeout);

    if (Issue(kind, buffer, size, count, overlapped, events)) {
        // Signalled on every completion, so a caller can always wait on the event.
        g_serialApi.SetEvent(overlapped->hEvent);
        return 0;
    }
    const LONG issueCode = LastError();
    *count = 0;
    return issueCode == ERROR_IO_PENDING ? 0 : issueCode;
}

LONG CSerialPort::RunOwnRequest(RequestKind kind, void* buffer, DWORD size, DWORD* count, DWORD timeout)
{
    OwnRequest* request = OwnRequestFor(size);
    if (!request)
        return ERROR_NOT_ENOUGH_MEMORY;
    if (kind == RequestWrite && size != 0)
        std::memcpy(request->data, buffer, size);
    request->overlapped = OVERLAPPED();
    request->overlapped.hEvent = m_hIoEvent;
    request->events = 0;
    // Left signalled by the last request's completion, the event would end this wait at once;
    // not every driver resets it when the request is issued.
    g_serialApi.ResetEvent(m_hIoEvent);
    if (Issue(kind, request->data, size, count, &request->overlapped, &request->events)) {
        g_serialApi.SetEvent(m_hIoEvent);
        Deliver(kind, *request, buffer, *count);
        return 0;
    }
    LONG code = LastError();
    *count = 0;
    if (code != ERROR_IO_PENDING)
        return code;

    const DWORD waited = g_serialApi.WaitForSingleObject(m_hIoEvent, timeout);
    if (waited == WAIT_OBJECT_0) {
        // The request's status decides, not its event.
        OVERLAPPED& overlapped = request->overlapped;
        const bool finished = kind == RequestWaitEvent
                                  ? HasOverlappedIoCompleted(&overlapped)
                                  : g_serialApi.GetOverlappedResult(m_hPort, &overlapped, count, FALSE) != FALSE;
        if (finished) {
            Deliver(kind, *request, buffer, *count);
            return 0;
        }
        code = kind == RequestWaitEvent ? ERROR_IO_INCOMPLETE : LastError();
        *count = 0;
        if (code != ERROR_IO_INCOMPLETE)
            return code;
    } else {
        code = waited == WAIT_TIMEOUT ? ERROR_TIMEOUT : LastError();
    }
    EndOwnRequest(kind, *request);
    *count = 0;
    return code;
}

CSerialPort::OwnRequest* CSerialPort::OwnRequestFor(DWORD size)
{
    if (m_pOwnRequest && m_pOwnRequest->capacity >= size)
        return m_pOwnRequest;
    ReleaseOwnRequest();
    OwnRequest* request = new (std::nothrow) OwnRequest();
    if (!request)
        return nullptr;
    request->capacity = size > kOwnRequestMinBytes ? size : kOwnRequestMinBytes;
    request->data = new (std::nothrow) BYTE[request->capacity];
    if (!request->data) {
        delete request;
        return nullptr;
    }
    m_pOwnRequest = request;
    return request;
}

void CSerialPort::Deliver(RequestKind kind, const OwnRequest& request, void* buffer, DWORD count)
{
    if (kind == RequestRead && count != 0)
        std::memcpy(buffer, request.data, count);
    else if (kind == RequestWaitEvent)
        m_dwEventsOccurred = request.events;
}

// Cancel, then wait until the system has let go of the request's memory.
void CSerialPort::EndOwnRequest(RequestKind kind, OwnRequest& request)
{
    g_serialApi.CancelIo(m_hPort);
    // Not every driver ends an event wait on CancelIo (Wine does not); re-applying the mask
    // ends it everywhere.
    if (kind == RequestWaitEvent)
        g_serialApi.SetCommMask(m_hPort, m_dwEventMask);
    if (AwaitFinished(request.overlapped, m_hIoEvent, kCancelGraceMs))
        return;
    // A request that ignores its cancellation still ends when its port handle goes. Close is
    // virtual: a listener's Close stops its thread with bounded waits and closes the port
    // handle early when the thread's wait ignores its stop too. The event goes with Close,
    // and a closed handle's number may already name another object, so the last wait only
    // polls. (The system holds its own reference to the event of a pending request.)
    Close();
    if (AwaitFinished(request.overlapped, nullptr, kCancelGraceMs))
        return;
    // Still held: the system may write this memory at any time, so it is never freed or reused.
    m_pOwnRequest = nullptr;
}

// Wine has been seen to leave the status pending after the event of a cancelled request was
// signalled, so the status decides and the event only paces the polling. A signalled event
// cannot pace it, so then it sleeps.
bool CSerialPort::AwaitFinished(const OVERLAPPED& overlapped, HANDLE event, DWORD bound)
{
    const DWORD start = ::GetTickCount();
    for (;;) {
        if (HasOverlappedIoCompleted(&overlapped))
            return true;
        const DWORD elapsed = ::GetTickCount() - start;
        if (elapsed >= bound)
            return false;
        const DWORD slice = bound - elapsed < 10 ? bound - elapsed : 10;
        if (event && g_serialApi.WaitForSingleObject(event, slice) == WAIT_TIMEOUT)
            continue;
        if (HasOverlappedIoCompleted(&overlapped))
            return true;
        ::Sleep(slice);
    }
}

void CSerialPort::ReleaseOwnRequest()
{
    if (!m_pOwnRequest)
        return;
    delete[] m_pOwnRequest->data;
    delete m_pOwnRequest;
    m_pOwnRequest = nullptr;
}
