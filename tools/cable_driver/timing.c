/* The line: one periodic timer, running while any port has bytes on the line or a request
 * with a time-out, moves each port's transmit buffer onto the wire at the line setting (start,
 * data, parity and stop bits of each byte), applies the cable's faults at the far end, brings
 * the echo back into the receive queue, and ends reads and writes whose SERIAL_TIMEOUTS ran out. */
#include "cable.h"

#define NEVER 0

static KTIMER g_timer;
static KDPC g_dpc;
static BOOLEAN g_running, g_stopping;
static PIO_WORKITEM g_stopItem;
static LARGE_INTEGER g_frequency;

LONGLONG CableNowUs(void)
{
    /* KeQueryInterruptTime reads the kernel's shared page, which a driver hosted in a user
     * process does not have. */
    LARGE_INTEGER counter = KeQueryPerformanceCounter(NULL);
    return counter.QuadPart / g_frequency.QuadPart * 1000000 +
           counter.QuadPart % g_frequency.QuadPart * 1000000 / g_frequency.QuadPart;
}

static ULONG BitsPerByte(CABLE_PORT *port)
{
    ULONG stop = port->line.StopBits == STOP_BIT_1 ? 2 : 4; /* in half bits */
    return 2 * (1 + port->line.WordLength + (port->line.Parity == NO_PARITY ? 0 : 1)) + stop;
}

static BOOLEAN Corrupted(CABLE *cable, ULONGLONG offset)
{
    ULONG i;
    for (i = 0; i < cable->corruptCount; ++i)
        if (cable->corrupt[i] == offset)
            return TRUE;
    return FALSE;
}

/* The plug at the far end receives one byte and sends back what the faults leave of it. */
static void FarEnd(CABLE_PORT *port, UCHAR byte, LONGLONG nowUs)
{
    CABLE *cable = port->cable;
    ULONGLONG offset = cable->bytesIn++;
    ULONG slot;

    if (cable->recordCount < CABLE_RECORD_SIZE)
        cable->record[cable->recordCount++] = byte;
    if (cable->noecho || (cable->echoOnly >= 0 && offset >= (ULONGLONG)cable->echoOnly))
        return;
    if (Corrupted(cable, offset))
        byte ^= 0xFF;
    /* A receiver at another rate samples the wrong bits of every frame. */
    if (cable->mismatch && cable->mismatch != port->baud.BaudRate)
        byte ^= 0x55;
    if (port->flightCount == CABLE_FLIGHT_SIZE)
        return;
    slot = (port->flightHead + port->flightCount) % CABLE_FLIGHT_SIZE;
    port->flight[slot] = byte;
    port->flightDueUs[slot] = nowUs + (LONGLONG)cable->delayMs * 1000;
    ++port->flightCount;
}

/* Moves the bytes whose frames have ended from the transmit buffer to the far end. */
static void Transmit(CABLE_PORT *port, LONGLONG nowUs)
{
    CABLE *cable = port->cable;
    ULONGLONG due;
    ULONG count;

    if (cable->stall || port->txCount == 0) {
        port->lineBusy = FALSE;
        return;
    }
    if (!cable->pacing) {
        count = port->txCount;
    } else {
        if (!port->lineBusy) {
            port->lineBusy = TRUE;
            port->lineStartUs = nowUs;
            port->lineSent = 0;
        }
        due = (ULONGLONG)(nowUs - port->lineStartUs) * CableLineRate(port) * 2 / (BitsPerByte(port) * 1000000ULL);
        count = (ULONG)min(due - min(due, port->lineSent), (ULONGLONG)port->txCount);
        port->lineSent += count;
    }
    /* Room in the flight queue is what the plug can hold; the line waits for the rest. */
    count = min(count, CABLE_FLIGHT_SIZE - port->flightCount);
    while (count--) {
        /* The cable goes after exactly this many bytes; the rest never leaves. */
        if (cable->hangupAfter >= 0 && cable->bytesIn >= (ULONGLONG)cable->hangupAfter)
            break;
        FarEnd(port, port->tx[port->txHead], nowUs);
        port->txHead = (port->txHead + 1) % CABLE_TX_SIZE;
        --port->txCount;
    }
    if (port->txCount == 0)
        port->lineBusy = FALSE;
}

/* Echoed bytes that are due join the receive queue: byte by byte, or through the device's
 * packets on a flavour that sends them so. */
