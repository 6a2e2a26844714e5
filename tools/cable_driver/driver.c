/* Driver entry, the control device, and the COM port devices' life: created by the rig's
 * `add` or `restore`, gone at `remove` or a hang-up while handles may still be open. */
#include "cable.h"

KSPIN_LOCK g_lock;
PDRIVER_OBJECT g_driver;
CABLE *g_cables[CABLE_MAX_COM + 1];

static PDEVICE_OBJECT g_control;
static ULONG g_generation;

/* A gone port's \??\COMn link, kept until a passive-level caller can drop it (a hang-up can
 * happen in the timer's DPC). */
typedef struct STALE_LINK {
    LIST_ENTRY entry;
    WCHAR name[24];
} STALE_LINK;
static LIST_ENTRY g_staleLinks;

NTSTATUS CableComplete(PIRP irp, NTSTATUS status, ULONG_PTR information)
{
    CABLE_PORT *port = (CABLE_PORT *)IoGetCurrentIrpStackLocation(irp)->DeviceObject->DeviceExtension;
    UCHAR major = IoGetCurrentIrpStackLocation(irp)->MajorFunction;
    irp->IoStatus.Status = status;
    irp->IoStatus.Information = information;
    if (!port->isControl && port->openDueUs && major != IRP_MJ_CLEANUP && major != IRP_MJ_CLOSE) {
        BOOLEAN held;
        KIRQL irql;
        KeAcquireSpinLock(&g_lock, &irql);
        held = CableHeldByOpen(port, irp, CableNowUs());
        KeReleaseSpinLock(&g_lock, irql);
        if (held)
            return STATUS_PENDING;
    }
    IoCompleteRequest(irp, IO_NO_INCREMENT);
    return status;
}

static void FormatNumber(WCHAR *out, ULONG value)
{
    WCHAR digits[12];
    int count = 0;
    do {
        digits[count++] = (WCHAR)(L'0' + value % 10);
        value /= 10;
    } while (value);
    while (count)
        *out++ = digits[--count];
    *out = 0;
}

static void Concat(WCHAR *out, const WCHAR *head, ULONG number, const WCHAR *tail)
{
    while (*head)
        *out++ = *head++;
    FormatNumber(out, number);
    while (*out)
        ++out;
    while (tail && *tail)
        *out++ = *tail++;
    *out = 0;
}

NTSTATUS CableCreatePort(CABLE *cable)
{
    WCHAR deviceName[64], generation[16];
    UNICODE_STRING device, link;
    PDEVICE_OBJECT object;
    CABLE_PORT *port;
    NTSTATUS status;
    KIRQL irql;

    /* A port that went with handles open keeps its device until they close; a new one
     * needs a name of its own. */
    FormatNumber(generation, InterlockedIncrement((LONG *)&g_generation));
    Concat(deviceName, L"\\Device\\SelftestCableCom", cable->number, L"_");
    {
        WCHAR *end = deviceName;
        const WCHAR *from = generation;
        while (*end)
            ++end;
        while (*from)
            *end++ = *from++;
        *end = 0;
    }
    RtlInitUnicodeString(&device, deviceName);
    status = IoCreateDevice(g_driver, sizeof(CABLE_PORT), &device, FILE_DEVICE_SERIAL_PORT,
                            FILE_DEVICE_SECURE_OPEN, FALSE, &object);
    if (!NT_SUCCESS(status))
        return status;
    port = (CABLE_PORT *)object->DeviceExtension;
    RtlZeroMemory(port, sizeof(*port));
    port->device = object;
    port->number = cable->number;
    InitializeListHead(&port->reads);
    InitializeListHead(&port->writes);
    InitializeListHead(&port->flushes);
    port->kind = cable->kind;
    CableSerialDefaults(port);
    Concat(port->linkName, L"\\??\\COM", cable->number, NULL);
    RtlInitUnicodeString(&link, port->linkName);
    CableReleaseLinks();
    status = IoCreateSymbolicLink(&link, &device);
    if (!NT_SUCCESS(status)) {
        IoDeleteDevice(object);
        return status;
    }
    port->linked = TRUE;
    object->Flags |= DO_BUFFERED_IO;
    object->Flags &= ~DO_DEVICE_INITIALIZING;

    KeAcquireSpinLock(&g_lock, &irql);
    port->cable = cable;
    port->cableId = cable->id;
    cable->port = port;
    KeReleaseSpinLock(&g_lock, irql);
    return STATUS_SUCCESS;
}

/* Under g_lock: the cable is pulled from this port. Every pending request fails, and so will
 * every later one on a handle still open; the device itself goes with its last handle. */
