#pragma once
// CSerialPort: one COM port. Open, line settings, flow control, read mode, event mask and
// event character, waiting for a port event, and reading and writing blocks, each either
// synchronously or overlapped with a bound.
//
// Error convention of this class and of every class derived from it: an operation that
// returns a LONG returns a Win32 error code and also keeps it in m_nLastError, which it sets
// to 0 on entry. 0 (ERROR_SUCCESS) is success. The codes the classes produce themselves:
//   ERROR_INVALID_FUNCTION     1           Read, Write, WriteText or WaitForEvent on a port
//                                          opened without overlapped I/O was given an
//                                          OVERLAPPED or a timeout other than INFINITE.
//   ERROR_INVALID_HANDLE       6           The port is not open (all but Open and Close).
//   ERROR_NOT_ENOUGH_MEMORY    8           Read, Write or WaitForEvent without an OVERLAPPED
//                                          got no memory to run its request on.
//   ERROR_FILENAME_EXCED_RANGE 206         Open of a bare "COMn" whose device path would not
//                                          fit; nothing is opened.
//   ERROR_IO_INCOMPLETE        996         The event of a request without the caller's
//                                          OVERLAPPED came while the request was still
//                                          pending; the request was cancelled.
//   ERROR_ALREADY_INITIALIZED  1247        Open while open; nothing changes.
//   ERROR_TIMEOUT              1460        A bounded wait ran out; the request was cancelled.
//                                          (A listener's Open or StartListening: the thread
//                                          before has not ended; nothing was started.)
//   E_INVALIDARG               0x80070057  A FlowControl or ReadMode value out of range.
// Any other code is GetLastError taken right after the Win32 call that failed.
// ERROR_IO_PENDING is never returned: a request pending on the caller's OVERLAPPED is 0.
// Queries return a failure value instead (given at each) and leave the code in m_nLastError.
//
// Settings live in the driver: each setter reads the driver's record, changes only its own
// fields and writes the record back; a setter that fails writes nothing, but for the one case
// given at SetEventCharacter.
#include <windows.h>

#include <atomic>

class CSerialPort
{
public:
    // A fixed underlying type makes every int a value of the type, so that the setters' refusal
    // of one outside the enumerators is defined behaviour an optimiser must keep.
    enum FlowControl : int { FlowNone = 0, FlowHardware = 1, FlowXonXoff = 2 };
    enum ReadMode : int { ReadImmediate = 0, ReadUntilFull = 1 };
    // The DCB's own values: NOPARITY, ODDPARITY, EVENPARITY, MARKPARITY, SPACEPARITY and
    // ONESTOPBIT, ONE5STOPBITS, TWOSTOPBITS.
    typedef int Parity;
    typedef int StopBits;

    static constexpr DWORD kDefaultEventMask = EV_RXCHAR | EV_BREAK | EV_ERR;

    CSerialPort() = default;
    CSerialPort(const CSerialPort&) = delete;
    CSerialPort& operator=(const CSerialPort&) = delete;
    virtual ~CSerialPort();