static ULONG Receive(CABLE_PORT *port, LONGLONG nowUs, ULONG *events, LIST_ENTRY *done)
{
    BOOLEAN packets = CableFlavour(port)->rxPacket != 0;
    ULONG arrived = 0;
    while (port->flightCount && port->flightDueUs[port->flightHead] <= nowUs) {
        UCHAR byte = port->flight[port->flightHead];
        port->flightHead = (port->flightHead + 1) % CABLE_FLIGHT_SIZE;
        --port->flightCount;
        if (port->rxCount + port->deviceCount >= port->rxCapacity) {
            port->errors |= SERIAL_ERROR_QUEUEOVERRUN;
            *events |= SERIAL_EV_ERR;
            continue;
        }
        ++port->cable->bytesOut;
        if (packets) {
            CableBridgeTake(port, byte, nowUs);
            continue;
        }
        port->rx[(port->rxHead + port->rxCount) % CABLE_RX_SIZE] = byte;
        ++port->rxCount;
        ++arrived;
        *events |= SERIAL_EV_RXCHAR;
        if (byte == port->chars.EventChar)
            *events |= SERIAL_EV_RXFLAG;
    }
    if (packets)
        CableBridgeDeliver(port, nowUs, done);
    return arrived;
}

static void Expire(CABLE_PORT *port, LONGLONG nowUs, LIST_ENTRY *done)
{
    if (!IsListEmpty(&port->reads) && port->readHeadStarted) {
        BOOLEAN total = port->readTotalDueUs != NEVER && nowUs >= port->readTotalDueUs;
        BOOLEAN interval = port->readIntervalUs && port->readDone > 0 &&
                           nowUs - port->readLastByteUs >= port->readIntervalUs;
        if (total || interval) {
            CableFinishHead(&port->reads, &port->readDone, &port->readHeadStarted, CABLE_STATUS_TIMED_OUT, done);
            CableServeReads(port, nowUs, done);
        }
    }
    if (!IsListEmpty(&port->writes) && port->writeHeadStarted && port->writeTotalDueUs != NEVER &&
        nowUs >= port->writeTotalDueUs) {
        /* A write that ends on the line ends with what went out; the rest of it does not go. */
        if (CableFlavour(port)->writeEnd == CABLE_WRITE_ON_THE_LINE) {
            port->writeDone -= min(port->writeDone, port->txCount);
            port->txHead = port->txCount = 0;
            port->lineBusy = FALSE;
        }
        CableFinishWrite(port, CABLE_STATUS_TIMED_OUT, nowUs, done);
        CableServeWrites(port, nowUs, done);
    }
}

/* Whether the transmitter has nothing left to send since the last EV_TXEMPTY, as the flavour's
 * driver sees it. */
static BOOLEAN TransmitterEmptied(CABLE_PORT *port)
{
    return port->txPending && IsListEmpty(&port->writes) &&
           (CableFlavour(port)->txEmpty == CABLE_TX_EMPTY_HANDED_OVER || port->txCount == 0);
}

/* Under g_lock: everything due on one port up to now. */
void CableService(CABLE_PORT *port, LONGLONG nowUs, LIST_ENTRY *done)
{
    CABLE *cable = port->cable;
    ULONG events = 0;

    if (!cable || port->removed)
        return;
    Transmit(port, nowUs);
    CableServeWrites(port, nowUs, done);
    Transmit(port, nowUs);
    CableServeWrites(port, nowUs, done);
    CableServeFlushes(port, done);
    if (cable->hangupAfter >= 0 && cable->bytesIn >= (ULONGLONG)cable->hangupAfter) {
        cable->hangupAfter = -1;
        CableDetachPort(port, done);
        return;
    }
    if (TransmitterEmptied(port) && nowUs >= port->txEmptyDueUs) {
        port->txPending = FALSE;
        events |= SERIAL_EV_TXEMPTY;
    }
    if (Receive(port, nowUs, &events, done))
        CableServeReads(port, nowUs, done);
    CableRaiseEvents(port, events, done);
    Expire(port, nowUs, done);
}

static BOOLEAN Busy(CABLE_PORT *port)
{
    if (!port || port->removed)
        return FALSE;
    return (port->txCount && !port->cable->stall) || port->flightCount || port->deviceCount || TransmitterEmptied(port) ||
           (!IsListEmpty(&port->reads) && (port->readTotalDueUs != NEVER || port->readIntervalUs)) ||
           (!IsListEmpty(&port->writes) && port->writeTotalDueUs != NEVER) || !IsListEmpty(&port->flushes);
}

static BOOLEAN AnyBusy(void)
{
    ULONG number;
    if (CableAnyLater())
        return TRUE;
    for (number = 1; number <= CABLE_MAX_COM; ++number)
        if (g_cables[number] && Busy(g_cables[number]->port))
            return TRUE;
    return FALSE;
}

/* A timer's DPC cannot cancel its own timer under Wine (the cancel waits for the running
 * callback), so an idle line is stopped from a work item, outside the DPC and the lock. */
static void StopIdleTimer(PDEVICE_OBJECT device, PVOID context)
{
    LARGE_INTEGER first;
    KIRQL irql;
    (void)device, (void)context;

    KeCancelTimer(&g_timer);
    KeAcquireSpinLock(&g_lock, &irql);
    g_stopping = FALSE;
    if (AnyBusy()) {
        /* Work came while the timer stopped; no callback is in flight now. */
        first.QuadPart = -10000LL * CABLE_TICK_MS;
        KeSetTimerEx(&g_timer, first, CABLE_TICK_MS, &g_dpc);
    } else {
        g_running = FALSE;
    }
    KeReleaseSpinLock(&g_lock, irql);
}

