/* Who a COM port device is open for: one handle at a time (exclusive open), every handle
 * counted until it closes, and why a request on a handle is refused: the cable was pulled, or
 * the port is another handle's. */
#include "cable.h"

/* Under g_lock: `file` becomes the handle the port is open for. */
static void TakePort(CABLE_PORT *port, PFILE_OBJECT file, BOOLEAN synchronous)
{
    ++port->opens;
    port->owner = file;
    port->ownerSynchronous = synchronous;
    port->waitMask = 0;
    port->history = 0;
    port->errors = 0;
    if (CableFlavour(port)->openEmptiesQueues) {
        /* Nothing of an earlier handle's traffic is left for this one. */
        port->rxHead = port->rxCount = port->deviceCount = 0;
        port->txHead = port->txCount = 0;
        port->flightHead = port->flightCount = 0;
        port->lineBusy = port->txPending = FALSE;
    }
    port->setStates = 0;
    port->openDueUs = port->kind.slowOpenMs ? CableNowUs() + (LONGLONG)port->kind.slowOpenMs * 1000 : 0;
    port->dtr = (port->handflow.ControlHandShake & SERIAL_DTR_MASK) == SERIAL_DTR_CONTROL;
    port->rts = (port->handflow.FlowReplace & SERIAL_RTS_MASK) == SERIAL_RTS_CONTROL;
}

/* A handle opened while the port was taken: Wine's CloseHandle does not wait for the driver's
 * close, so the handle before it may be closed already with its close still on the way. Such a
 * handle takes the port at its first request if it is free by then, and is refused otherwise. */
#define CONTENDER_OVERLAPPED ((PVOID)1)
#define CONTENDER_SYNCHRONOUS ((PVOID)2)

NTSTATUS CableSerialCreate(CABLE_PORT *port, PFILE_OBJECT file, BOOLEAN synchronous)
{
    NTSTATUS status = STATUS_SUCCESS;
    KIRQL irql;
    KeAcquireSpinLock(&g_lock, &irql);
    ++port->handles;
    if (port->removed)
        status = CableRemovedStatus(port);
    else if (port->opens > 0)
        file->FsContext = synchronous ? CONTENDER_SYNCHRONOUS : CONTENDER_OVERLAPPED;
    else
        TakePort(port, file, synchronous);
    KeReleaseSpinLock(&g_lock, irql);
    return status;
}

/* True when `file` was the port's own handle. */
BOOLEAN CableSerialCleanup(CABLE_PORT *port, PFILE_OBJECT file)
{
    LIST_ENTRY done;
    BOOLEAN owned;
    KIRQL irql;
    InitializeListHead(&done);
    KeAcquireSpinLock(&g_lock, &irql);
    owned = port->owner != NULL && port->owner == file;
    if (owned) {
        CableFailAll(port, STATUS_CANCELLED, &done);
        CableNoteSettings(port);
        port->dtr = port->rts = FALSE;
    }
    KeReleaseSpinLock(&g_lock, irql);
    CableCompleteList(&done);
    return owned;
}

/* Under g_lock: why a request on this port cannot be served, or STATUS_SUCCESS. */
NTSTATUS CableRefusal(CABLE_PORT *port, PIRP irp)
{
    PFILE_OBJECT file = IoGetCurrentIrpStackLocation(irp)->FileObject;
    if (port->removed)
        return CableRemovedStatus(port);
    if (file == port->owner)
        return STATUS_SUCCESS;
    /* A serial port is opened by one handle at a time; a refused one stays refused. */
    if (port->owner != NULL || !file->FsContext) {
        file->FsContext = NULL;
        return STATUS_ACCESS_DENIED;
    }
    TakePort(port, file, file->FsContext == CONTENDER_SYNCHRONOUS);
    file->FsContext = NULL;
    return STATUS_SUCCESS;
}
