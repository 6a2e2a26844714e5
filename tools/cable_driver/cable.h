/* The virtual loopback cable driver's own declarations: the cable records kept by COM
 * number, the port device that an open handle talks to, and the entry points of each file.
 *
 * Locking: one spin lock (g_lock) guards every cable, every port and the timer's state. The
 * ports are few and each section is short; one lock keeps the cancel, timer and dispatch
 * paths free of lock-order questions. Requests are completed after the lock is released.
 */
#ifndef CABLE_H
#define CABLE_H

#include <ntddk.h>
#include <ntddser.h>

#include "cable_ioctl.h"

#define CABLE_MAX_COM 255
#define CABLE_TX_SIZE 4096    /* the device's transmit buffer: a write completes once it fits */
#define CABLE_RX_SIZE 16384   /* the largest receive queue that SET_QUEUE_SIZE can choose */
#define CABLE_RX_DEFAULT 4096
#define CABLE_PACKET_DATA 62   /* a bridge's 64-byte USB packet less its two status bytes */
#define CABLE_FLIGHT_SIZE 8192 /* bytes on their way back from the plug (the delay fault) */
#define CABLE_CORRUPT_MAX 2048 /* a whole garbled block and more */
#define CABLE_RECORD_SIZE 8192
#define CABLE_HISTORY_SIZE 1024
#define CABLE_POOL_TAG 0x6C626143 /* "Cabl" */
#define CABLE_TICK_MS 2       /* the line's timer */

/* A read or write whose SERIAL_TIMEOUTS ran out ends with what was transferred, and Win32
 * reports success with a short count. Windows' serial driver uses STATUS_TIMEOUT, a success
 * code there; Wine 8's GetOverlappedResult turns it into ERROR_TIMEOUT, so plain success. */
#define CABLE_STATUS_TIMED_OUT STATUS_SUCCESS

struct CABLE_PORT;

/* How the port's driver moves bytes: a UART behind the in-box serial driver, or a USB
 * bridge whose device sends received bytes to the host in packets. */
typedef enum CABLE_FLAVOUR { CABLE_UART, CABLE_BRIDGE } CABLE_FLAVOUR;

#define CABLE_LATENCY_DEFAULT 16

/* The flavour and the documented faults of real drivers, chosen at `add` (cable_ioctl.h); each
 * port device keeps its own copy, since it outlives its cable after a pull. */
typedef struct CABLE_KIND {
    CABLE_FLAVOUR flavour;
    ULONG removalCode;      /* Win32 code of requests after a pull: 5, 22, 31 or 995 */
    BOOLEAN stickyWait, waitRefused;
    ULONG slowCloseMs, setstateFails, latencyMs, slowOpenMs;
} CABLE_KIND;

/* What the rig knows of one COM number; lives from `add` to `remove`, across hang-ups. */
typedef struct CABLE {
    ULONG number;
    BOOLEAN plain;          /* another make's port: the maker's request is unknown to it */
    CABLE_KIND kind;
    BOOLEAN pacing;
    BOOLEAN noecho, stall;
    ULONG corrupt[CABLE_CORRUPT_MAX];
    ULONG corruptCount;
    LONG echoOnly;          /* -1: no limit */
    ULONG delayMs;
    LONG hangupAfter;       /* -1: never */
    ULONG mismatch;         /* the far end's rate; 0: the same as ours */
    ULONGLONG bytesIn, bytesOut;
    char history[CABLE_HISTORY_SIZE]; /* line settings, "9600-8N1-none,..." */
    char lastLabel[40];
    ULONG baud, bits, stop;  /* the setting last noted, for stats after a hang-up */
    ULONG lineBaud;          /* the rate the line runs at (a bridge's, rounded) */
    char parity;
    BOOLEAN rtscts, ixon, ixoff;
    LONG staleOpens;         /* handles still open on ports this cable was pulled from */
    UCHAR record[CABLE_RECORD_SIZE];
    ULONG recordCount;
    struct CABLE_PORT *port; /* NULL while hung up */
} CABLE;

