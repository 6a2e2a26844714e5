/* The serial requests of a COM port device, as Microsoft documents them for a serial driver:
 * reads and writes with SERIAL_TIMEOUTS, and a flush that waits for the writes; wait-on-mask
 * with its event history; the settings IOCTLs; purge; comm status; every pending request
 * cancellable and all of them ended at cleanup. Who the port is open for is in open.c; the
 * line itself (pacing, faults, time-outs running out) in timing.c. */
#include "cable.h"

#define VALID_EVENTS 0x1FFF
#define VALID_PURGE (SERIAL_PURGE_TXABORT | SERIAL_PURGE_RXABORT | SERIAL_PURGE_TXCLEAR | SERIAL_PURGE_RXCLEAR)

static IO_STACK_LOCATION *Stack(PIRP irp) { return IoGetCurrentIrpStackLocation(irp); }

static void *SystemBuffer(PIRP irp)
{
    return irp->AssociatedIrp.SystemBuffer ? irp->AssociatedIrp.SystemBuffer : irp->UserBuffer;
}

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

/* ---- completion lists ------------------------------------------------------------------- */

/* Under g_lock: takes a queued request out of reach of its cancel routine and puts it on
 * `done` with its result. When the cancel routine has already been called, it owns the
 * request and completes it as cancelled. */
void CableFinish(PIRP irp, NTSTATUS status, ULONG_PTR information, LIST_ENTRY *done)
{
    if (IoSetCancelRoutine(irp, NULL) == NULL)
        return;
    irp->IoStatus.Status = status;
    irp->IoStatus.Information = information;
    InsertTailList(done, &irp->Tail.Overlay.ListEntry);
}

void CableCompleteList(LIST_ENTRY *done)
{
    while (!IsListEmpty(done)) {
        PIRP irp = CONTAINING_RECORD(RemoveHeadList(done), IRP, Tail.Overlay.ListEntry);
        IoCompleteRequest(irp, IO_NO_INCREMENT);
    }
}

/* Under g_lock: ends the head request of a read or write queue with the bytes it has moved so
 * far; the next one starts afresh. */
void CableFinishHead(LIST_ENTRY *queue, ULONG *headDone, BOOLEAN *headStarted, NTSTATUS status, LIST_ENTRY *done)
{
    PIRP irp = CONTAINING_RECORD(RemoveHeadList(queue), IRP, Tail.Overlay.ListEntry);
    InitializeListHead(&irp->Tail.Overlay.ListEntry);
    CableFinish(irp, status, *headDone, done);
    *headDone = 0;
    *headStarted = FALSE;
}

/* Under g_lock: the head write is done. Wine sets a request's result in the thread that issued
 * it, so an EV_TXEMPTY completed at the same moment can reach a program's other thread before
 * the write does; it comes a tick later (CableService), as a UART's comes a frame after the write. */
void CableFinishWrite(CABLE_PORT *port, NTSTATUS status, LONGLONG nowUs, LIST_ENTRY *done)
{
    CableFinishHead(&port->writes, &port->writeDone, &port->writeHeadStarted, status, done);
    port->txEmptyDueUs = nowUs + CABLE_TICK_MS * 1000;
}

static void FinishReads(CABLE_PORT *port, NTSTATUS status, LIST_ENTRY *done)
{
    while (!IsListEmpty(&port->reads))
        CableFinishHead(&port->reads, &port->readDone, &port->readHeadStarted, status, done);
}

static void FinishWrites(CABLE_PORT *port, NTSTATUS status, LIST_ENTRY *done)
{
    while (!IsListEmpty(&port->writes))
        CableFinishHead(&port->writes, &port->writeDone, &port->writeHeadStarted, status, done);
}

static void FinishWait(CABLE_PORT *port, NTSTATUS status, ULONG events, LIST_ENTRY *done)
{
    PIRP irp = port->wait;
    if (!irp)
        return;
    port->wait = NULL;
    if (NT_SUCCESS(status))
        *(ULONG *)SystemBuffer(irp) = events;
    if (port->waitSticky) {
        /* Its cancel routine is gone already. */
        port->waitSticky = FALSE;
        irp->IoStatus.Status = status;
        irp->IoStatus.Information = 0;
        InsertTailList(done, &irp->Tail.Overlay.ListEntry);
        return;
    }
    CableFinish(irp, status, NT_SUCCESS(status) ? sizeof(ULONG) : 0, done);
}

