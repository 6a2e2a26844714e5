/* The flavours of port driver that a cable can be given at `add` (cable_ioctl.h): one row a
 * flavour, each saying how its driver moves bytes where drivers differ. The requests themselves
 * are served alike (serial.c, serial_ioctl.c); what a row names beyond these traits lives in a
 * file of its own (bridge.c). */
#include "cable.h"

const CABLE_FLAVOUR_TRAITS g_flavours[] = {
    /* The in-box serial driver over a UART: the rate asked, each byte as it comes. */
    { "uart", NULL, 0, CABLE_WRITE_ON_THE_LINE, CABLE_TX_EMPTY_LINE_IDLE, TRUE },
    /* A USB bridge's driver: a 64-byte USB packet less its two status bytes. */
    { "bridge", CableBridgeRate, 62, CABLE_WRITE_IN_THE_BUFFER, CABLE_TX_EMPTY_HANDED_OVER, TRUE },
    { NULL, NULL, 0, CABLE_WRITE_ON_THE_LINE, CABLE_TX_EMPTY_LINE_IDLE, FALSE },
};

/* The rate the line runs at; GET_BAUD_RATE still reads the one asked. */
ULONG CableLineRate(const CABLE_PORT *port)
{
    ULONG asked = port->baud.BaudRate;
    return CableFlavour(port)->lineRate && asked ? CableFlavour(port)->lineRate(asked) : asked;
}
