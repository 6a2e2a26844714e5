/* What Windows does when a port-class device arrives or goes: WM_DEVICECHANGE with
 * DBT_DEVICEARRIVAL or DBT_DEVICEREMOVECOMPLETE and a DEV_BROADCAST_PORT naming "COMn", sent
 * to every top-level window. Under Wine no one sends it for a driver's port, so the rig does. */
#ifndef PORT_BROADCAST_H
#define PORT_BROADCAST_H

#ifdef __cplusplus
extern "C" {
#endif

/* Returns the number of top-level windows the message was sent to. A window that has not
 * answered within timeoutMs is left to handle it on its own. */
int BroadcastPortChange(int com, int arrival, unsigned timeoutMs);

#ifdef __cplusplus
}
#endif

#endif