void CableDetachPort(CABLE_PORT *port, LIST_ENTRY *done)
{
    CableNoteSettings(port);
    if (port->cable) {
        port->cable->port = NULL;
        port->cable->staleOpens += port->opens;
    }
    port->cable = NULL;
    port->removed = TRUE;
    /* A sticky wait outlives the pull, out of reach of CancelIo too. */
    if (port->kind.stickyWait && port->wait && IoSetCancelRoutine(port->wait, NULL) != NULL) {
        PIRP wait = port->wait;
        port->wait = NULL;
        CableFailAll(port, CableRemovedStatus(port), done);
        port->wait = wait;
        port->waitSticky = TRUE;
    } else {
        CableFailAll(port, CableRemovedStatus(port), done);
    }
    if (port->linked) {
        STALE_LINK *stale = ExAllocatePoolWithTag(NonPagedPool, sizeof(STALE_LINK), CABLE_POOL_TAG);
        if (stale) {
            RtlCopyMemory(stale->name, port->linkName, sizeof(stale->name));
            InsertTailList(&g_staleLinks, &stale->entry);
        }
        port->linked = FALSE;
    }
}

void CableReleaseLinks(void)
{
    for (;;) {
        STALE_LINK *stale = NULL;
        UNICODE_STRING link;
        KIRQL irql;
        KeAcquireSpinLock(&g_lock, &irql);
        if (!IsListEmpty(&g_staleLinks))
            stale = CONTAINING_RECORD(RemoveHeadList(&g_staleLinks), STALE_LINK, entry);
        KeReleaseSpinLock(&g_lock, irql);
        if (!stale)
            return;
        RtlInitUnicodeString(&link, stale->name);
        IoDeleteSymbolicLink(&link);
        ExFreePoolWithTag(stale, CABLE_POOL_TAG);
    }
}

/* Under g_lock: a handle on a port that its cable was pulled from is closed. A cable removed
 * meanwhile took its count with it, and a newer one on the number counts only its own. */
void CableLetGo(const CABLE_PORT *port)
{
    CABLE *cable = g_cables[port->number];
    if (cable && cable->id == port->cableId && cable->staleOpens > 0)
        --cable->staleOpens;
}

static NTSTATUS DispatchCreate(PDEVICE_OBJECT device, PIRP irp)
{
    CABLE_PORT *port = (CABLE_PORT *)device->DeviceExtension;
    IO_STACK_LOCATION *stack;
    NTSTATUS status;
    if (port->isControl)
        return CableComplete(irp, STATUS_SUCCESS, 0);
    /* Wine's driver host leaves FO_SYNCHRONOUS_IO clear; the create options say it. */
    stack = IoGetCurrentIrpStackLocation(irp);
    status = CableSerialCreate(port, stack->FileObject, (stack->Parameters.Create.Options &
                               (FILE_SYNCHRONOUS_IO_ALERT | FILE_SYNCHRONOUS_IO_NONALERT)) != 0);
    /* A slow open: the open and whatever the handle asks meanwhile complete when it is done. */
    return CableComplete(irp, status, 0);
}

static NTSTATUS DispatchCleanup(PDEVICE_OBJECT device, PIRP irp)
{
    CABLE_PORT *port = (CABLE_PORT *)device->DeviceExtension;
    if (!port->isControl)
        CableSerialCleanup(port, IoGetCurrentIrpStackLocation(irp)->FileObject);
    return CableComplete(irp, STATUS_SUCCESS, 0);
}

static NTSTATUS DispatchClose(PDEVICE_OBJECT device, PIRP irp)
{
    CABLE_PORT *port = (CABLE_PORT *)device->DeviceExtension;
    BOOLEAN last = FALSE, slow, owned;
    KIRQL irql;

    if (port->isControl)
        return CableComplete(irp, STATUS_SUCCESS, 0);
    /* Wine may send no cleanup request of its own before the close. */
    owned = CableSerialCleanup(port, IoGetCurrentIrpStackLocation(irp)->FileObject);
    KeAcquireSpinLock(&g_lock, &irql);
    if (port->handles > 0)
        --port->handles;
    last = port->removed && port->handles == 0;
    slow = last && port->kind.slowCloseMs;
    if (owned) {
        port->owner = NULL;
        --port->opens;
        /* A slow close still holds the pulled port until it is done (CableCompleteDue). */
        if (port->removed && !slow)
            CableLetGo(port);
    }
    if (slow) {
        /* A pulled port that takes its time to let go of its last handle, and its device. */
        irp->IoStatus.Status = STATUS_SUCCESS;
        irp->IoStatus.Information = 0;
        irp->Tail.Overlay.DriverContext[3] = (PVOID)(ULONG_PTR)owned;
        CableCompleteLater(irp, CableNowUs() + (LONGLONG)port->kind.slowCloseMs * 1000, TRUE);
        KeReleaseSpinLock(&g_lock, irql);
        CableReleaseLinks();
        return STATUS_PENDING;
    }
    KeReleaseSpinLock(&g_lock, irql);
    CableComplete(irp, STATUS_SUCCESS, 0);
    CableReleaseLinks();
    if (last)
        IoDeleteDevice(device);
    return STATUS_SUCCESS;
}

