/* The rig's requests on the control device: cables added and removed by COM number, their
 * fault modes, and what they saw, the line settings chosen among it. One text line in, one
 * line out, in the pty cable server's words (cable_ioctl.h). */
#include "cable.h"

static LONG g_cableIds;

/* ---- line settings as the rig reports them ---------------------------------------------- */

/* Under g_lock: the setting in force joins the cable's history when it differs from the last
 * one noted. Noted when data flows, at close and when the rig asks, so that the several
 * requests of one SetCommState make one entry. */
void CableNoteSettings(CABLE_PORT *port)
{
    static const char parities[] = "NOEMS";
    char label[40];
    CABLE_REPLY text = { label, label + sizeof(label) };
    BOOLEAN rtscts = (port->handflow.ControlHandShake & SERIAL_CTS_HANDSHAKE) != 0;
    BOOLEAN xon = (port->handflow.FlowReplace & (SERIAL_AUTO_TRANSMIT | SERIAL_AUTO_RECEIVE)) != 0;
    CABLE *cable = port->cable;
    char parity[2] = { parities[port->line.Parity <= 4 ? port->line.Parity : 0], 0 };
    CABLE_REPLY history;

    if (!cable)
        return;
    CableSayNumber(&text, port->baud.BaudRate);
    CableSay(&text, "-");
    CableSayNumber(&text, port->line.WordLength);
    CableSay(&text, parity);
    CableSayNumber(&text, port->line.StopBits == STOP_BITS_2 ? 2 : 1);
    CableSay(&text, rtscts && xon ? "-both" : rtscts ? "-rtscts" : xon ? "-xonxoff" : "-none");
    port->settingsChanged = FALSE;
    cable->baud = port->baud.BaudRate;
    cable->lineBaud = CableLineRate(port);
    cable->bits = port->line.WordLength;
    cable->parity = parity[0];
    cable->stop = port->line.StopBits == STOP_BITS_2 ? 2 : 1;
    cable->rtscts = rtscts;
    cable->ixon = (port->handflow.FlowReplace & SERIAL_AUTO_TRANSMIT) != 0;
    cable->ixoff = (port->handflow.FlowReplace & SERIAL_AUTO_RECEIVE) != 0;
    if (!strcmp(label, cable->lastLabel))
        return;
    RtlCopyMemory(cable->lastLabel, label, sizeof(label));
    history.at = cable->history;
    history.end = cable->history + sizeof(cable->history);
    while (*history.at)
        ++history.at;
    if (history.at != cable->history)
        CableSay(&history, ",");
    CableSay(&history, label);
}

static BOOLEAN Offsets(char *text, CABLE *cable)
{
    ULONG count = 0;
    if (CableSame(text, "none")) {
        cable->corruptCount = 0;
        return TRUE;
    }
    while (*text) {
        char *comma = text;
        ULONG value;
        while (*comma && *comma != ',')
            ++comma;
        if (*comma)
            *comma++ = 0;
        if (*text) {
            if (!CableNumber(text, &value) || count == CABLE_CORRUPT_MAX)
                return FALSE;
            cable->corrupt[count++] = value;
        }
        text = comma;
    }
    if (!count)
        return FALSE;
    cable->corruptCount = count;
    return TRUE;
}

/* ---- the requests ----------------------------------------------------------------------- */

static void ResetCable(CABLE *cable)
{
    cable->pacing = TRUE;
    cable->noecho = cable->stall = FALSE;
    cable->corruptCount = 0;
    cable->echoOnly = -1;
    cable->delayMs = 0;
    cable->hangupAfter = -1;
    cable->mismatch = 0;
}