static void FinishFlushes(CABLE_PORT *port, NTSTATUS status, LIST_ENTRY *done)
{
    while (!IsListEmpty(&port->flushes)) {
        PIRP irp = CONTAINING_RECORD(RemoveHeadList(&port->flushes), IRP, Tail.Overlay.ListEntry);
        InitializeListHead(&irp->Tail.Overlay.ListEntry);
        CableFinish(irp, status, 0, done);
    }
}

void CableFailAll(CABLE_PORT *port, NTSTATUS status, LIST_ENTRY *done)
{
    FinishReads(port, status, done);
    FinishWrites(port, status, done);
    FinishFlushes(port, status, done);
    FinishWait(port, status, 0, done);
}

static void CancelQueued(PDEVICE_OBJECT device, PIRP irp)
{
    CABLE_PORT *port = (CABLE_PORT *)device->DeviceExtension;
    LIST_ENTRY *entry = &irp->Tail.Overlay.ListEntry;
    KIRQL irql;

    IoReleaseCancelSpinLock(irp->CancelIrql);
    KeAcquireSpinLock(&g_lock, &irql);
    if (port->wait == irp) {
        port->wait = NULL;
    } else if (!IsListEmpty(entry)) {
        /* A head request takes its progress with it; the next one starts afresh. */
        if (port->reads.Flink == entry) {
            port->readDone = 0;
            port->readHeadStarted = FALSE;
        }
        if (port->writes.Flink == entry) {
            port->writeDone = 0;
            port->writeHeadStarted = FALSE;
        }
        RemoveEntryList(entry);
        InitializeListHead(entry);
    }
    KeReleaseSpinLock(&g_lock, irql);
    CableComplete(irp, STATUS_CANCELLED, 0);
}

/* Under g_lock. False when the request was cancelled before it could be queued. */
static BOOLEAN Pend(PIRP irp)
{
    IoSetCancelRoutine(irp, CancelQueued);
    if (irp->Cancel && IoSetCancelRoutine(irp, NULL) != NULL)
        return FALSE;
    /* The cancel routine waits for g_lock, which the caller holds until this is done. */
    IoMarkIrpPending(irp);
    return TRUE;
}

/* ---- events ----------------------------------------------------------------------------- */

/* Under g_lock: an event completes a pending wait, or waits in the history for the next one. */
void CableRaiseEvents(CABLE_PORT *port, ULONG events, LIST_ENTRY *done)
{
    events &= port->waitMask;
    if (!events)
        return;
    if (port->wait)
        FinishWait(port, STATUS_SUCCESS, events, done);
    else
        port->history |= events;
}

/* ---- reads and writes ------------------------------------------------------------------- */

/* Under g_lock: hands received bytes to the pending reads in order. */
void CableServeReads(CABLE_PORT *port, LONGLONG nowUs, LIST_ENTRY *done)
{
    while (!IsListEmpty(&port->reads)) {
        PIRP irp = CONTAINING_RECORD(port->reads.Flink, IRP, Tail.Overlay.ListEntry);
        ULONG length = Stack(irp)->Parameters.Read.Length;
        UCHAR *buffer = SystemBuffer(irp);
        ULONG before = port->readDone;
        if (!port->readHeadStarted)
            CableStartReadTimers(port, irp, nowUs);
        while (port->readDone < length && port->rxCount) {
            ULONG chunk = min(length - port->readDone, port->rxCount);
            chunk = min(chunk, CABLE_RX_SIZE - port->rxHead);
            RtlCopyMemory(buffer + port->readDone, port->rx + port->rxHead, chunk);
            port->readDone += chunk;
            port->rxHead = (port->rxHead + chunk) % CABLE_RX_SIZE;
            port->rxCount -= chunk;
        }
        if (port->readDone != before)
            port->readLastByteUs = nowUs;
        if (port->readDone < length && !(port->readFirstByteEnds && (port->readDone > 0 || port->readImmediate)))
            return;
        CableFinishHead(&port->reads, &port->readDone, &port->readHeadStarted, STATUS_SUCCESS, done);
    }
}