static void TimerDpc(PKDPC dpc, PVOID context, PVOID arg1, PVOID arg2)
{
    LONGLONG nowUs = CableNowUs();
    LIST_ENTRY done, due;
    ULONG number;
    KIRQL irql;
    (void)dpc, (void)context, (void)arg1, (void)arg2;

    InitializeListHead(&done);
    InitializeListHead(&due);
    KeAcquireSpinLock(&g_lock, &irql);
    for (number = 1; number <= CABLE_MAX_COM; ++number)
        if (g_cables[number] && g_cables[number]->port)
            CableService(g_cables[number]->port, nowUs, &done);
    CableTakeDue(nowUs, &due);
    if (!AnyBusy() && !g_stopping && g_stopItem) {
        g_stopping = TRUE;
        IoQueueWorkItem(g_stopItem, StopIdleTimer, DelayedWorkQueue, NULL);
    }
    KeReleaseSpinLock(&g_lock, irql);
    CableCompleteList(&done);
    CableCompleteDue(&due);
}

void CableKick(void)
{
    LARGE_INTEGER first;
    if (g_running || !AnyBusy())
        return;
    g_running = TRUE;
    first.QuadPart = -10000LL * CABLE_TICK_MS;
    KeSetTimerEx(&g_timer, first, CABLE_TICK_MS, &g_dpc);
}

void CableTimingInit(PDEVICE_OBJECT device)
{
    g_stopItem = IoAllocateWorkItem(device);
    KeQueryPerformanceCounter(&g_frequency);
    if (g_frequency.QuadPart == 0)
        g_frequency.QuadPart = 1;
    KeInitializeTimerEx(&g_timer, NotificationTimer);
    KeInitializeDpc(&g_dpc, TimerDpc, NULL);
}

void CableTimingStop(void)
{
    KeCancelTimer(&g_timer);
    g_running = FALSE;
    if (g_stopItem)
        IoFreeWorkItem(g_stopItem);
    g_stopItem = NULL;
}

/* A read's time-outs start when it becomes the head of the queue, as documented for
 * SERIAL_TIMEOUTS: a total of multiplier times length plus constant, and an interval
 * between two bytes counted from the first one received. MAXULONG as the interval with no
 * total means return at once with what is there; with both multipliers MAXULONG, return as
 * soon as one byte is there or when the constant runs out. */
void CableStartReadTimers(CABLE_PORT *port, PIRP irp, LONGLONG nowUs)
{
    SERIAL_TIMEOUTS *t = &port->timeouts;
    ULONG length = IoGetCurrentIrpStackLocation(irp)->Parameters.Read.Length;
    ULONGLONG totalMs;

    port->readHeadStarted = TRUE;
    port->readDone = 0;
    port->readLastByteUs = nowUs;
    port->readFirstByteEnds = FALSE;
    port->readImmediate = FALSE;
    port->readIntervalUs = 0;
    port->readTotalDueUs = NEVER;
    if (t->ReadIntervalTimeout == MAXULONG && t->ReadTotalTimeoutMultiplier == 0 &&
        t->ReadTotalTimeoutConstant == 0) {
        port->readFirstByteEnds = TRUE;
        port->readImmediate = TRUE; /* whatever is there now, even nothing */
        return;
    }
    if (t->ReadIntervalTimeout == MAXULONG && t->ReadTotalTimeoutMultiplier == MAXULONG) {
        port->readFirstByteEnds = TRUE;
        port->readTotalDueUs = nowUs + (LONGLONG)t->ReadTotalTimeoutConstant * 1000;
        return;
    }
    totalMs = (ULONGLONG)t->ReadTotalTimeoutMultiplier * length + t->ReadTotalTimeoutConstant;
    if (totalMs)
        port->readTotalDueUs = nowUs + (LONGLONG)totalMs * 1000;
    if (t->ReadIntervalTimeout && t->ReadIntervalTimeout != MAXULONG)
        port->readIntervalUs = (LONGLONG)t->ReadIntervalTimeout * 1000;
}

void CableStartWriteTimers(CABLE_PORT *port, PIRP irp, LONGLONG nowUs)
{
    SERIAL_TIMEOUTS *t = &port->timeouts;
    ULONG length = IoGetCurrentIrpStackLocation(irp)->Parameters.Write.Length;
    ULONGLONG totalMs = (ULONGLONG)t->WriteTotalTimeoutMultiplier * length + t->WriteTotalTimeoutConstant;

    port->writeHeadStarted = TRUE;
    port->writeDone = 0;
    port->writeTotalDueUs = totalMs ? nowUs + (LONGLONG)totalMs * 1000 : NEVER;
}