/* Under g_lock: one fault mode or one line request on a cable. NULL when it is done. */
static const char *CableRequest(CABLE *cable, char **words, int count, LIST_ENTRY *done)
{
    const char *verb = words[0];
    BOOLEAN flag;
    LONG value;

    if (count == 2 && CableSame(verb, "pacing") && CableOnOff(words[1], &flag))
        cable->pacing = flag;
    else if (count == 2 && CableSame(verb, "noecho") && CableOnOff(words[1], &flag))
        cable->noecho = flag;
    else if (count == 2 && CableSame(verb, "stall") && CableOnOff(words[1], &flag))
        cable->stall = flag;
    else if (count == 2 && CableSame(verb, "corrupt")) {
        if (!Offsets(words[1], cable))
            return "expected offsets or none";
    } else if (count == 2 && CableSame(verb, "echo-only") && CableCountOrNone(words[1], &value))
        cable->echoOnly = value;
    else if (count == 2 && CableSame(verb, "delay") && CableCountOrNone(words[1], &value))
        cable->delayMs = value < 0 ? 0 : (ULONG)value;
    else if (count == 2 && CableSame(verb, "mismatch") && CableCountOrNone(words[1], &value))
        cable->mismatch = value < 0 ? 0 : (ULONG)value;
    else if (count == 2 && CableSame(verb, "hangup-after") && CableCountOrNone(words[1], &value)) {
        cable->hangupAfter = value;
        if (value >= 0 && cable->bytesIn >= (ULONGLONG)value) {
            cable->hangupAfter = -1;
            if (cable->port)
                CableDetachPort(cable->port, done);
        }
    } else if (count == 1 && CableSame(verb, "hangup")) {
        if (cable->port)
            CableDetachPort(cable->port, done);
    } else if (count == 1 && CableSame(verb, "flush")) {
        CABLE_PORT *port = cable->port;
        if (port) {
            port->txHead = port->txCount = 0;
            port->flightHead = port->flightCount = 0;
            port->rxHead = port->rxCount = port->deviceCount = 0;
            port->lineBusy = FALSE;
        }
    } else if (count == 1 && CableSame(verb, "reset")) {
        /* The history starts again with the setting in force. */
        ResetCable(cable);
        cable->bytesIn = cable->bytesOut = 0;
        cable->recordCount = 0;
        RtlCopyMemory(cable->history, cable->lastLabel, sizeof(cable->lastLabel));
        if (cable->port)
            CableNoteSettings(cable->port);
    } else {
        return "unknown or malformed request";
    }
    if (cable->port) {
        CableService(cable->port, CableNowUs(), done);
        CableKick();
    }
    return NULL;
}

static void Stats(CABLE *cable, CABLE_REPLY *reply)
{
    if (cable->port)
        CableNoteSettings(cable->port);
    CableSayField(reply, "baud", cable->baud);
    CableSayField(reply, "line", cable->lineBaud);
    CableSayField(reply, "bits", cable->bits);
    CableSay(reply, " parity=");
    CableSay(reply, cable->parity ? (char[2]){ cable->parity, 0 } : "N");
    CableSayField(reply, "stop", cable->stop);
    CableSayField(reply, "rtscts", cable->rtscts);
    CableSayField(reply, "ixon", cable->ixon);
    CableSayField(reply, "ixoff", cable->ixoff);
    CableSayField(reply, "in", cable->bytesIn);
    CableSayField(reply, "out", cable->bytesOut);
    CableSayField(reply, "hungup", cable->port == NULL);
    CableSayField(reply, "plain", cable->plain);
    CableSay(reply, " flavour=");
    CableSay(reply, cable->kind.flavour->name);
    CableSaySwitches(&cable->kind, reply);
    CableSay(reply, " settings=");
    CableSay(reply, cable->history);
}

static void Record(CABLE *cable, CABLE_REPLY *reply)
{
    static const char hex[] = "0123456789abcdef";
    ULONG i;
    CableSay(reply, " ");
    for (i = 0; i < cable->recordCount && reply->at + 2 < reply->end; ++i) {
        *reply->at++ = hex[cable->record[i] >> 4];
        *reply->at++ = hex[cable->record[i] & 15];
    }
    *reply->at = 0;
}

/* ---- adding a cable --------------------------------------------------------------------- */

/* One option of `add` at `words`: how many words it took, 0 when it is unknown or malformed. */
static int Option(CABLE *cable, char **words, int count)
{
    const char *option = words[0], *argument = count > 1 ? words[1] : "";
    const CABLE_FLAVOUR_TRAITS *flavour;
    ULONG value;
    int taken;

    if (CableSame(option, "--plain"))
        return cable->plain = TRUE, 1;
    if (CableSame(option, "--instant"))
        return cable->pacing = FALSE, 1;
    if (CableSame(option, "--noecho"))
        return cable->noecho = TRUE, 1;
    if (CableSame(option, "--stall"))
        return cable->stall = TRUE, 1;
    if (CableSame(option, "--corrupt"))
        return count > 1 && Offsets(words[1], cable) ? 2 : 0;
    if (CableSame(option, "--flavour")) {
        for (flavour = g_flavours; flavour->name; ++flavour)
            if (CableSame(argument, flavour->name))
                return cable->kind.flavour = flavour, 2;
        return 0;
    }
    if ((taken = CableTakeSwitch(&cable->kind, words, count)) != 0)
        return taken;
    if (!CableNumber(argument, &value))
        return 0;
    if (CableSame(option, "--echo-only"))
        return cable->echoOnly = (LONG)value, 2;
    if (CableSame(option, "--delay"))
        return cable->delayMs = value, 2;
    if (CableSame(option, "--hangup-after"))
        return cable->hangupAfter = (LONG)value, 2;
    if (CableSame(option, "--mismatch"))
        return cable->mismatch = value, 2;
    return 0;
}

