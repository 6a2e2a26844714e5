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

/* When a write is done, and when EV_TXEMPTY comes after it. */
typedef enum CABLE_WRITE_END {
    CABLE_WRITE_ON_THE_LINE,  /* its last byte has left at the line's pace: the buffer is its own */
    CABLE_WRITE_IN_THE_BUFFER /* it fits the device's transmit buffer, which then sends it alone */
} CABLE_WRITE_END;

typedef enum CABLE_TX_EMPTY {
    CABLE_TX_EMPTY_LINE_IDLE,  /* the line has sent the last byte */
    CABLE_TX_EMPTY_HANDED_OVER /* the driver has handed the last write to the device */
} CABLE_TX_EMPTY;

/* How a flavour of port driver moves bytes: one row a flavour in g_flavours (flavours.c), the
 * first the default. A port looks its row up once, at `add`, and asks it wherever they differ. */
typedef struct CABLE_FLAVOUR_TRAITS {
    const char *name;               /* `add --flavour NAME`, and stats' flavour=NAME */
    ULONG (*lineRate)(ULONG asked); /* the rate a rate asked for makes; NULL: the one asked */
    ULONG rxPacket;                 /* the device sends received bytes to the host in packets of
                                     * this many at most, behind its latency timer; 0: each byte */
    CABLE_WRITE_END writeEnd;
    CABLE_TX_EMPTY txEmpty;
    BOOLEAN openEmptiesQueues;      /* an open finds nothing of an earlier handle's traffic */
} CABLE_FLAVOUR_TRAITS;

extern const CABLE_FLAVOUR_TRAITS g_flavours[]; /* ends with a row without a name */

#define CABLE_LATENCY_DEFAULT 16

/* The flavour and the documented faults of real drivers, chosen at `add` (cable_ioctl.h); each
 * port device keeps its own copy, since it outlives its cable after a pull. Each switch is one
 * ULONG, named with its word, default and range in g_switches (faults.c). */
typedef struct CABLE_KIND {
    const CABLE_FLAVOUR_TRAITS *flavour;
    ULONG removalCode;      /* Win32 code of requests after a pull: 5, 22, 31 or 995 */
    ULONG stickyWait, waitRefused;  /* 0 or 1 */
    ULONG slowCloseMs, setstateFails, latencyMs, slowOpenMs;
} CABLE_KIND;

