/* The documented faults of real drivers that a cable can be given at `add` (cable_ioctl.h): the
 * table of their switches; the code of requests after a pull, and requests whose completion the
 * device holds back (a slow open, a slow close of a pulled port). The others are a line or two
 * where the request is served (serial_ioctl.c, driver.c). */
#include "cable.h"

/* ---- the switches --------------------------------------------------------------------------- */

/* A switch's delay is a few seconds at most: a driver host that waits longer is a hung rig. */
#define MAX_SWITCH_MS 60000

/* The switches of `add`, in the order stats says them: `--WORD VALUE` sets the cable kind's field,
 * and stats says WORD=VALUE. A flag takes no value and is 1 once given. */
typedef struct SWITCH {
    const char *word;
    SIZE_T field;          /* its ULONG in CABLE_KIND */
    ULONG byDefault;
    ULONG min, max;        /* max 0: a flag */
    const ULONG *only;     /* the values it takes, 0-ended; NULL: any from min to max */
} SWITCH;

#define KIND_FIELD(name) FIELD_OFFSET(CABLE_KIND, name)
#define NO_MAX 0x7FFFFFFF

static const ULONG g_removalCodes[] = { 5, 22, 31, 995, 0 };

static const SWITCH g_switches[] = {
    /* word             field                      default                min max            only */
    { "removal-code",   KIND_FIELD(removalCode),   5,                     0, NO_MAX,        g_removalCodes },
    { "sticky-wait",    KIND_FIELD(stickyWait),    0,                     0, 0,             NULL },
    { "slow-close",     KIND_FIELD(slowCloseMs),   0,                     0, MAX_SWITCH_MS, NULL },
    { "wait-refused",   KIND_FIELD(waitRefused),   0,                     0, 0,             NULL },
    { "setstate-fails", KIND_FIELD(setstateFails), 0,                     1, NO_MAX,        NULL },
    { "latency",        KIND_FIELD(latencyMs),     CABLE_LATENCY_DEFAULT, 1, 255,           NULL },
    { "slow-open",      KIND_FIELD(slowOpenMs),    0,                     0, MAX_SWITCH_MS, NULL },
    { NULL, 0, 0, 0, 0, NULL },
};

static ULONG *SwitchField(CABLE_KIND *kind, const SWITCH *sw)
{
    return (ULONG *)((UCHAR *)kind + sw->field);
}

static const SWITCH *SwitchNamed(const char *option)
{
    const SWITCH *sw;
    if (option[0] != '-' || option[1] != '-')
        return NULL;
    for (sw = g_switches; sw->word; ++sw)
        if (CableSame(option + 2, sw->word))
            return sw;
    return NULL;
}

static BOOLEAN SwitchTakes(const SWITCH *sw, ULONG value)
{
    const ULONG *only;
    if (value < sw->min || value > sw->max)
        return FALSE;
    for (only = sw->only; only && *only; ++only)
        if (*only == value)
            return TRUE;
    return sw->only == NULL;
}

void CableSwitchDefaults(CABLE_KIND *kind)
{
    const SWITCH *sw;
    for (sw = g_switches; sw->word; ++sw)
        *SwitchField(kind, sw) = sw->byDefault;
}

/* A switch at `words`, with its value if it takes one: the words it took, 0 if it is none or
 * its value is not one it takes. */
int CableTakeSwitch(CABLE_KIND *kind, char **words, int count)
{
    const SWITCH *sw = SwitchNamed(words[0]);
    ULONG value;
    if (!sw)
        return 0;
    if (!sw->max)
        return *SwitchField(kind, sw) = 1, 1;
    if (count < 2 || !CableNumber(words[1], &value) || !SwitchTakes(sw, value))
        return 0;
    return *SwitchField(kind, sw) = value, 2;
}

void CableSaySwitches(CABLE_KIND *kind, CABLE_REPLY *reply)
{
    const SWITCH *sw;
    for (sw = g_switches; sw->word; ++sw)
        CableSayField(reply, sw->word, *SwitchField(kind, sw));
}

/* ---- what they do --------------------------------------------------------------------------- */

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
        BOOLEAN held = irp->Tail.Overlay.DriverContext[3] != NULL;
        if (held) {
            KIRQL irql;
            KeAcquireSpinLock(&g_lock, &irql);
            CableLetGo((const CABLE_PORT *)device->DeviceExtension);
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