    // A bare "COMn" is opened as "\\.\COMn" (COM10 and above exist only there); any other
    // name is opened as given. Queue sizes of 0 and 0 keep the driver's own. Afterwards the
    // event mask is kDefaultEventMask, reads are ReadImmediate and the platform's stored
    // default settings for the port are applied. Every failure but 1247 leaves the object
    // closed with everything it had created released.
    virtual LONG Open(const char* device, DWORD inQueue, DWORD outQueue, bool overlapped);
    // Always 0. The event mask last applied is kept.
    virtual LONG Close();
    virtual LONG Configure(DWORD baudRate, BYTE dataBits, Parity parity, StopBits stopBits);
    // With adjustMask, EV_RXFLAG joins the event mask before the character is written. The
    // character is applied even when the mask fails, and the mask's code is returned; a mask
    // applied stays when the character is refused.
    virtual LONG SetEventCharacter(BYTE character, bool adjustMask);
    // Re-applying the current mask completes a pending event wait with no events; the
    // listener classes stop their thread that way.
    virtual LONG SetEventMask(DWORD mask);
    // The events arrive in m_dwEventsOccurred; on the caller's OVERLAPPED, when it completes.
    // The bound and the cancellation are those of Read and Write below.
    virtual LONG WaitForEvent(OVERLAPPED* overlapped, DWORD timeout);
    virtual LONG SetFlowControl(FlowControl kind);
    virtual LONG SetReadMode(ReadMode mode);
    virtual DWORD QueryBaudRate();        // 0xFFFFFFFF on failure
    virtual int QueryDataBits();          // -1 on failure
    virtual int QueryParity();            // -1 on failure; NOPARITY whenever fParity is clear
    virtual int QueryStopBits();          // -1 on failure
    virtual int QueryFlowControl();       // -1 on failure
    virtual DWORD QueryEventMask();       // 0 when not open; no system call
    virtual BYTE QueryEventCharacter();   // 0 on failure
    // Write and Read report the bytes moved in *count (may be null), which is 0 on every
    // failure and on ERROR_TIMEOUT even when part of the data had moved. Without an
    // OVERLAPPED of the caller's, an overlapped port runs the request on memory of its own
    // (the caller's bytes are copied in or out), waits at most `timeout` ms and then cancels
    // the request. One that ignores the cancellation for a second is ended by Close (virtual),
    // which closes the port; one that outlives that too is left its memory, and the caller is
    // given up on: about two seconds after the bound, three with a listener thread. A request
    // that pends on the caller's OVERLAPPED returns 0 at once with a count of 0.
    virtual LONG WriteText(const char* text, DWORD* count, OVERLAPPED* overlapped,
                           DWORD timeout);
    virtual LONG Write(const void* data, DWORD size, DWORD* count, OVERLAPPED* overlapped,
                       DWORD timeout);
    virtual LONG Read(void* buffer, DWORD size, DWORD* count, OVERLAPPED* overlapped,
                      DWORD timeout);

protected:
    // Shared with a listener thread, so 32-bit atomics. WaitCommEvent writes the events
    // through a plain DWORD*, which needs the atomic to be a bare DWORD in memory.
    std::atomic<LONG> m_nLastError{0};
    HANDLE m_hPort = nullptr;
    std::atomic<DWORD> m_dwEventsOccurred{0};
    std::atomic<DWORD> m_dwEventMask{0};
    HANDLE m_hIoEvent = nullptr;

    LONG Store(LONG code) { m_nLastError = code; return code; }

private:
    enum RequestKind { RequestWrite, RequestRead, RequestWaitEvent };

    LONG Request(RequestKind kind, void* buffer, DWORD size, DWORD* count, OVERLAPPED* overlapped,
                 DWORD timeout);
    // The memory a request without the caller's OVERLAPPED runs on: its OVERLAPPED, the bytes it
    // moves and the events it reports. The object's, not the caller's: a request that outlives
    // every way of ending it keeps it, and the caller still gets its own buffer back.
    struct OwnRequest;

    BOOL Issue(RequestKind kind, void* buffer, DWORD size, DWORD* count, OVERLAPPED* overlapped, DWORD* events);
    LONG RunOwnRequest(RequestKind kind, void* buffer, DWORD size, DWORD* count, DWORD timeout);
    OwnRequest* OwnRequestFor(DWORD size);
    void Deliver(RequestKind kind, const OwnRequest& request, void* buffer, DWORD count);
    void EndOwnRequest(RequestKind kind, OwnRequest& request);
    bool AwaitFinished(const OVERLAPPED& overlapped, HANDLE event, DWORD bound);
    void ReleaseOwnRequest();
    LONG ReadState(DCB& dcb);
    // The queries' common start: resets the code, reads the DCB; false with the code stored.
    bool QueryState(DCB& dcb);

    OwnRequest* m_pOwnRequest = nullptr;
};

static_assert(sizeof(std::atomic<DWORD>) == sizeof(DWORD), "WaitCommEvent writes m_dwEventsOccurred as a DWORD");
static_assert(std::atomic<DWORD>::is_always_lock_free, "m_dwEventsOccurred must be a plain DWORD in memory");
