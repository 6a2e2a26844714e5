/* The device-control requests of a COM port device, as documented for a Windows serial
 * driver: the line settings and SERIAL_TIMEOUTS, wait-on-mask, the queues and purge, comm status,
 * the modem lines of a loopback plug; and the maker's private request. One row a request in
 * g_requests; each handler runs under g_lock, and what it ends is completed after (serial.c). */
#include "cable.h"

#define VALID_EVENTS 0x1FFF
#define VALID_PURGE (SERIAL_PURGE_TXABORT | SERIAL_PURGE_RXABORT | SERIAL_PURGE_TXCLEAR | SERIAL_PURGE_RXCLEAR)

struct SERIAL_REQUEST;

/* One request as its handler sees it: the buffers hold at least the row's sizes, and
 * `information` starts at the row's output size, what a request that returns a value gives. */
typedef struct SERIAL_CALL {
    CABLE_PORT *port;
    PIRP irp;
    const struct SERIAL_REQUEST *row;
    ULONG code, inLength, outLength;
    void *buffer;
    ULONG_PTR information;
    LONGLONG nowUs;
    LIST_ENTRY *done;  /* the requests it ends, completed once g_lock is let go */
} SERIAL_CALL;

/* STATUS_PENDING: the request is queued and completes later. */
typedef NTSTATUS (*SERIAL_HANDLER)(SERIAL_CALL *call);

typedef struct SERIAL_REQUEST {
    ULONG code;
    ULONG inSize, outSize;  /* smaller buffers fail with STATUS_BUFFER_TOO_SMALL */
    SERIAL_HANDLER handler;
    SIZE_T field;           /* the port's field that CopyOut returns */
} SERIAL_REQUEST;

void CableSerialDefaults(CABLE_PORT *port)
{
    port->baud.BaudRate = 9600;
    port->line.WordLength = 8;
    port->line.Parity = NO_PARITY;
    port->line.StopBits = STOP_BIT_1;
    port->handflow.ControlHandShake = SERIAL_DTR_CONTROL;
    port->handflow.FlowReplace = SERIAL_RTS_CONTROL;
    port->handflow.XonLimit = CABLE_RX_DEFAULT / 4;
    port->handflow.XoffLimit = CABLE_RX_DEFAULT / 4;
    port->chars.XonChar = 0x11;
    port->chars.XoffChar = 0x13;
    port->rxCapacity = CABLE_RX_DEFAULT;
}

/* ---- what several rows share ------------------------------------------------------------ */

/* A GET of a setting: the port's field as it is. */
static NTSTATUS CopyOut(SERIAL_CALL *call)
{
    RtlCopyMemory(call->buffer, (const UCHAR *)call->port + call->row->field, call->row->outSize);
    return STATUS_SUCCESS;
}

/* Statistics and configuration data that a loopback plug does not keep. */
static NTSTATUS ZeroOut(SERIAL_CALL *call)
{
    RtlZeroMemory(call->buffer, call->row->outSize);
    return STATUS_SUCCESS;
}

/* Requests about a UART's hardware that a loopback plug takes and ignores. */
static NTSTATUS Nothing(SERIAL_CALL *call)
{
    (void)call;
    return STATUS_SUCCESS;
}

/* ---- line settings ---------------------------------------------------------------------- */

static NTSTATUS SetBaudRate(SERIAL_CALL *call)
{
    const SERIAL_BAUD_RATE *baud = call->buffer;
    if (baud->BaudRate == 0)
        return STATUS_INVALID_PARAMETER;
    if (CableSetStateStalls(call->port))
        return STATUS_UNSUCCESSFUL;
    call->port->baud = *baud;
    call->port->settingsChanged = TRUE;
    return STATUS_SUCCESS;
}