/* Under g_lock: moves pending writes into the transmit buffer as it has room. A bridge's write
 * is done once the device's buffer holds it; a UART's once its last byte has left the line, so
 * only the head write feeds the line and the next one waits for it. */
void CableServeWrites(CABLE_PORT *port, LONGLONG nowUs, LIST_ENTRY *done)
{
    while (!IsListEmpty(&port->writes)) {
        PIRP irp = CONTAINING_RECORD(port->writes.Flink, IRP, Tail.Overlay.ListEntry);
        ULONG length = Stack(irp)->Parameters.Write.Length;
        const UCHAR *data = SystemBuffer(irp);
        if (!port->writeHeadStarted)
            CableStartWriteTimers(port, irp, nowUs);
        while (port->writeDone < length && port->txCount < CABLE_TX_SIZE) {
            ULONG tail = (port->txHead + port->txCount) % CABLE_TX_SIZE;
            ULONG chunk = min(length - port->writeDone, CABLE_TX_SIZE - port->txCount);
            chunk = min(chunk, CABLE_TX_SIZE - tail);
            RtlCopyMemory(port->tx + tail, data + port->writeDone, chunk);
            port->writeDone += chunk;
            port->txCount += chunk;
            port->txPending = TRUE;
        }
        if (port->writeDone < length || (!CableIsBridge(port) && port->txCount))
            return;
        CableFinishWrite(port, STATUS_SUCCESS, nowUs, done);
    }
}

/* Queues a read or write and serves the queue at once; what is not done pends. */
static NTSTATUS Transfer(CABLE_PORT *port, PIRP irp, LIST_ENTRY *queue, BOOLEAN isRead)
{
    LIST_ENTRY done;
    LONGLONG nowUs = CableNowUs();
    NTSTATUS status = STATUS_PENDING;
    KIRQL irql;

    InitializeListHead(&done);
    KeAcquireSpinLock(&g_lock, &irql);
    if ((status = CableRefusal(port, irp)) != STATUS_SUCCESS) {
        KeReleaseSpinLock(&g_lock, irql);
        return CableComplete(irp, status, 0);
    }
    if ((isRead ? Stack(irp)->Parameters.Read.Length : Stack(irp)->Parameters.Write.Length) == 0) {
        KeReleaseSpinLock(&g_lock, irql);
        return CableComplete(irp, STATUS_SUCCESS, 0);
    }
    status = STATUS_PENDING;
    if (!Pend(irp)) {
        KeReleaseSpinLock(&g_lock, irql);
        return CableComplete(irp, STATUS_CANCELLED, 0);
    }
    InsertTailList(queue, &irp->Tail.Overlay.ListEntry);
    if (!isRead)
        CABLE_SET_SEQ(irp, port->writeSeq++);
    if (isRead) {
        CableServeReads(port, nowUs, &done);
    } else {
        CableNoteSettings(port);
        CableServeWrites(port, nowUs, &done);
    }
    /* The line takes what was written; an instant cable echoes it here and now. */
    CableService(port, nowUs, &done);
    CableKick();
    KeReleaseSpinLock(&g_lock, irql);
    CableCompleteList(&done);
    return status;
}

NTSTATUS CableSerialRead(CABLE_PORT *port, PIRP irp)
{
    return Transfer(port, irp, &port->reads, TRUE);
}

NTSTATUS CableSerialWrite(CABLE_PORT *port, PIRP irp)
{
    return Transfer(port, irp, &port->writes, FALSE);
}

/* ---- device control --------------------------------------------------------------------- */

