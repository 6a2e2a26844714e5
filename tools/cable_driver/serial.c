/* The life of a COM port device's requests, as documented for a Windows serial driver: every
 * pending request cancellable, completed once g_lock is let go, and all of them ended at cleanup;
 * wait-on-mask's event history; reads and writes with SERIAL_TIMEOUTS, and a flush that waits for
 * the writes. The device-control requests are in serial_ioctl.c, who the port is open for in
 * open.c, the line itself (pacing, faults, time-outs running out) in timing.c. */
#include "cable.h"

static IO_STACK_LOCATION *Stack(PIRP irp) { return IoGetCurrentIrpStackLocation(irp); }

static void *SystemBuffer(PIRP irp)
{
    return irp->AssociatedIrp.SystemBuffer ? irp->AssociatedIrp.SystemBuffer : irp->UserBuffer;
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

void CableFinishReads(CABLE_PORT *port, NTSTATUS status, LIST_ENTRY *done)
{
    while (!IsListEmpty(&port->reads))
        CableFinishHead(&port->reads, &port->readDone, &port->readHeadStarted, status, done);
}

void CableFinishWrites(CABLE_PORT *port, NTSTATUS status, LIST_ENTRY *done)
{
    while (!IsListEmpty(&port->writes))
        CableFinishHead(&port->writes, &port->writeDone, &port->writeHeadStarted, status, done);
}

void CableFinishWait(CABLE_PORT *port, NTSTATUS status, ULONG events, LIST_ENTRY *done)
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
    CableFinishReads(port, status, done);
    CableFinishWrites(port, status, done);
    FinishFlushes(port, status, done);
    CableFinishWait(port, status, 0, done);
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
BOOLEAN CablePend(PIRP irp)
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
        CableFinishWait(port, STATUS_SUCCESS, events, done);
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

/* Under g_lock: moves pending writes into the transmit buffer as it has room. A write that ends
 * in the buffer is done once the buffer holds it; one that ends on the line once its last byte
 * has left, so only the head write feeds the line and the next one waits for it. */
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
        if (port->writeDone < length || (CableFlavour(port)->writeEnd == CABLE_WRITE_ON_THE_LINE && port->txCount))
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
    if (!CablePend(irp)) {
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
    if ((status = CableRefusal(port, irp)) != STATUS_SUCCESS || !CablePend(irp)) {
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