/* `add N [options]`: at passive level, since it creates a device. */
static const char *Add(char **words, int count, CABLE_REPLY *reply)
{
    CABLE *cable;
    ULONG number;
    NTSTATUS status;
    KIRQL irql;
    int i, taken;

    if (count < 1 || !CableComNumber(words[0], &number))
        return "expected a COM number";
    cable = ExAllocatePoolWithTag(NonPagedPool, sizeof(CABLE), CABLE_POOL_TAG);
    if (!cable)
        return "out of memory";
    RtlZeroMemory(cable, sizeof(*cable));
    cable->number = number;
    cable->id = (ULONG)InterlockedIncrement(&g_cableIds);
    cable->kind.flavour = &g_flavours[0];
    CableSwitchDefaults(&cable->kind);
    ResetCable(cable);
    for (i = 1; i < count; i += taken) {
        if ((taken = Option(cable, words + i, count - i)) == 0) {
            ExFreePoolWithTag(cable, CABLE_POOL_TAG);
            return "unknown or malformed option";
        }
    }
    KeAcquireSpinLock(&g_lock, &irql);
    if (g_cables[number]) {
        KeReleaseSpinLock(&g_lock, irql);
        ExFreePoolWithTag(cable, CABLE_POOL_TAG);
        return "the cable exists";
    }
    g_cables[number] = cable;
    KeReleaseSpinLock(&g_lock, irql);
    status = CableCreatePort(cable);
    if (!NT_SUCCESS(status)) {
        KeAcquireSpinLock(&g_lock, &irql);
        g_cables[number] = NULL;
        KeReleaseSpinLock(&g_lock, irql);
        ExFreePoolWithTag(cable, CABLE_POOL_TAG);
        return "cannot create the port device";
    }
    KeAcquireSpinLock(&g_lock, &irql);
    CableNoteSettings(cable->port);
    KeReleaseSpinLock(&g_lock, irql);
    CableSay(reply, " com");
    CableSayNumber(reply, number);
    CableSay(reply, cable->plain ? " plain" : " maker");
    CableSay(reply, " ");
    CableSay(reply, cable->kind.flavour->name);
    return NULL;
}

/* What a change to a cable leaves to do once the lock is let go: the requests it ended, the
   links it dropped and the device that no handle holds any more. */
static void FinishUnlocked(KIRQL irql, LIST_ENTRY *done, PDEVICE_OBJECT unused)
{
    KeReleaseSpinLock(&g_lock, irql);
    CableCompleteList(done);
    CableReleaseLinks();
    if (unused)
        IoDeleteDevice(unused);
}

/* Removes one cable; an open port fails from now on and goes with its last handle. */
static BOOLEAN Remove(ULONG number)
{
    LIST_ENTRY done;
    CABLE *cable;
    PDEVICE_OBJECT unused = NULL;
    KIRQL irql;

    InitializeListHead(&done);
    KeAcquireSpinLock(&g_lock, &irql);
    cable = g_cables[number];
    if (cable) {
        g_cables[number] = NULL;
        if (cable->port) {
            CABLE_PORT *port = cable->port;
            CableDetachPort(port, &done);
            if (port->handles == 0)
                unused = port->device;
        }
    }
    FinishUnlocked(irql, &done, unused);
    if (cable)
        ExFreePoolWithTag(cable, CABLE_POOL_TAG);
    return cable != NULL;
}

void CableRemoveAll(void)
{
    ULONG number;
    for (number = 1; number <= CABLE_MAX_COM; ++number)
        Remove(number);
}