static BOOLEAN ValidLine(const SERIAL_LINE_CONTROL *line)
{
    if (line->WordLength < 5 || line->WordLength > 8 || line->Parity > SPACE_PARITY ||
        line->StopBits > STOP_BITS_2)
        return FALSE;
    /* A UART has 1.5 stop bits only with 5 data bits, and 2 only with 6 to 8. */
    if (line->WordLength == 5 && line->StopBits == STOP_BITS_2)
        return FALSE;
    if (line->WordLength > 5 && line->StopBits == STOP_BITS_1_5)
        return FALSE;
    return TRUE;
}

static void FillProperties(CABLE_PORT *port, SERIAL_COMMPROP *prop)
{
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
    prop->CurrentRxQueue = port->rxCapacity;
}

/* Bytes that pending writes still hold: on a UART, until the line has taken them; on a bridge,
 * until the device's buffer has, so it can read 0 while bytes are still going out. */
static ULONG OutQueue(CABLE_PORT *port)
{
    ULONG count = CableIsBridge(port) ? 0 : port->txCount;
    LIST_ENTRY *entry;
    BOOLEAN head = TRUE;
    for (entry = port->writes.Flink; entry != &port->writes; entry = entry->Flink) {
        PIRP irp = CONTAINING_RECORD(entry, IRP, Tail.Overlay.ListEntry);
        count += Stack(irp)->Parameters.Write.Length - (head ? port->writeDone : 0);
        head = FALSE;
    }
    return count;
}