/* What the rig knows of one COM number; lives from `add` to `remove`, across hang-ups. */
typedef struct CABLE {
    ULONG number;
    ULONG id;               /* never reused: a later cable may take the number */
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
    ULONG cableId;          /* the cable it was made for, which its handles are let go of from */
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

static __inline const CABLE_FLAVOUR_TRAITS *CableFlavour(const CABLE_PORT *port) { return port->kind.flavour; }

extern KSPIN_LOCK g_lock;
extern PDRIVER_OBJECT g_driver;
extern CABLE *g_cables[CABLE_MAX_COM + 1];

/* words.c */
#define CABLE_MAX_WORDS 48
typedef struct CABLE_REPLY {
    char *at, *end;
} CABLE_REPLY;
void CableSay(CABLE_REPLY *reply, const char *text);
void CableSayNumber(CABLE_REPLY *reply, ULONGLONG value);
void CableSayField(CABLE_REPLY *reply, const char *name, ULONGLONG value);  /* " name=value" */
int CableSplit(char *line, char **words);         /* at most CABLE_MAX_WORDS */
BOOLEAN CableSame(const char *a, const char *b);  /* in any case */
BOOLEAN CableNumber(const char *text, ULONG *value);
BOOLEAN CableComNumber(const char *text, ULONG *number);
BOOLEAN CableOnOff(const char *text, BOOLEAN *value);
BOOLEAN CableCountOrNone(const char *text, LONG *value);

/* driver.c */
NTSTATUS CableCreatePort(CABLE *cable);           /* passive level */
void CableDetachPort(CABLE_PORT *port, LIST_ENTRY *done);  /* under g_lock */
void CableReleaseLinks(void);                     /* passive level: drops links of gone ports */
void CableLetGo(const CABLE_PORT *port);          /* under g_lock */
NTSTATUS CableComplete(PIRP irp, NTSTATUS status, ULONG_PTR information);

/* open.c */
NTSTATUS CableSerialCreate(CABLE_PORT *port, PFILE_OBJECT file, BOOLEAN synchronous);
BOOLEAN CableSerialCleanup(CABLE_PORT *port, PFILE_OBJECT file);
NTSTATUS CableRefusal(CABLE_PORT *port, PIRP irp);  /* under g_lock */

/* serial.c: the life of a request, reads, writes and flushes */
NTSTATUS CableSerialRead(CABLE_PORT *port, PIRP irp);
NTSTATUS CableSerialWrite(CABLE_PORT *port, PIRP irp);
NTSTATUS CableSerialFlush(CABLE_PORT *port, PIRP irp);
void CableServeFlushes(CABLE_PORT *port, LIST_ENTRY *done);
void CableFailAll(CABLE_PORT *port, NTSTATUS status, LIST_ENTRY *done); /* under g_lock */
void CableCompleteList(LIST_ENTRY *done);
void CableRaiseEvents(CABLE_PORT *port, ULONG events, LIST_ENTRY *done);
void CableServeReads(CABLE_PORT *port, LONGLONG nowUs, LIST_ENTRY *done);
void CableServeWrites(CABLE_PORT *port, LONGLONG nowUs, LIST_ENTRY *done);
BOOLEAN CablePend(PIRP irp);                                             /* under g_lock */
void CableFinish(PIRP irp, NTSTATUS status, ULONG_PTR information, LIST_ENTRY *done);
void CableFinishWrite(CABLE_PORT *port, NTSTATUS status, LONGLONG nowUs, LIST_ENTRY *done);
void CableFinishHead(LIST_ENTRY *queue, ULONG *headDone, BOOLEAN *headStarted, NTSTATUS status, LIST_ENTRY *done);
void CableFinishReads(CABLE_PORT *port, NTSTATUS status, LIST_ENTRY *done);
void CableFinishWrites(CABLE_PORT *port, NTSTATUS status, LIST_ENTRY *done);
void CableFinishWait(CABLE_PORT *port, NTSTATUS status, ULONG events, LIST_ENTRY *done);

/* serial_ioctl.c: the device-control requests of a COM port */
NTSTATUS CableSerialControl(CABLE_PORT *port, PIRP irp);
void CableSerialDefaults(CABLE_PORT *port);

/* timing.c */
void CableTimingInit(PDEVICE_OBJECT device);
void CableTimingStop(void);
LONGLONG CableNowUs(void);
void CableService(CABLE_PORT *port, LONGLONG nowUs, LIST_ENTRY *done);  /* under g_lock */
void CableKick(void);                             /* under g_lock: the timer runs while needed */
void CableStartReadTimers(CABLE_PORT *port, PIRP irp, LONGLONG nowUs);
void CableStartWriteTimers(CABLE_PORT *port, PIRP irp, LONGLONG nowUs);

/* flavours.c */
ULONG CableLineRate(const CABLE_PORT *port);

/* bridge.c */
ULONG CableBridgeRate(ULONG asked);
void CableBridgeTake(CABLE_PORT *port, UCHAR byte, LONGLONG nowUs);         /* under g_lock */
ULONG CableBridgeDeliver(CABLE_PORT *port, LONGLONG nowUs, LIST_ENTRY *done); /* under g_lock */

/* faults.c */
void CableSwitchDefaults(CABLE_KIND *kind);
int CableTakeSwitch(CABLE_KIND *kind, char **words, int count);
void CableSaySwitches(CABLE_KIND *kind, CABLE_REPLY *reply);
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
void CableNoteSettings(CABLE_PORT *port);

#endif