static NTSTATUS SetLineControl(SERIAL_CALL *call)
{
    const SERIAL_LINE_CONTROL *line = call->buffer;
    if (line->WordLength < 5 || line->WordLength > 8 || line->Parity > SPACE_PARITY || line->StopBits > STOP_BITS_2)
        return STATUS_INVALID_PARAMETER;
    /* A UART has 1.5 stop bits only with 5 data bits, and 2 only with 6 to 8. */
    if ((line->WordLength == 5 && line->StopBits == STOP_BITS_2) ||
        (line->WordLength > 5 && line->StopBits == STOP_BITS_1_5))
        return STATUS_INVALID_PARAMETER;
    call->port->line = *line;
    call->port->settingsChanged = TRUE;
    return STATUS_SUCCESS;
}

static void SetDtr(CABLE_PORT *port, BOOLEAN on, LIST_ENTRY *done)
{
    if (port->dtr != on)
        CableRaiseEvents(port, SERIAL_EV_DSR | SERIAL_EV_RLSD, done);
    port->dtr = on;
}

static void SetRts(CABLE_PORT *port, BOOLEAN on, LIST_ENTRY *done)
{
    if (port->rts != on)
        CableRaiseEvents(port, SERIAL_EV_CTS, done);
    port->rts = on;
}

static NTSTATUS SetHandflow(SERIAL_CALL *call)
{
    const SERIAL_HANDFLOW *flow = call->buffer;
    CABLE_PORT *port = call->port;
    ULONG dtr = flow->ControlHandShake & SERIAL_DTR_MASK, rts = flow->FlowReplace & SERIAL_RTS_MASK;
    if (dtr == SERIAL_DTR_MASK || flow->XonLimit < 0 || flow->XoffLimit < 0 ||
        (ULONG)flow->XonLimit > port->rxCapacity || (ULONG)flow->XoffLimit > port->rxCapacity)
        return STATUS_INVALID_PARAMETER;
    port->handflow = *flow;
    if (dtr == SERIAL_DTR_CONTROL || dtr == 0)
        SetDtr(port, dtr == SERIAL_DTR_CONTROL, call->done);
    if (rts == SERIAL_RTS_CONTROL || rts == 0)
        SetRts(port, rts == SERIAL_RTS_CONTROL, call->done);
    port->settingsChanged = TRUE;
    return STATUS_SUCCESS;
}

static NTSTATUS SetChars(SERIAL_CALL *call)
{
    const SERIAL_CHARS *chars = call->buffer;
    if (chars->XonChar == chars->XoffChar)
        return STATUS_INVALID_PARAMETER;
    call->port->chars = *chars;
    return STATUS_SUCCESS;
}

static NTSTATUS SetTimeouts(SERIAL_CALL *call)
{
    const SERIAL_TIMEOUTS *timeouts = call->buffer;
    /* Both multipliers at MAXDWORD only go with a constant between 0 and MAXDWORD. */
    if (timeouts->ReadIntervalTimeout == MAXULONG && timeouts->ReadTotalTimeoutMultiplier == MAXULONG &&
        (timeouts->ReadTotalTimeoutConstant == 0 || timeouts->ReadTotalTimeoutConstant == MAXULONG))
        return STATUS_INVALID_PARAMETER;
    call->port->timeouts = *timeouts;
    return STATUS_SUCCESS;
}

/* ---- wait-on-mask ----------------------------------------------------------------------- */

static NTSTATUS SetWaitMask(SERIAL_CALL *call)
{
    ULONG mask = *(const ULONG *)call->buffer;
    if (mask & ~VALID_EVENTS)
        return STATUS_INVALID_PARAMETER;
    /* A new mask ends the pending wait with no events and forgets what happened. */
    CableFinishWait(call->port, STATUS_SUCCESS, 0, call->done);
    call->port->waitMask = mask;
    call->port->history = 0;
    return STATUS_SUCCESS;
}