/* Device extension of a COM port device (and, with isControl, of the control device). */
typedef struct CABLE_PORT {
    BOOLEAN isControl;
    PDEVICE_OBJECT device;
    ULONG number;
    CABLE *cable;           /* NULL once the port has gone (removed or hung up) */
    CABLE_KIND kind;
    BOOLEAN removed;
    BOOLEAN linked;         /* the \??\COMn link still names this device */
    WCHAR linkName[24];
    LONG opens;
    /* The one handle the port is open for. Wine returns a handle before the driver has
     * answered IRP_MJ_CREATE, so a refused second open still gets one: every request on it
     * fails instead. */
    PFILE_OBJECT owner;
    LONG handles;           /* every handle on the device, refused ones too: it goes with the last */
    BOOLEAN ownerSynchronous; /* opened without FILE_FLAG_OVERLAPPED */

    /* settings */
    SERIAL_BAUD_RATE baud;
    SERIAL_LINE_CONTROL line;
    SERIAL_HANDFLOW handflow;
    SERIAL_CHARS chars;
    SERIAL_TIMEOUTS timeouts;
    ULONG waitMask, history;
    BOOLEAN dtr, rts, breakOn;
    ULONG rxCapacity;
    ULONG errors;           /* SERIAL_ERROR_* until GET_COMMSTATUS */
    BOOLEAN settingsChanged;

    /* the transmit buffer and the line clock */
    UCHAR tx[CABLE_TX_SIZE];
    ULONG txHead, txCount;
    BOOLEAN lineBusy;
    LONGLONG lineStartUs;
    ULONGLONG lineSent;
    BOOLEAN txPending;      /* written since the last EV_TXEMPTY */
    LONGLONG txEmptyDueUs;  /* EV_TXEMPTY not before: a tick after the write that emptied the queue */
    ULONG writeSeq;         /* numbers writes, so that a flush knows which came before it */

    /* bytes on their way back, each due at its time */
    UCHAR flight[CABLE_FLIGHT_SIZE];
    LONGLONG flightDueUs[CABLE_FLIGHT_SIZE];
    ULONG flightHead, flightCount;

    /* the receive queue; on a bridge, bytes that the device holds follow the host's */
    UCHAR rx[CABLE_RX_SIZE];
    ULONG rxHead, rxCount;
    ULONG deviceCount;
    LONGLONG deviceSinceUs;  /* when the device's latency timer started */

    /* pending requests */
    LIST_ENTRY reads, writes, flushes;
    PIRP wait;
    BOOLEAN waitSticky;              /* past its cancel routine: only the handle's close ends it */
    LONGLONG openDueUs;              /* a slow open: requests done before then complete then */
    ULONG setStates;                 /* SetCommState calls since the open */
    ULONG readDone, writeDone;       /* progress of the head read and write */
    LONGLONG readTotalDueUs, readIntervalUs, readLastByteUs;
    BOOLEAN readHeadStarted, readFirstByteEnds, readImmediate;
    LONGLONG writeTotalDueUs;
    BOOLEAN writeHeadStarted;
} CABLE_PORT;

/* A write's number (DriverContext is free while the request is ours). */
#define CABLE_SET_SEQ(irp, seq) ((irp)->Tail.Overlay.DriverContext[0] = (PVOID)(ULONG_PTR)(seq))
#define CABLE_SEQ(irp) ((ULONG)(ULONG_PTR)(irp)->Tail.Overlay.DriverContext[0])

static __inline BOOLEAN CableIsBridge(const CABLE_PORT *port) { return port->kind.flavour == CABLE_BRIDGE; }

extern KSPIN_LOCK g_lock;
extern PDRIVER_OBJECT g_driver;
extern CABLE *g_cables[CABLE_MAX_COM + 1];

