/* What a USB bridge's device does differently from a UART: it sends received bytes to the host
 * in packets, and it makes its line's rate from a fixed clock. Its row in g_flavours (flavours.c)
 * names these; the transmit side's differences are traits of that row. */
#include "cable.h"

#define BRIDGE_CLOCK_EIGHTHS 24000000ULL /* 3 MHz, in eighths: the divisor has three fraction bits */
#define BRIDGE_MIN_EIGHTHS 8             /* divisor 1: the fastest rate, 3 MHz */
#define BRIDGE_MAX_EIGHTHS 131071        /* 16383.875, the largest divisor: ~183 bps */

/* A bridge takes any rate and makes the nearest that 3 MHz over a divisor in eighths gives. */
ULONG CableBridgeRate(ULONG asked)
{
    ULONGLONG eighths = (BRIDGE_CLOCK_EIGHTHS + asked / 2) / asked;
    if (eighths < BRIDGE_MIN_EIGHTHS)
        eighths = BRIDGE_MIN_EIGHTHS;
    if (eighths > BRIDGE_MAX_EIGHTHS)
        eighths = BRIDGE_MAX_EIGHTHS;
    return (ULONG)((BRIDGE_CLOCK_EIGHTHS + eighths / 2) / eighths);
}

/* Under g_lock: a received byte waits in the device, behind the bytes the host already has. */
void CableBridgeTake(CABLE_PORT *port, UCHAR byte, LONGLONG nowUs)
{
    port->rx[(port->rxHead + port->rxCount + port->deviceCount) % CABLE_RX_SIZE] = byte;
    if (port->deviceCount++ == 0)
        port->deviceSinceUs = nowUs;
}

/* Under g_lock: the device sends a full packet when it has one, or what it has when its latency
 * timer has run out; the timer starts again with each packet. Each packet is one arrival for
 * the driver: one EV_RXCHAR. Returns the bytes the host received. */
ULONG CableBridgeDeliver(CABLE_PORT *port, LONGLONG nowUs, LIST_ENTRY *done)
{
    LONGLONG latencyUs = (LONGLONG)port->kind.latencyMs * 1000;
    ULONG full = CableFlavour(port)->rxPacket;
    ULONG arrived = 0;

    while (port->deviceCount >= full || (port->deviceCount && nowUs - port->deviceSinceUs >= latencyUs)) {
        ULONG packet = min(port->deviceCount, full), i;
        ULONG events = SERIAL_EV_RXCHAR;
        for (i = 0; i < packet; ++i)
            if (port->rx[(port->rxHead + port->rxCount + i) % CABLE_RX_SIZE] == port->chars.EventChar)
                events |= SERIAL_EV_RXFLAG;
        port->rxCount += packet;
        port->deviceCount -= packet;
        port->deviceSinceUs = nowUs;
        arrived += packet;
        CableRaiseEvents(port, events, done);
        CableServeReads(port, nowUs, done);
    }
    return arrived;
}