static NTSTATUS WaitOnMask(SERIAL_CALL *call)
{
    CABLE_PORT *port = call->port;
    if (port->wait || port->waitMask == 0)
        return STATUS_INVALID_PARAMETER;
    /* A driver that refuses an overlapped wait outright. */
    if (port->kind.waitRefused && !port->ownerSynchronous)
        return STATUS_INVALID_PARAMETER;
    if (port->history) {
        *(ULONG *)call->buffer = port->history;
        port->history = 0;
        return STATUS_SUCCESS;
    }
    if (!CablePend(call->irp))
        return STATUS_CANCELLED;
    port->wait = call->irp;
    return STATUS_PENDING;
}

/* ---- the queues ------------------------------------------------------------------------- */

static NTSTATUS SetQueueSize(SERIAL_CALL *call)
{
    ULONG in = ((const SERIAL_QUEUE_SIZE *)call->buffer)->InSize;
    /* A driver only ever grows its receive buffer. */
    if (in > call->port->rxCapacity)
        call->port->rxCapacity = min(in, CABLE_RX_SIZE);
    return STATUS_SUCCESS;
}

static NTSTATUS GetProperties(SERIAL_CALL *call)
{
    SERIAL_COMMPROP *prop = call->buffer;
    RtlZeroMemory(prop, sizeof(*prop));
    prop->PacketLength = sizeof(*prop);
    prop->PacketVersion = 2;
    prop->ServiceMask = SERIAL_SP_SERIALCOMM;
    prop->MaxTxQueue = 0;
    prop->MaxRxQueue = CABLE_RX_SIZE;
    prop->MaxBaud = SERIAL_BAUD_USER;
    prop->ProvSubType = SERIAL_SP_RS232;
    prop->ProvCapabilities = SERIAL_PCF_DTRDSR | SERIAL_PCF_RTSCTS | SERIAL_PCF_CD | SERIAL_PCF_PARITY_CHECK |
                             SERIAL_PCF_XONXOFF | SERIAL_PCF_SETXCHAR | SERIAL_PCF_TOTALTIMEOUTS |
                             SERIAL_PCF_INTTIMEOUTS;
    prop->SettableParams = SERIAL_SP_PARITY | SERIAL_SP_BAUD | SERIAL_SP_DATABITS | SERIAL_SP_STOPBITS |
                           SERIAL_SP_HANDSHAKING | SERIAL_SP_PARITY_CHECK | SERIAL_SP_CARRIER_DETECT;
    prop->SettableBaud = SERIAL_BAUD_USER | SERIAL_BAUD_9600 | SERIAL_BAUD_57600 | SERIAL_BAUD_115200 |
                         SERIAL_BAUD_19200 | SERIAL_BAUD_38400 | SERIAL_BAUD_4800 | SERIAL_BAUD_2400;
    prop->SettableData = SERIAL_DATABITS_5 | SERIAL_DATABITS_6 | SERIAL_DATABITS_7 | SERIAL_DATABITS_8;
    prop->SettableStopParity = SERIAL_STOPBITS_10 | SERIAL_STOPBITS_15 | SERIAL_STOPBITS_20 | SERIAL_PARITY_NONE |
                               SERIAL_PARITY_ODD | SERIAL_PARITY_EVEN | SERIAL_PARITY_MARK | SERIAL_PARITY_SPACE;
    prop->CurrentTxQueue = 0;
    prop->CurrentRxQueue = call->port->rxCapacity;
    return STATUS_SUCCESS;
}

/* Bytes that pending writes still hold: until the line has taken them where a write ends on the
 * line; until the device's buffer has where it ends there, so it can read 0 while bytes are
 * still going out. */
static ULONG OutQueue(CABLE_PORT *port)
{
    ULONG count = CableFlavour(port)->writeEnd == CABLE_WRITE_ON_THE_LINE ? port->txCount : 0;
    LIST_ENTRY *entry;
    BOOLEAN head = TRUE;
    for (entry = port->writes.Flink; entry != &port->writes; entry = entry->Flink) {
        PIRP irp = CONTAINING_RECORD(entry, IRP, Tail.Overlay.ListEntry);
        count += IoGetCurrentIrpStackLocation(irp)->Parameters.Write.Length - (head ? port->writeDone : 0);
        head = FALSE;
    }
    return count;
}

