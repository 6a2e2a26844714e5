/* The control interface of the virtual cable driver, shared by the driver, the rig's client
 * (cablectl.exe) and the test kit.
 *
 * The control device takes one text request per IOCTL_CABLE_COMMAND, in the same words as the
 * pty cable server's control socket (tools/cable.py), and answers one line starting with OK or
 * ERR. The input buffer holds the request (no terminator needed), the output buffer gets the
 * reply with a terminating zero; the reply is cut to the buffer.
 *
 *   ping | list
 *   add N [--plain] [--instant] [--noecho] [--stall] [--corrupt OFF,...] [--echo-only N]
 *         [--delay MS] [--hangup-after N] [--mismatch BAUD]
 *         (--plain: a serial port of another make, which refuses the maker's request)
 *   remove N                  (the cable is pulled: an open port fails every request)
 *   N pacing|noecho|stall on|off      N corrupt OFF,...|none     N echo-only N|none
 *   N delay MS|none           N hangup-after N|none              N mismatch BAUD|none
 *   N hangup | restore | flush | reset | stats | record | holders
 *
 * Adding or removing a port announces nothing: the broadcast that Windows makes for a port
 * device is sent from user mode (port_broadcast.h).
 */
#ifndef CABLE_IOCTL_H
#define CABLE_IOCTL_H

/* The control device, as a user-mode path and as the kernel's names. */
#define CABLE_CONTROL_PATH "\\\\.\\SelftestCable"
#define CABLE_CONTROL_DEVICE L"\\Device\\SelftestCable"
#define CABLE_CONTROL_LINK L"\\??\\SelftestCable"

/* CTL_CODE(FILE_DEVICE_UNKNOWN, 0x900, METHOD_BUFFERED, FILE_ANY_ACCESS) */
#define IOCTL_CABLE_COMMAND 0x00222400

/* The maker's private request, and its one valid size for input and output. */
#define IOCTL_CABLE_MAKER_PROBE 0x00222000
#define CABLE_MAKER_PROBE_SIZE 18

/* Longest request line (a list of offsets to corrupt can be long); a reply can be longer. */
#define CABLE_REQUEST_MAX 16384

#endif
