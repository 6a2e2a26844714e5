#include "port_broadcast.h"

#include <windows.h>
#include <dbt.h>
#include <stddef.h>
#include <stdio.h>
#include <string.h>

typedef struct BROADCAST {
    WPARAM event;
    DEV_BROADCAST_PORT_A *port;
    UINT timeoutMs;
    int sent;
} BROADCAST;

static BOOL CALLBACK SendToWindow(HWND window, LPARAM context)
{
    BROADCAST *broadcast = (BROADCAST *)context;
    DWORD_PTR result;
    /* Sent, not posted: the record lives on the sender's stack, and the message system copies
     * it into each receiving process. */
    SendMessageTimeoutA(window, WM_DEVICECHANGE, broadcast->event, (LPARAM)broadcast->port,
                        SMTO_ABORTIFHUNG, broadcast->timeoutMs, &result);
    ++broadcast->sent;
    return TRUE;
}

int BroadcastPortChange(int com, int arrival, unsigned timeoutMs)
{
    char record[sizeof(DEV_BROADCAST_PORT_A) + 16];
    DEV_BROADCAST_PORT_A *port = (DEV_BROADCAST_PORT_A *)record;
    BROADCAST broadcast;

    memset(record, 0, sizeof(record));
    snprintf(port->dbcp_name, sizeof(record) - offsetof(DEV_BROADCAST_PORT_A, dbcp_name), "COM%d", com);
    port->dbcp_size = (DWORD)(offsetof(DEV_BROADCAST_PORT_A, dbcp_name) + strlen(port->dbcp_name) + 1);
    port->dbcp_devicetype = DBT_DEVTYP_PORT;
    broadcast.event = arrival ? DBT_DEVICEARRIVAL : DBT_DEVICEREMOVECOMPLETE;
    broadcast.port = port;
    broadcast.timeoutMs = timeoutMs;
    broadcast.sent = 0;
    EnumWindows(SendToWindow, (LPARAM)&broadcast);
    return broadcast.sent;
}