static NTSTATUS GetCommStatus(SERIAL_CALL *call)
{
    SERIAL_STATUS *comm = call->buffer;
    RtlZeroMemory(comm, sizeof(*comm));
    comm->Errors = call->port->errors;
    comm->AmountInInQueue = call->port->rxCount;
    comm->AmountInOutQueue = OutQueue(call->port);
    call->port->errors = 0;
    return STATUS_SUCCESS;
}

static NTSTATUS Purge(SERIAL_CALL *call)
{
    CABLE_PORT *port = call->port;
    ULONG what = *(const ULONG *)call->buffer;
    if (what == 0 || (what & ~VALID_PURGE))
        return STATUS_INVALID_PARAMETER;
    if (what & SERIAL_PURGE_TXABORT)
        CableFinishWrites(port, STATUS_CANCELLED, call->done);
    if (what & SERIAL_PURGE_RXABORT)
        CableFinishReads(port, STATUS_CANCELLED, call->done);
    if (what & SERIAL_PURGE_TXCLEAR) {
        port->txHead = port->txCount = 0;
        port->lineBusy = FALSE;
    }
    if (what & SERIAL_PURGE_RXCLEAR)
        port->rxHead = port->rxCount = port->deviceCount = 0;
    return STATUS_SUCCESS;
}

/* TransmitCommChar: the byte goes ahead of what the transmit buffer holds. */
static NTSTATUS ImmediateChar(SERIAL_CALL *call)
{
    CABLE_PORT *port = call->port;
    if (port->txCount >= CABLE_TX_SIZE)
        return STATUS_INVALID_PARAMETER;
    port->txHead = (port->txHead + CABLE_TX_SIZE - 1) % CABLE_TX_SIZE;
    port->tx[port->txHead] = *(const UCHAR *)call->buffer;
    ++port->txCount;
    port->txPending = TRUE;
    CableService(port, call->nowUs, call->done);
    CableKick();
    return STATUS_SUCCESS;
}

/* ---- modem lines of a loopback plug: RTS to CTS, DTR to DSR and DCD ---------------------- */

static NTSTATUS DtrLine(SERIAL_CALL *call)
{
    if ((call->port->handflow.ControlHandShake & SERIAL_DTR_MASK) == SERIAL_DTR_HANDSHAKE)
        return STATUS_INVALID_PARAMETER;
    SetDtr(call->port, call->code == IOCTL_SERIAL_SET_DTR, call->done);
    return STATUS_SUCCESS;
}

static NTSTATUS RtsLine(SERIAL_CALL *call)
{
    if ((call->port->handflow.FlowReplace & SERIAL_RTS_MASK) == SERIAL_RTS_HANDSHAKE)
        return STATUS_INVALID_PARAMETER;
    SetRts(call->port, call->code == IOCTL_SERIAL_SET_RTS, call->done);
    return STATUS_SUCCESS;
}

static NTSTATUS GetDtrRts(SERIAL_CALL *call)
{
    *(ULONG *)call->buffer = (call->port->dtr ? SERIAL_DTR_STATE : 0) | (call->port->rts ? SERIAL_RTS_STATE : 0);
    return STATUS_SUCCESS;
}

static NTSTATUS GetModemStatus(SERIAL_CALL *call)
{
    CABLE_PORT *port = call->port;
    *(ULONG *)call->buffer = (port->rts ? SERIAL_CTS_STATE : 0) | (port->dtr ? SERIAL_DSR_STATE | SERIAL_DCD_STATE : 0);
    return STATUS_SUCCESS;
}

