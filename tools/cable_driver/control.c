/* The rig's requests on the control device: cables added and removed by COM number, their
 * fault modes, and what they saw, the line settings chosen among it. One text line in, one
 * line out, in the pty cable server's words (cable_ioctl.h). */
#include "cable.h"

typedef struct REPLY {
    char *at, *end;
} REPLY;

static void Say(REPLY *reply, const char *text)
{
    while (*text && reply->at + 1 < reply->end)
        *reply->at++ = *text++;
    *reply->at = 0;
}

static void SayNumber(REPLY *reply, ULONGLONG value)
{
    char digits[24];
    int count = 0;
    do {
        digits[count++] = (char)('0' + value % 10);
        value /= 10;
    } while (value);
    while (count && reply->at + 1 < reply->end)
        *reply->at++ = digits[--count];
    *reply->at = 0;
}

static void SayField(REPLY *reply, const char *name, ULONGLONG value)
{
    Say(reply, " ");
    Say(reply, name);
    Say(reply, "=");
    SayNumber(reply, value);
}

/* ---- line settings as the rig reports them ---------------------------------------------- */

/* Under g_lock: the setting in force joins the cable's history when it differs from the last
 * one noted. Noted when data flows, at close and when the rig asks, so that the several
 * requests of one SetCommState make one entry. */
void CableNoteSettings(CABLE_PORT *port)
{
    static const char parities[] = "NOEMS";
    char label[40];
    REPLY text = { label, label + sizeof(label) };
    BOOLEAN rtscts = (port->handflow.ControlHandShake & SERIAL_CTS_HANDSHAKE) != 0;
    BOOLEAN xon = (port->handflow.FlowReplace & (SERIAL_AUTO_TRANSMIT | SERIAL_AUTO_RECEIVE)) != 0;
    CABLE *cable = port->cable;
    char parity[2] = { parities[port->line.Parity <= 4 ? port->line.Parity : 0], 0 };
    REPLY history;

    if (!cable)
        return;
    SayNumber(&text, port->baud.BaudRate);
    Say(&text, "-");
    SayNumber(&text, port->line.WordLength);
    Say(&text, parity);
    SayNumber(&text, port->line.StopBits == STOP_BITS_2 ? 2 : 1);
    Say(&text, rtscts && xon ? "-both" : rtscts ? "-rtscts" : xon ? "-xonxoff" : "-none");
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
        Say(&history, ",");
    Say(&history, label);
}

/* ---- words ------------------------------------------------------------------------------ */

#define MAX_WORDS 48

static int Split(char *line, char **words)
{
    int count = 0;
    while (*line && count < MAX_WORDS) {
        while (*line == ' ' || *line == '\t' || *line == '\r' || *line == '\n')
            *line++ = 0;
        if (!*line)
            break;
        words[count++] = line;
        while (*line && *line != ' ' && *line != '\t' && *line != '\r' && *line != '\n')
            ++line;
    }
    return count;
}

static BOOLEAN Same(const char *a, const char *b)
{
    while (*a && *b) {
        char x = *a >= 'A' && *a <= 'Z' ? (char)(*a + 32) : *a;
        char y = *b >= 'A' && *b <= 'Z' ? (char)(*b + 32) : *b;
        if (x != y)
            return FALSE;
        ++a, ++b;
    }
    return *a == *b;
}

static BOOLEAN Number(const char *text, ULONG *value)
{
    ULONGLONG result = 0;
    if (!*text)
        return FALSE;
    for (; *text; ++text) {
        if (*text < '0' || *text > '9')
            return FALSE;
        result = result * 10 + (ULONG)(*text - '0');
        if (result > 0x7FFFFFFF)
            return FALSE;
    }
    *value = (ULONG)result;
    return TRUE;
}

static BOOLEAN ComNumber(const char *text, ULONG *number)
{
    if ((text[0] == 'c' || text[0] == 'C') && (text[1] == 'o' || text[1] == 'O') && (text[2] == 'm' || text[2] == 'M'))
        text += 3;
    return Number(text, number) && *number >= 1 && *number <= CABLE_MAX_COM;
}

static BOOLEAN OnOff(const char *text, BOOLEAN *value)
{
    if (Same(text, "on"))
        *value = TRUE;
    else if (Same(text, "off"))
        *value = FALSE;
    else
        return FALSE;
    return TRUE;
}

/* "none" gives -1. */
static BOOLEAN CountOrNone(const char *text, LONG *value)
{
    ULONG number;
    if (Same(text, "none")) {
        *value = -1;
        return TRUE;
    }
    if (!Number(text, &number))
        return FALSE;
    *value = (LONG)number;
    return TRUE;
}

