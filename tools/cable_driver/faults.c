/* The documented faults of real drivers that a cable can be given at `add` (cable_ioctl.h):
 * the code of requests after a pull, and requests whose completion the device holds back
 * (a slow open, a slow close of a pulled port). The others are a line or two where the request
 * is served (serial.c). */
#include "cable.h"

/* Requests that complete at a time of their own, with their status already set. */
static LIST_ENTRY g_later;

void CableFaultsInit(void)
{
    InitializeListHead(&g_later);
}

/* The status that the port's requests fail with once its cable is pulled; Wine's table turns
 * each into the Win32 code named. */
NTSTATUS CableRemovedStatus(const CABLE_PORT *port)
{
    switch (port->kind.removalCode) {
    case 22: return STATUS_INVALID_DEVICE_STATE; /* ERROR_BAD_COMMAND */
    case 31: return STATUS_UNSUCCESSFUL;         /* ERROR_GEN_FAILURE */
    case 995: return STATUS_CANCELLED;           /* ERROR_OPERATION_ABORTED */
    default: return STATUS_DELETE_PENDING;       /* ERROR_ACCESS_DENIED */
    }
}

/* Under g_lock: `irp`, its result set, completes at `dueUs`, and takes its device with it when
 * `deleteDevice` (the last handle of a pulled port). */
void CableCompleteLater(PIRP irp, LONGLONG dueUs, BOOLEAN deleteDevice)
{
    if (!deleteDevice)
        irp->Tail.Overlay.DriverContext[3] = NULL;
    irp->Tail.Overlay.DriverContext[1] = (PVOID)(ULONG_PTR)dueUs;
    irp->Tail.Overlay.DriverContext[2] = (PVOID)(ULONG_PTR)deleteDevice;
    IoMarkIrpPending(irp);
    InsertTailList(&g_later, &irp->Tail.Overlay.ListEntry);
    CableKick();
}

BOOLEAN CableAnyLater(void)
{
    return !IsListEmpty(&g_later);
}

/* Under g_lock: what is due moves to `due`. */
void CableTakeDue(LONGLONG nowUs, LIST_ENTRY *due)
{
    LIST_ENTRY *entry = g_later.Flink;
    while (entry != &g_later) {
        PIRP irp = CONTAINING_RECORD(entry, IRP, Tail.Overlay.ListEntry);
        entry = entry->Flink;
        if ((LONGLONG)(ULONG_PTR)irp->Tail.Overlay.DriverContext[1] <= nowUs) {
            RemoveEntryList(&irp->Tail.Overlay.ListEntry);
            InsertTailList(due, &irp->Tail.Overlay.ListEntry);
        }
    }
}

void CableCompleteDue(LIST_ENTRY *due)
{
    while (!IsListEmpty(due)) {
        PIRP irp = CONTAINING_RECORD(RemoveHeadList(due), IRP, Tail.Overlay.ListEntry);
        PDEVICE_OBJECT device = IoGetCurrentIrpStackLocation(irp)->DeviceObject;
        BOOLEAN deleteDevice = irp->Tail.Overlay.DriverContext[2] != NULL;
        ULONG heldNumber = (ULONG)(ULONG_PTR)irp->Tail.Overlay.DriverContext[3];
        if (heldNumber) {
            KIRQL irql;
            KeAcquireSpinLock(&g_lock, &irql);
            CableLetGo(heldNumber);
            KeReleaseSpinLock(&g_lock, irql);
        }
        IoCompleteRequest(irp, IO_NO_INCREMENT);
        if (deleteDevice) {
            CableReleaseLinks();
            IoDeleteDevice(device);
        }
    }
}

/* Under g_lock: whether a request that is done now must wait for a slow open to end; if so it
 * is queued to complete then. */
BOOLEAN CableHeldByOpen(CABLE_PORT *port, PIRP irp, LONGLONG nowUs)
{
    if (port->openDueUs <= nowUs)
        return FALSE;
    CableCompleteLater(irp, port->openDueUs, FALSE);
    return TRUE;
}

/* Under g_lock: the device stalls the line-coding request of the K-th SetCommState after an
 * open; its first request, IOCTL_SERIAL_SET_BAUD_RATE, stands for it. */
BOOLEAN CableSetStateStalls(CABLE_PORT *port)
{
    return port->kind.setstateFails != 0 && ++port->setStates == port->kind.setstateFails;
}