static NTSTATUS BreakLine(SERIAL_CALL *call)
{
    BOOLEAN on = call->code == IOCTL_SERIAL_SET_BREAK_ON;
    /* The plug carries the break back to our own receiver. */
    if (on && !call->port->breakOn)
        CableRaiseEvents(call->port, SERIAL_EV_BREAK, call->done);
    call->port->breakOn = on;
    return STATUS_SUCCESS;
}

/* ---- the maker's request ---------------------------------------------------------------- */

/* Answered by the maker's cable only, and only with its one size each way. */
static NTSTATUS MakerProbe(SERIAL_CALL *call)
{
    if (!call->port->cable || call->port->cable->plain)
        return STATUS_INVALID_DEVICE_REQUEST;
    if (call->inLength != CABLE_MAKER_PROBE_SIZE || call->outLength != CABLE_MAKER_PROBE_SIZE)
        return STATUS_INVALID_PARAMETER;
    RtlZeroMemory(call->buffer, CABLE_MAKER_PROBE_SIZE);
    call->information = CABLE_MAKER_PROBE_SIZE;
    return STATUS_SUCCESS;
}

/* ---- the table -------------------------------------------------------------------------- */

#define PORT_FIELD(name) FIELD_OFFSET(CABLE_PORT, name)

static const SERIAL_REQUEST g_requests[] = {
    /* code                          input size                   output size                  handler, field */
    { IOCTL_CABLE_MAKER_PROBE,       0,                           0,                           MakerProbe, 0 },
    { IOCTL_SERIAL_SET_BAUD_RATE,    sizeof(SERIAL_BAUD_RATE),    0,                           SetBaudRate, 0 },
    { IOCTL_SERIAL_GET_BAUD_RATE,    0,                           sizeof(SERIAL_BAUD_RATE),    CopyOut, PORT_FIELD(baud) },
    { IOCTL_SERIAL_SET_LINE_CONTROL, sizeof(SERIAL_LINE_CONTROL), 0,                           SetLineControl, 0 },
    { IOCTL_SERIAL_GET_LINE_CONTROL, 0,                           sizeof(SERIAL_LINE_CONTROL), CopyOut, PORT_FIELD(line) },
    { IOCTL_SERIAL_SET_HANDFLOW,     sizeof(SERIAL_HANDFLOW),     0,                           SetHandflow, 0 },
    { IOCTL_SERIAL_GET_HANDFLOW,     0,                           sizeof(SERIAL_HANDFLOW),     CopyOut, PORT_FIELD(handflow) },
    { IOCTL_SERIAL_SET_CHARS,        sizeof(SERIAL_CHARS),        0,                           SetChars, 0 },
    { IOCTL_SERIAL_GET_CHARS,        0,                           sizeof(SERIAL_CHARS),        CopyOut, PORT_FIELD(chars) },
    { IOCTL_SERIAL_SET_TIMEOUTS,     sizeof(SERIAL_TIMEOUTS),     0,                           SetTimeouts, 0 },
    { IOCTL_SERIAL_GET_TIMEOUTS,     0,                           sizeof(SERIAL_TIMEOUTS),     CopyOut, PORT_FIELD(timeouts) },
    { IOCTL_SERIAL_SET_WAIT_MASK,    sizeof(ULONG),               0,                           SetWaitMask, 0 },
    { IOCTL_SERIAL_GET_WAIT_MASK,    0,                           sizeof(ULONG),               CopyOut, PORT_FIELD(waitMask) },
    { IOCTL_SERIAL_WAIT_ON_MASK,     0,                           sizeof(ULONG),               WaitOnMask, 0 },
    { IOCTL_SERIAL_SET_QUEUE_SIZE,   sizeof(SERIAL_QUEUE_SIZE),   0,                           SetQueueSize, 0 },
    { IOCTL_SERIAL_GET_PROPERTIES,   0,                           sizeof(SERIAL_COMMPROP),     GetProperties, 0 },
    { IOCTL_SERIAL_GET_COMMSTATUS,   0,                           sizeof(SERIAL_STATUS),       GetCommStatus, 0 },
    { IOCTL_SERIAL_PURGE,            sizeof(ULONG),               0,                           Purge, 0 },
    { IOCTL_SERIAL_IMMEDIATE_CHAR,   sizeof(UCHAR),               0,                           ImmediateChar, 0 },
    { IOCTL_SERIAL_SET_DTR,          0,                           0,                           DtrLine, 0 },
    { IOCTL_SERIAL_CLR_DTR,          0,                           0,                           DtrLine, 0 },
    { IOCTL_SERIAL_SET_RTS,          0,                           0,                           RtsLine, 0 },
    { IOCTL_SERIAL_CLR_RTS,          0,                           0,                           RtsLine, 0 },
    { IOCTL_SERIAL_GET_DTRRTS,       0,                           sizeof(ULONG),               GetDtrRts, 0 },
    { IOCTL_SERIAL_GET_MODEMSTATUS,  0,                           sizeof(ULONG),               GetModemStatus, 0 },
    { IOCTL_SERIAL_SET_BREAK_ON,     0,                           0,                           BreakLine, 0 },
    { IOCTL_SERIAL_SET_BREAK_OFF,    0,                           0,                           BreakLine, 0 },
    { IOCTL_SERIAL_CONFIG_SIZE,      0,                           sizeof(ULONG),               ZeroOut, 0 },
    { IOCTL_SERIAL_GET_STATS,        0,                           sizeof(SERIALPERF_STATS),    ZeroOut, 0 },
    { IOCTL_SERIAL_CLEAR_STATS,      0,                           0,                           Nothing, 0 },
    { IOCTL_SERIAL_SET_XON,          0,                           0,                           Nothing, 0 },
    { IOCTL_SERIAL_SET_XOFF,         0,                           0,                           Nothing, 0 },
    { IOCTL_SERIAL_RESET_DEVICE,     0,                           0,                           Nothing, 0 },
    { IOCTL_SERIAL_SET_FIFO_CONTROL, 0,                           0,                           Nothing, 0 },
};