/* Modem lines of a loopback plug: RTS to CTS, DTR to DSR and DCD. */
static ULONG ModemStatus(CABLE_PORT *port)
{
    return (port->rts ? SERIAL_CTS_STATE : 0) | (port->dtr ? SERIAL_DSR_STATE | SERIAL_DCD_STATE : 0);
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

/* Used as statements of a case: the break leaves the switch. */
#define NEED_IN(type) if (inLength < sizeof(type)) { status = STATUS_BUFFER_TOO_SMALL; break; }
#define NEED_OUT(type) if (outLength < sizeof(type)) { status = STATUS_BUFFER_TOO_SMALL; break; } \
                       information = sizeof(type)

NTSTATUS CableSerialControl(CABLE_PORT *port, PIRP irp)
{
    IO_STACK_LOCATION *stack = Stack(irp);
    ULONG code = stack->Parameters.DeviceIoControl.IoControlCode;
    ULONG inLength = stack->Parameters.DeviceIoControl.InputBufferLength;
    ULONG outLength = stack->Parameters.DeviceIoControl.OutputBufferLength;
    void *buffer = irp->AssociatedIrp.SystemBuffer;
    NTSTATUS status = STATUS_SUCCESS;
    ULONG_PTR information = 0;
    LONGLONG nowUs = CableNowUs();
    LIST_ENTRY done;
    KIRQL irql;

    InitializeListHead(&done);
    KeAcquireSpinLock(&g_lock, &irql);
    if ((status = CableRefusal(port, irp)) != STATUS_SUCCESS) {
        KeReleaseSpinLock(&g_lock, irql);
        return CableComplete(irp, status, 0);
    }
    switch (code) {
    case IOCTL_CABLE_MAKER_PROBE:
        if (!port->cable || port->cable->plain) {
            status = STATUS_INVALID_DEVICE_REQUEST;
        } else if (inLength != CABLE_MAKER_PROBE_SIZE || outLength != CABLE_MAKER_PROBE_SIZE) {
            status = STATUS_INVALID_PARAMETER;
        } else {
            RtlZeroMemory(buffer, CABLE_MAKER_PROBE_SIZE);
            information = CABLE_MAKER_PROBE_SIZE;
        }
        break;
    case IOCTL_SERIAL_SET_BAUD_RATE:
        NEED_IN(SERIAL_BAUD_RATE);
        if (((SERIAL_BAUD_RATE *)buffer)->BaudRate == 0) {
            status = STATUS_INVALID_PARAMETER;
            break;
        }
        if (CableSetStateStalls(port)) {
            status = STATUS_UNSUCCESSFUL;
            break;
        }
        port->baud = *(SERIAL_BAUD_RATE *)buffer;
        port->settingsChanged = TRUE;
        break;
    case IOCTL_SERIAL_GET_BAUD_RATE:
        NEED_OUT(SERIAL_BAUD_RATE);
        *(SERIAL_BAUD_RATE *)buffer = port->baud;
        break;
    case IOCTL_SERIAL_SET_LINE_CONTROL:
        NEED_IN(SERIAL_LINE_CONTROL);
        if (!ValidLine((SERIAL_LINE_CONTROL *)buffer)) {
            status = STATUS_INVALID_PARAMETER;
            break;
        }
        port->line = *(SERIAL_LINE_CONTROL *)buffer;
        port->settingsChanged = TRUE;
        break;
    case IOCTL_SERIAL_GET_LINE_CONTROL:
        NEED_OUT(SERIAL_LINE_CONTROL);
        *(SERIAL_LINE_CONTROL *)buffer = port->line;
        break;
    case IOCTL_SERIAL_SET_HANDFLOW: {
        SERIAL_HANDFLOW *flow = (SERIAL_HANDFLOW *)buffer;
        NEED_IN(SERIAL_HANDFLOW);
        if ((flow->ControlHandShake & SERIAL_DTR_MASK) == SERIAL_DTR_MASK || flow->XonLimit < 0 ||
            flow->XoffLimit < 0 || (ULONG)flow->XonLimit > port->rxCapacity ||
            (ULONG)flow->XoffLimit > port->rxCapacity) {
            status = STATUS_INVALID_PARAMETER;
            break;
        }
        port->handflow = *flow;
        if ((flow->ControlHandShake & SERIAL_DTR_MASK) == SERIAL_DTR_CONTROL)
            SetDtr(port, TRUE, &done);
        else if ((flow->ControlHandShake & SERIAL_DTR_MASK) == 0)
            SetDtr(port, FALSE, &done);
        if ((flow->FlowReplace & SERIAL_RTS_MASK) == SERIAL_RTS_CONTROL)
            SetRts(port, TRUE, &done);
        else if ((flow->FlowReplace & SERIAL_RTS_MASK) == 0)
            SetRts(port, FALSE, &done);
        port->settingsChanged = TRUE;
        break;
    }
    case IOCTL_SERIAL_GET_HANDFLOW:
        NEED_OUT(SERIAL_HANDFLOW);
        *(SERIAL_HANDFLOW *)buffer = port->handflow;
        break;
    case IOCTL_SERIAL_SET_CHARS: {
        SERIAL_CHARS *chars = (SERIAL_CHARS *)buffer;
        NEED_IN(SERIAL_CHARS);
        if (chars->XonChar == chars->XoffChar) {
            status = STATUS_INVALID_PARAMETER;
            break;
        }
        port->chars = *chars;
        break;
    }
    case IOCTL_SERIAL_GET_CHARS:
        NEED_OUT(SERIAL_CHARS);
        *(SERIAL_CHARS *)buffer = port->chars;
        break;
    case IOCTL_SERIAL_SET_TIMEOUTS: {
        SERIAL_TIMEOUTS *timeouts = (SERIAL_TIMEOUTS *)buffer;
        NEED_IN(SERIAL_TIMEOUTS);
        /* Both multipliers at MAXDWORD only go with a constant between 0 and MAXDWORD. */
        if (timeouts->ReadIntervalTimeout == MAXULONG && timeouts->ReadTotalTimeoutMultiplier == MAXULONG &&
            (timeouts->ReadTotalTimeoutConstant == 0 || timeouts->ReadTotalTimeoutConstant == MAXULONG)) {
            status = STATUS_INVALID_PARAMETER;
            break;
        }
        port->timeouts = *timeouts;
        break;
    }
    case IOCTL_SERIAL_GET_TIMEOUTS:
        NEED_OUT(SERIAL_TIMEOUTS);
        *(SERIAL_TIMEOUTS *)buffer = port->timeouts;
        break;
    case IOCTL_SERIAL_SET_WAIT_MASK:
        NEED_IN(ULONG);
        if (*(ULONG *)buffer & ~VALID_EVENTS) {
            status = STATUS_INVALID_PARAMETER;
            break;
        }
        /* A new mask ends the pending wait with no events and forgets what happened. */
        FinishWait(port, STATUS_SUCCESS, 0, &done);
        port->waitMask = *(ULONG *)buffer;
        port->history = 0;
        break;
    case IOCTL_SERIAL_GET_WAIT_MASK:
        NEED_OUT(ULONG);
        *(ULONG *)buffer = port->waitMask;
        break;
    case IOCTL_SERIAL_WAIT_ON_MASK:
        if (outLength < sizeof(ULONG)) {
            status = STATUS_BUFFER_TOO_SMALL;
        } else if (port->wait || port->waitMask == 0) {
            status = STATUS_INVALID_PARAMETER;
        } else if (port->kind.waitRefused && !port->ownerSynchronous) {
            /* A driver that refuses an overlapped wait outright. */
            status = STATUS_INVALID_PARAMETER;
        } else if (port->history) {
            *(ULONG *)buffer = port->history;
            port->history = 0;
            information = sizeof(ULONG);
        } else if (!Pend(irp)) {
            status = STATUS_CANCELLED;
        } else {
            port->wait = irp;
            status = STATUS_PENDING;
        }
        break;
    case IOCTL_SERIAL_SET_QUEUE_SIZE:
        NEED_IN(SERIAL_QUEUE_SIZE);
        /* A driver only ever grows its receive buffer. */
        if (((SERIAL_QUEUE_SIZE *)buffer)->InSize > port->rxCapacity)
            port->rxCapacity = min(((SERIAL_QUEUE_SIZE *)buffer)->InSize, CABLE_RX_SIZE);
        break;
    case IOCTL_SERIAL_GET_PROPERTIES:
        NEED_OUT(SERIAL_COMMPROP);
        FillProperties(port, (SERIAL_COMMPROP *)buffer);
        break;
    case IOCTL_SERIAL_GET_COMMSTATUS: {
        SERIAL_STATUS *comm = (SERIAL_STATUS *)buffer;
        NEED_OUT(SERIAL_STATUS);
        RtlZeroMemory(comm, sizeof(*comm));
        comm->Errors = port->errors;
        comm->AmountInInQueue = port->rxCount;
        comm->AmountInOutQueue = OutQueue(port);
        port->errors = 0;
        break;
    }
    case IOCTL_SERIAL_PURGE: {
        ULONG what;
        NEED_IN(ULONG);
        what = *(ULONG *)buffer;
        if (what == 0 || (what & ~VALID_PURGE)) {
            status = STATUS_INVALID_PARAMETER;
            break;
        }
        if (what & SERIAL_PURGE_TXABORT)
            FinishWrites(port, STATUS_CANCELLED, &done);
        if (what & SERIAL_PURGE_RXABORT)
            FinishReads(port, STATUS_CANCELLED, &done);
        if (what & SERIAL_PURGE_TXCLEAR) {
            port->txHead = port->txCount = 0;
            port->lineBusy = FALSE;
        }
        if (what & SERIAL_PURGE_RXCLEAR)
            port->rxHead = port->rxCount = port->deviceCount = 0;
        break;
    }
    case IOCTL_SERIAL_SET_DTR:
    case IOCTL_SERIAL_CLR_DTR:
        if ((port->handflow.ControlHandShake & SERIAL_DTR_MASK) == SERIAL_DTR_HANDSHAKE) {
            status = STATUS_INVALID_PARAMETER;
            break;
        }
        SetDtr(port, code == IOCTL_SERIAL_SET_DTR, &done);
        break;
    case IOCTL_SERIAL_SET_RTS:
    case IOCTL_SERIAL_CLR_RTS:
        if ((port->handflow.FlowReplace & SERIAL_RTS_MASK) == SERIAL_RTS_HANDSHAKE) {
            status = STATUS_INVALID_PARAMETER;
            break;
        }
        SetRts(port, code == IOCTL_SERIAL_SET_RTS, &done);
        break;
    case IOCTL_SERIAL_GET_DTRRTS:
        NEED_OUT(ULONG);
        *(ULONG *)buffer = (port->dtr ? SERIAL_DTR_STATE : 0) | (port->rts ? SERIAL_RTS_STATE : 0);
        break;
    case IOCTL_SERIAL_GET_MODEMSTATUS:
        NEED_OUT(ULONG);
        *(ULONG *)buffer = ModemStatus(port);
        break;
    case IOCTL_SERIAL_SET_BREAK_ON:
        /* The plug carries the break back to our own receiver. */
        if (!port->breakOn)
            CableRaiseEvents(port, SERIAL_EV_BREAK, &done);
        port->breakOn = TRUE;
        break;
    case IOCTL_SERIAL_SET_BREAK_OFF:
        port->breakOn = FALSE;
        break;
    case IOCTL_SERIAL_IMMEDIATE_CHAR:
        NEED_IN(UCHAR);
        if (port->txCount >= CABLE_TX_SIZE) {
            status = STATUS_INVALID_PARAMETER;
            break;
        }
        port->txHead = (port->txHead + CABLE_TX_SIZE - 1) % CABLE_TX_SIZE;
        port->tx[port->txHead] = *(UCHAR *)buffer;
        ++port->txCount;
        port->txPending = TRUE;
        CableService(port, nowUs, &done);
        CableKick();
        break;
    case IOCTL_SERIAL_CONFIG_SIZE:
        NEED_OUT(ULONG);
        *(ULONG *)buffer = 0;
        break;
    case IOCTL_SERIAL_SET_XON:
    case IOCTL_SERIAL_SET_XOFF:
    case IOCTL_SERIAL_RESET_DEVICE:
    case IOCTL_SERIAL_SET_FIFO_CONTROL:
    case IOCTL_SERIAL_CLEAR_STATS:
        break;
    case IOCTL_SERIAL_GET_STATS:
        NEED_OUT(SERIALPERF_STATS);
        RtlZeroMemory(buffer, sizeof(SERIALPERF_STATS));
        break;
    default:
        status = STATUS_INVALID_DEVICE_REQUEST;
        break;
    }
    KeReleaseSpinLock(&g_lock, irql);
    CableCompleteList(&done);
    if (status == STATUS_PENDING)
        return status;
    if (!NT_SUCCESS(status))
        information = 0;
    return CableComplete(irp, status, information);
}

/* ---- flush ------------------------------------------------------------------------------ */

/* Under g_lock: a flush is done once every write issued before it is. */
void CableServeFlushes(CABLE_PORT *port, LIST_ENTRY *done)
{
    while (!IsListEmpty(&port->flushes)) {
        PIRP flush = CONTAINING_RECORD(port->flushes.Flink, IRP, Tail.Overlay.ListEntry);
        if (!IsListEmpty(&port->writes)) {
            PIRP write = CONTAINING_RECORD(port->writes.Flink, IRP, Tail.Overlay.ListEntry);
            if (CABLE_SEQ(write) < CABLE_SEQ(flush))
                return;
        }
        RemoveEntryList(&flush->Tail.Overlay.ListEntry);
        InitializeListHead(&flush->Tail.Overlay.ListEntry);
        CableFinish(flush, STATUS_SUCCESS, 0, done);
    }
}

NTSTATUS CableSerialFlush(CABLE_PORT *port, PIRP irp)
{
    LIST_ENTRY done;
    NTSTATUS status;
    KIRQL irql;

    InitializeListHead(&done);
    KeAcquireSpinLock(&g_lock, &irql);
    if ((status = CableRefusal(port, irp)) != STATUS_SUCCESS || !Pend(irp)) {
        KeReleaseSpinLock(&g_lock, irql);
        return CableComplete(irp, status != STATUS_SUCCESS ? status : STATUS_CANCELLED, 0);
    }
    CABLE_SET_SEQ(irp, port->writeSeq);
    InsertTailList(&port->flushes, &irp->Tail.Overlay.ListEntry);
    CableServeFlushes(port, &done);
    CableKick();
    KeReleaseSpinLock(&g_lock, irql);
    CableCompleteList(&done);
    return STATUS_PENDING;
}