static BOOLEAN Offsets(char *text, CABLE *cable)
{
    ULONG count = 0;
    if (Same(text, "none")) {
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
            if (!Number(text, &value) || count == CABLE_CORRUPT_MAX)
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

    if (count == 2 && Same(verb, "pacing") && OnOff(words[1], &flag))
        cable->pacing = flag;
    else if (count == 2 && Same(verb, "noecho") && OnOff(words[1], &flag))
        cable->noecho = flag;
    else if (count == 2 && Same(verb, "stall") && OnOff(words[1], &flag))
        cable->stall = flag;
    else if (count == 2 && Same(verb, "corrupt")) {
        if (!Offsets(words[1], cable))
            return "expected offsets or none";
    } else if (count == 2 && Same(verb, "echo-only") && CountOrNone(words[1], &value))
        cable->echoOnly = value;
    else if (count == 2 && Same(verb, "delay") && CountOrNone(words[1], &value))
        cable->delayMs = value < 0 ? 0 : (ULONG)value;
    else if (count == 2 && Same(verb, "mismatch") && CountOrNone(words[1], &value))
        cable->mismatch = value < 0 ? 0 : (ULONG)value;
    else if (count == 2 && Same(verb, "hangup-after") && CountOrNone(words[1], &value)) {
        cable->hangupAfter = value;
        if (value >= 0 && cable->bytesIn >= (ULONGLONG)value) {
            cable->hangupAfter = -1;
            if (cable->port)
                CableDetachPort(cable->port, done);
        }
    } else if (count == 1 && Same(verb, "hangup")) {
        if (cable->port)
            CableDetachPort(cable->port, done);
    } else if (count == 1 && Same(verb, "flush")) {
        CABLE_PORT *port = cable->port;
        if (port) {
            port->txHead = port->txCount = 0;
            port->flightHead = port->flightCount = 0;
            port->rxHead = port->rxCount = port->deviceCount = 0;
            port->lineBusy = FALSE;
        }
    } else if (count == 1 && Same(verb, "reset")) {
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

static void Stats(CABLE *cable, REPLY *reply)
{
    if (cable->port)
        CableNoteSettings(cable->port);
    SayField(reply, "baud", cable->baud);
    SayField(reply, "line", cable->lineBaud);
    SayField(reply, "bits", cable->bits);
    Say(reply, " parity=");
    Say(reply, cable->parity ? (char[2]){ cable->parity, 0 } : "N");
    SayField(reply, "stop", cable->stop);
    SayField(reply, "rtscts", cable->rtscts);
    SayField(reply, "ixon", cable->ixon);
    SayField(reply, "ixoff", cable->ixoff);
    SayField(reply, "in", cable->bytesIn);
    SayField(reply, "out", cable->bytesOut);
    SayField(reply, "hungup", cable->port == NULL);
    SayField(reply, "plain", cable->plain);
    Say(reply, cable->kind.flavour == CABLE_BRIDGE ? " flavour=bridge" : " flavour=uart");
    SayField(reply, "removal-code", cable->kind.removalCode);
    SayField(reply, "sticky-wait", cable->kind.stickyWait);
    SayField(reply, "slow-close", cable->kind.slowCloseMs);
    SayField(reply, "wait-refused", cable->kind.waitRefused);
    SayField(reply, "setstate-fails", cable->kind.setstateFails);
    SayField(reply, "latency", cable->kind.latencyMs);
    SayField(reply, "slow-open", cable->kind.slowOpenMs);
    Say(reply, " settings=");
    Say(reply, cable->history);
}

static void Record(CABLE *cable, REPLY *reply)
{
    static const char hex[] = "0123456789abcdef";
    ULONG i;
    Say(reply, " ");
    for (i = 0; i < cable->recordCount && reply->at + 2 < reply->end; ++i) {
        *reply->at++ = hex[cable->record[i] >> 4];
        *reply->at++ = hex[cable->record[i] & 15];
    }
    *reply->at = 0;
}

/* A switch's delay is a few seconds at most: a driver host that waits longer is a hung rig. */
#define MAX_SWITCH_MS 60000

/* `add N [options]`: at passive level, since it creates a device. */
static const char *Add(char **words, int count, REPLY *reply)
{
    CABLE *cable;
    ULONG number, value;
    NTSTATUS status;
    KIRQL irql;
    int i;

    if (count < 1 || !ComNumber(words[0], &number))
        return "expected a COM number";
    cable = ExAllocatePoolWithTag(NonPagedPool, sizeof(CABLE), CABLE_POOL_TAG);
    if (!cable)
        return "out of memory";
    RtlZeroMemory(cable, sizeof(*cable));
    cable->number = number;
    cable->kind.removalCode = 5;
    cable->kind.latencyMs = CABLE_LATENCY_DEFAULT;
    ResetCable(cable);
    for (i = 1; i < count; ++i) {
        const char *option = words[i];
        const char *argument = i + 1 < count ? words[i + 1] : "";
        if (Same(option, "--plain"))
            cable->plain = TRUE;
        else if (Same(option, "--instant"))
            cable->pacing = FALSE;
        else if (Same(option, "--noecho"))
            cable->noecho = TRUE;
        else if (Same(option, "--stall"))
            cable->stall = TRUE;
        else if (Same(option, "--corrupt") && Offsets(words[++i < count ? i : 0], cable))
            ;
        else if (Same(option, "--echo-only") && Number(argument, &value))
            cable->echoOnly = (LONG)value, ++i;
        else if (Same(option, "--delay") && Number(argument, &value))
            cable->delayMs = value, ++i;
        else if (Same(option, "--hangup-after") && Number(argument, &value))
            cable->hangupAfter = (LONG)value, ++i;
        else if (Same(option, "--mismatch") && Number(argument, &value))
            cable->mismatch = value, ++i;
        else if (Same(option, "--flavour") && (Same(argument, "uart") || Same(argument, "bridge")))
            cable->kind.flavour = Same(argument, "bridge") ? CABLE_BRIDGE : CABLE_UART, ++i;
        else if (Same(option, "--removal-code") && Number(argument, &value) &&
                 (value == 5 || value == 22 || value == 31 || value == 995))
            cable->kind.removalCode = value, ++i;
        else if (Same(option, "--sticky-wait"))
            cable->kind.stickyWait = TRUE;
        else if (Same(option, "--wait-refused"))
            cable->kind.waitRefused = TRUE;
        else if (Same(option, "--slow-close") && Number(argument, &value) && value <= MAX_SWITCH_MS)
            cable->kind.slowCloseMs = value, ++i;
        else if (Same(option, "--slow-open") && Number(argument, &value) && value <= MAX_SWITCH_MS)
            cable->kind.slowOpenMs = value, ++i;
        else if (Same(option, "--setstate-fails") && Number(argument, &value) && value >= 1)
            cable->kind.setstateFails = value, ++i;
        else if (Same(option, "--latency") && Number(argument, &value) && value >= 1 && value <= 255)
            cable->kind.latencyMs = value, ++i;
        else {
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
    Say(reply, " com");
    SayNumber(reply, number);
    Say(reply, cable->plain ? " plain" : " maker");
    Say(reply, cable->kind.flavour == CABLE_BRIDGE ? " bridge" : " uart");
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

static const char *Command(char *line, REPLY *reply)
{
    char *words[MAX_WORDS];
    int count = Split(line, words);
    LIST_ENTRY done;
    const char *error = NULL;
    PDEVICE_OBJECT unused = NULL;
    CABLE *cable;
    ULONG number;
    KIRQL irql;

    if (count == 0)
        return "empty request";
    if (Same(words[0], "ping"))
        return NULL;
    if (Same(words[0], "add"))
        return Add(words + 1, count - 1, reply);
    if (Same(words[0], "remove")) {
        if (count != 2 || !ComNumber(words[1], &number))
            return "expected a COM number";
        return Remove(number) ? NULL : "no such cable";
    }
    if (Same(words[0], "list")) {
        KeAcquireSpinLock(&g_lock, &irql);
        for (number = 1; number <= CABLE_MAX_COM; ++number) {
            if (!g_cables[number])
                continue;
            Say(reply, " com");
            SayNumber(reply, number);
            Say(reply, g_cables[number]->port ? (g_cables[number]->plain ? "=plain" : "=maker") : "=hungup");
        }
        KeReleaseSpinLock(&g_lock, irql);
        return NULL;
    }
    if (!ComNumber(words[0], &number))
        return "unknown request";
    if (count < 2)
        return "missing request after the COM number";

    if (Same(words[1], "restore")) {
        KeAcquireSpinLock(&g_lock, &irql);
        cable = g_cables[number];
        error = !cable ? "no such cable" : cable->port ? "not hung up" : NULL;
        KeReleaseSpinLock(&g_lock, irql);
        /* Only this dispatch thread adds or removes cables, so the cable stays. */
        if (!error && !NT_SUCCESS(CableCreatePort(cable)))
            error = "cannot create the port device";
        if (!error) {
            Say(reply, " com");
            SayNumber(reply, number);
        }
        return error;
    }

    InitializeListHead(&done);
    KeAcquireSpinLock(&g_lock, &irql);
    cable = g_cables[number];
    if (!cable) {
        error = "no such cable";
    } else if (count == 2 && Same(words[1], "stats")) {
        Stats(cable, reply);
    } else if (count == 2 && Same(words[1], "record")) {
        Record(cable, reply);
    } else if (count == 2 && Same(words[1], "holders")) {
        Say(reply, " ");
        SayNumber(reply, (cable->port ? cable->port->opens : 0) + cable->staleOpens);
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
    REPLY reply;
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
    Say(&reply, "OK");
    error = Command(line, &reply);
    ExFreePoolWithTag(line, CABLE_POOL_TAG);
    if (error) {
        reply.at = buffer;
        Say(&reply, "ERR ");
        Say(&reply, error);
    }
    return CableComplete(irp, STATUS_SUCCESS, (ULONG_PTR)(reply.at - buffer) + 1);
}