/* driver.c */
NTSTATUS CableCreatePort(CABLE *cable);           /* passive level */
void CableDetachPort(CABLE_PORT *port, LIST_ENTRY *done);  /* under g_lock */
void CableReleaseLinks(void);                     /* passive level: drops links of gone ports */
void CableLetGo(ULONG number);                    /* under g_lock */
NTSTATUS CableComplete(PIRP irp, NTSTATUS status, ULONG_PTR information);

/* open.c */
NTSTATUS CableSerialCreate(CABLE_PORT *port, PFILE_OBJECT file, BOOLEAN synchronous);
BOOLEAN CableSerialCleanup(CABLE_PORT *port, PFILE_OBJECT file);
NTSTATUS CableRefusal(CABLE_PORT *port, PIRP irp);  /* under g_lock */

/* serial.c */
NTSTATUS CableSerialRead(CABLE_PORT *port, PIRP irp);
NTSTATUS CableSerialWrite(CABLE_PORT *port, PIRP irp);
NTSTATUS CableSerialControl(CABLE_PORT *port, PIRP irp);
NTSTATUS CableSerialFlush(CABLE_PORT *port, PIRP irp);
void CableServeFlushes(CABLE_PORT *port, LIST_ENTRY *done);
void CableSerialDefaults(CABLE_PORT *port);
void CableFailAll(CABLE_PORT *port, NTSTATUS status, LIST_ENTRY *done); /* under g_lock */
void CableCompleteList(LIST_ENTRY *done);
void CableRaiseEvents(CABLE_PORT *port, ULONG events, LIST_ENTRY *done);
void CableServeReads(CABLE_PORT *port, LONGLONG nowUs, LIST_ENTRY *done);
void CableServeWrites(CABLE_PORT *port, LONGLONG nowUs, LIST_ENTRY *done);
void CableFinish(PIRP irp, NTSTATUS status, ULONG_PTR information, LIST_ENTRY *done);
void CableFinishWrite(CABLE_PORT *port, NTSTATUS status, LONGLONG nowUs, LIST_ENTRY *done);
void CableFinishHead(LIST_ENTRY *queue, ULONG *headDone, BOOLEAN *headStarted, NTSTATUS status, LIST_ENTRY *done);
void CableNoteSettings(CABLE_PORT *port);

/* timing.c */
void CableTimingInit(PDEVICE_OBJECT device);
void CableTimingStop(void);
LONGLONG CableNowUs(void);
void CableService(CABLE_PORT *port, LONGLONG nowUs, LIST_ENTRY *done);  /* under g_lock */
void CableKick(void);                             /* under g_lock: the timer runs while needed */
void CableStartReadTimers(CABLE_PORT *port, PIRP irp, LONGLONG nowUs);
void CableStartWriteTimers(CABLE_PORT *port, PIRP irp, LONGLONG nowUs);

/* bridge.c */
ULONG CableLineRate(const CABLE_PORT *port);
void CableBridgeTake(CABLE_PORT *port, UCHAR byte, LONGLONG nowUs);         /* under g_lock */
ULONG CableBridgeDeliver(CABLE_PORT *port, LONGLONG nowUs, LIST_ENTRY *done); /* under g_lock */

/* faults.c */
void CableFaultsInit(void);
NTSTATUS CableRemovedStatus(const CABLE_PORT *port);
void CableCompleteLater(PIRP irp, LONGLONG dueUs, BOOLEAN deleteDevice); /* under g_lock */
BOOLEAN CableAnyLater(void);                                             /* under g_lock */
void CableTakeDue(LONGLONG nowUs, LIST_ENTRY *due);                      /* under g_lock */
void CableCompleteDue(LIST_ENTRY *due);
BOOLEAN CableHeldByOpen(CABLE_PORT *port, PIRP irp, LONGLONG nowUs);     /* under g_lock */
BOOLEAN CableSetStateStalls(CABLE_PORT *port);                           /* under g_lock */

/* control.c */
NTSTATUS CableControl(PIRP irp);
void CableRemoveAll(void);

#endif