static const SERIAL_REQUEST *RequestRow(ULONG code)
{
    ULONG i;
    for (i = 0; i < sizeof(g_requests) / sizeof(g_requests[0]); ++i)
        if (g_requests[i].code == code)
            return &g_requests[i];
    return NULL;
}

NTSTATUS CableSerialControl(CABLE_PORT *port, PIRP irp)
{
    IO_STACK_LOCATION *stack = IoGetCurrentIrpStackLocation(irp);
    SERIAL_CALL call;
    LIST_ENTRY done;
    NTSTATUS status;
    KIRQL irql;

    call.port = port;
    call.irp = irp;
    call.code = stack->Parameters.DeviceIoControl.IoControlCode;
    call.row = RequestRow(call.code);
    call.inLength = stack->Parameters.DeviceIoControl.InputBufferLength;
    call.outLength = stack->Parameters.DeviceIoControl.OutputBufferLength;
    call.buffer = irp->AssociatedIrp.SystemBuffer;
    call.information = call.row ? call.row->outSize : 0;
    call.nowUs = CableNowUs();
    call.done = &done;
    InitializeListHead(&done);
    KeAcquireSpinLock(&g_lock, &irql);
    if ((status = CableRefusal(port, irp)) != STATUS_SUCCESS) {
        KeReleaseSpinLock(&g_lock, irql);
        return CableComplete(irp, status, 0);
    }
    if (!call.row)
        status = STATUS_INVALID_DEVICE_REQUEST;
    else if (call.inLength < call.row->inSize || call.outLength < call.row->outSize)
        status = STATUS_BUFFER_TOO_SMALL;
    else
        status = call.row->handler(&call);
    KeReleaseSpinLock(&g_lock, irql);
    CableCompleteList(&done);
    if (status == STATUS_PENDING)
        return status;
    return CableComplete(irp, status, NT_SUCCESS(status) ? call.information : 0);
}
