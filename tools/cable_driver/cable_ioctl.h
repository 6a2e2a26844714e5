/* The control interface of the virtual cable driver, shared by the driver, the rig's client
 * (cablectl.exe) and the test kit.
 *
 * The control device takes one text request per IOCTL_CABLE_COMMAND, in the same words as the
 * pty cable server's control socket (tools/pty_cable/cable.py), and answers one line starting with OK or
 * ERR. The input buffer holds the request (no terminator needed), the output buffer gets the
 * reply with a terminating zero; the reply is cut to the buffer.
 *
 *   ping | list
 *   add N [--plain] [--instant] [--noecho] [--stall] [--corrupt OFF,...] [--echo-only N]
 *         [--delay MS] [--hangup-after N] [--mismatch BAUD] [--flavour uart|bridge]
 *         [--removal-code 5|22|31|995] [--sticky-wait] [--slow-close MS] [--wait-refused]
 *         [--setstate-fails K] [--latency MS] [--slow-open MS]
 *         (--plain: a serial port of another make, which refuses the maker's request)
 *   remove N                  (the cable is pulled: an open port fails every request)
 *   N pacing|noecho|stall on|off      N corrupt OFF,...|none     N echo-only N|none
 *   N delay MS|none           N hangup-after N|none              N mismatch BAUD|none
 *   N hangup | restore | flush | reset | stats | record | holders
 *
 * Flavours, chosen at `add` only:
 *   uart (default)   the in-box serial driver over a UART: a write completes when its last byte
 *                    has left at the line's pace, the output queue counts what pending writes
 *                    hold, EV_TXEMPTY when the line is idle, FlushFileBuffers waits for them.
 *   bridge           a USB bridge's driver: received bytes reach the host in packets of at most
 *                    62 bytes, sent when full or when the latency timer runs out (EV_RXCHAR once
 *                    a packet); a write completes once it fits the device's buffer and
 *                    EV_TXEMPTY comes when the driver has handed everything to the device; any
 *                    rate is taken, the line runs at 3 MHz over a divisor in eighths.
 *   On both, EV_TXEMPTY comes a timer tick (2 ms) after the write that emptied the queue has
 *   completed, never with it: a program's other thread must not see it before the write.
 *   Each flavour is a row of g_flavours (flavours.c).
 * Switches, each a fault that real drivers are documented to have, on either flavour (each a row
 * of g_switches, faults.c):
 *   --removal-code C   after a pull, pending and later requests fail with Win32 code C (5, the
 *                      default, is STATUS_DELETE_PENDING; 22 STATUS_INVALID_DEVICE_STATE;
 *                      31 STATUS_UNSUCCESSFUL; 995 STATUS_CANCELLED)
 *   --sticky-wait      a wait pending at the pull survives it: a mask set after it fails like
 *                      every request, CancelIo does not reach it; closing the handle ends it (995)
 *   --slow-close MS    a pulled port's last handle: its IRP_MJ_CLOSE completes MS later and the
 *                      device goes then; `holders` counts the handle until then (Wine's
 *                      CloseHandle does not wait for it)
 *   --wait-refused     IOCTL_SERIAL_WAIT_ON_MASK on a handle opened with FILE_FLAG_OVERLAPPED
 *                      fails at once with STATUS_INVALID_PARAMETER (87); a synchronous one waits
 *   --setstate-fails K the K-th SetCommState after an open fails with 31: counted by its first
 *                      request, IOCTL_SERIAL_SET_BAUD_RATE, which the device stalls
 *                      (STATUS_UNSUCCESSFUL), so nothing of that SetCommState is applied
 *   --latency MS       the bridge's latency timer, 1 to 255 (default 16; no effect on uart)
 *   --slow-open MS     IRP_MJ_CREATE completes MS later, and so does every request of the handle
 *                      done before then (Wine's CreateFile does not wait for the create, so a
 *                      program sees the time at its first request instead)
 * `N stats` also says the flavour and every switch: flavour=uart removal-code=5 ... slow-open=0,
 * and the rate the line runs at (line=, a bridge's rounded one; baud= is the one asked).
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