static const char *Command(char *line, CABLE_REPLY *reply)
{
    char *words[CABLE_MAX_WORDS];
    int count = CableSplit(line, words);
    LIST_ENTRY done;
    const char *error = NULL;
    PDEVICE_OBJECT unused = NULL;
    CABLE *cable;
    ULONG number;
    KIRQL irql;

    if (count == 0)
        return "empty request";
    if (CableSame(words[0], "ping"))
        return NULL;
    if (CableSame(words[0], "add"))
        return Add(words + 1, count - 1, reply);
    if (CableSame(words[0], "remove")) {
        if (count != 2 || !CableComNumber(words[1], &number))
            return "expected a COM number";
        return Remove(number) ? NULL : "no such cable";
    }
    if (CableSame(words[0], "list")) {
        KeAcquireSpinLock(&g_lock, &irql);
        for (number = 1; number <= CABLE_MAX_COM; ++number) {
            if (!g_cables[number])
                continue;
            CableSay(reply, " com");
            CableSayNumber(reply, number);
            CableSay(reply, g_cables[number]->port ? (g_cables[number]->plain ? "=plain" : "=maker") : "=hungup");
        }
        KeReleaseSpinLock(&g_lock, irql);
        return NULL;
    }
    if (!CableComNumber(words[0], &number))
        return "unknown request";
    if (count < 2)
        return "missing request after the COM number";

    if (CableSame(words[1], "restore")) {
        KeAcquireSpinLock(&g_lock, &irql);
        cable = g_cables[number];
        error = !cable ? "no such cable" : cable->port ? "not hung up" : NULL;
        KeReleaseSpinLock(&g_lock, irql);
        /* Only this dispatch thread adds or removes cables, so the cable stays. */
        if (!error && !NT_SUCCESS(CableCreatePort(cable)))
            error = "cannot create the port device";
        if (!error) {
            CableSay(reply, " com");
            CableSayNumber(reply, number);
        }
        return error;
    }

    InitializeListHead(&done);
    KeAcquireSpinLock(&g_lock, &irql);
    cable = g_cables[number];
    if (!cable) {
        error = "no such cable";
    } else if (count == 2 && CableSame(words[1], "stats")) {
        Stats(cable, reply);
    } else if (count == 2 && CableSame(words[1], "record")) {
        Record(cable, reply);
    } else if (count == 2 && CableSame(words[1], "holders")) {
        CableSay(reply, " ");
        CableSayNumber(reply, (cable->port ? cable->port->opens : 0) + cable->staleOpens);
    } else {
        CABLE_PORT *port = cable->port;
        error = CableRequest(cable, words + 1, count - 1, &done);
        /* A hang-up of a port that nobody holds open takes its device at once. */
        if (port && port->removed && port->handles == 0)
            unused = port->device;
    }
    FinishUnlocked(irql, &done, unused);
    return error;
}

NTSTATUS CableControl(PIRP irp)
{
    IO_STACK_LOCATION *stack = IoGetCurrentIrpStackLocation(irp);
    ULONG inLength = stack->Parameters.DeviceIoControl.InputBufferLength;
    ULONG outLength = stack->Parameters.DeviceIoControl.OutputBufferLength;
    char *buffer = irp->AssociatedIrp.SystemBuffer;
    const char *error;
    CABLE_REPLY reply;
    char *line;

    if (stack->Parameters.DeviceIoControl.IoControlCode != IOCTL_CABLE_COMMAND)
        return CableComplete(irp, STATUS_INVALID_DEVICE_REQUEST, 0);
    if (inLength > CABLE_REQUEST_MAX || outLength < 64 || !buffer)
        return CableComplete(irp, STATUS_INVALID_PARAMETER, 0);
    /* In and out share the system buffer. */
    line = ExAllocatePoolWithTag(NonPagedPool, inLength + 1, CABLE_POOL_TAG);
    if (!line)
        return CableComplete(irp, STATUS_INSUFFICIENT_RESOURCES, 0);
    RtlCopyMemory(line, buffer, inLength);
    line[inLength] = 0;
    reply.at = buffer;
    reply.end = buffer + outLength;
    CableSay(&reply, "OK");
    error = Command(line, &reply);
    ExFreePoolWithTag(line, CABLE_POOL_TAG);
    if (error) {
        reply.at = buffer;
        CableSay(&reply, "ERR ");
        CableSay(&reply, error);
    }
    return CableComplete(irp, STATUS_SUCCESS, (ULONG_PTR)(reply.at - buffer) + 1);
}