static NTSTATUS DispatchRead(PDEVICE_OBJECT device, PIRP irp)
{
    CABLE_PORT *port = (CABLE_PORT *)device->DeviceExtension;
    if (port->isControl)
        return CableComplete(irp, STATUS_INVALID_DEVICE_REQUEST, 0);
    return CableSerialRead(port, irp);
}

static NTSTATUS DispatchWrite(PDEVICE_OBJECT device, PIRP irp)
{
    CABLE_PORT *port = (CABLE_PORT *)device->DeviceExtension;
    if (port->isControl)
        return CableComplete(irp, STATUS_INVALID_DEVICE_REQUEST, 0);
    return CableSerialWrite(port, irp);
}

static NTSTATUS DispatchControl(PDEVICE_OBJECT device, PIRP irp)
{
    CABLE_PORT *port = (CABLE_PORT *)device->DeviceExtension;
    if (port->isControl)
        return CableControl(irp);
    return CableSerialControl(port, irp);
}

static NTSTATUS DispatchFlush(PDEVICE_OBJECT device, PIRP irp)
{
    CABLE_PORT *port = (CABLE_PORT *)device->DeviceExtension;
    if (port->isControl)
        return CableComplete(irp, STATUS_INVALID_DEVICE_REQUEST, 0);
    return CableSerialFlush(port, irp);
}

static void DriverUnload(PDRIVER_OBJECT driver)
{
    UNICODE_STRING link;
    (void)driver;
    CableRemoveAll();
    CableTimingStop();
    CableReleaseLinks();
    RtlInitUnicodeString(&link, CABLE_CONTROL_LINK);
    IoDeleteSymbolicLink(&link);
    if (g_control)
        IoDeleteDevice(g_control);
}

NTSTATUS DriverEntry(PDRIVER_OBJECT driver, PUNICODE_STRING registryPath)
{
    UNICODE_STRING device, link;
    NTSTATUS status;
    (void)registryPath;

    g_driver = driver;
    KeInitializeSpinLock(&g_lock);
    InitializeListHead(&g_staleLinks);
    CableFaultsInit();
    driver->MajorFunction[IRP_MJ_CREATE] = DispatchCreate;
    driver->MajorFunction[IRP_MJ_CLEANUP] = DispatchCleanup;
    driver->MajorFunction[IRP_MJ_CLOSE] = DispatchClose;
    driver->MajorFunction[IRP_MJ_READ] = DispatchRead;
    driver->MajorFunction[IRP_MJ_WRITE] = DispatchWrite;
    driver->MajorFunction[IRP_MJ_DEVICE_CONTROL] = DispatchControl;
    driver->MajorFunction[IRP_MJ_FLUSH_BUFFERS] = DispatchFlush;
    driver->DriverUnload = DriverUnload;

    RtlInitUnicodeString(&device, CABLE_CONTROL_DEVICE);
    status = IoCreateDevice(driver, sizeof(CABLE_PORT), &device, FILE_DEVICE_UNKNOWN,
                            FILE_DEVICE_SECURE_OPEN, FALSE, &g_control);
    if (!NT_SUCCESS(status))
        return status;
    RtlZeroMemory(g_control->DeviceExtension, sizeof(CABLE_PORT));
    ((CABLE_PORT *)g_control->DeviceExtension)->isControl = TRUE;
    ((CABLE_PORT *)g_control->DeviceExtension)->device = g_control;
    RtlInitUnicodeString(&link, CABLE_CONTROL_LINK);
    status = IoCreateSymbolicLink(&link, &device);
    if (!NT_SUCCESS(status)) {
        IoDeleteDevice(g_control);
        g_control = NULL;
        return status;
    }
    g_control->Flags |= DO_BUFFERED_IO;
    g_control->Flags &= ~DO_DEVICE_INITIALIZING;
    CableTimingInit(g_control);
    return STATUS_SUCCESS;
}
