/* OVs.h - process management (PMD) registration and the station's name.
 *
 * Built on systemd's notify protocol and stop signals, so a daemon runs the same under
 * systemd (Type=notify) and by hand:
 * - OVsInit handles SIGTERM and SIGINT and hands back a descriptor (a pipe's reading end)
 *   that becomes readable when one of them arrives: "PMD has a message for you". Other system
 *   calls are restarted after the handler; poll() and select() end with EINTR.
 * - OVsInitComplete and OVsDone send STATUS= (and READY=1, STOPPING=1) to $NOTIFY_SOCKET
 *   when it is set; without it they only succeed.
 *
 * Status texts are sent on one line (line breaks become blanks) and cut to 1024 bytes.
 * $NOTIFY_SOCKET is an absolute path or, with a leading '@', an abstract socket name.
 *
 * Errors are results: a negative number. Thread-safety: none; call from the main thread.
 */
#ifndef KESTARA_PLATFORM_OVS_H
#define KESTARA_PLATFORM_OVS_H

#include <stdint.h>

#ifdef __cplusplus
extern "C" {
#endif

/* Report codes of OVsInitComplete. */
#define OVS_RSP_SUCCESS 1
#define OVS_RSP_FAILURE 2

/* What OVsReceive read: code is the signal number that asked for the stop. */
typedef struct OVsPMDCommand {
  int32_t code;
  int32_t reserved;
} OVsPMDCommand;

/* Registers with process management. On success stores in *pmd_socket a descriptor that
 * becomes readable when a stop is requested (SIGTERM or SIGINT, whose handler the library
 * installs and unblocks) and returns 0. The descriptor belongs to the library. On failure
 * returns -1 and leaves *pmd_socket unchanged. Calling it twice returns the same descriptor. */
int OVsInit(int *pmd_socket);

/* For a program that blocks in a receive on one socket instead of waiting on the descriptor:
 * from now on a stop request also shuts the reading side of `socket` down (shutdown(2),
 * SHUT_RD), so that a receive blocked on it, or any later one, returns at once without a
 * datagram; a stop requested before the call shuts it down at once. One socket at a time: -1
 * clears it. The descriptor still becomes readable. The caller keeps the socket, and clears it
 * here before closing it. Returns 0, or -1 when OVsInit has not succeeded or `socket` < -1. */
int OVsStopWakes(int socket);

/* 1 when a stop was requested and OVsReceive has not taken it yet, else 0; no system call. For
 * a program that has just received on the socket of OVsStopWakes: a stop that came with the
 * datagrams goes before them. */
int OVsStopPending(void);

/* Reports the outcome of start-up: OVS_RSP_SUCCESS with a status text sends "READY=1" and
 * "STATUS=<text>"; OVS_RSP_FAILURE sends "STATUS=<text>" and "ERRNO=1". Returns 0, or -1 when
 * OVsInit has not succeeded, the code is neither, or $NOTIFY_SOCKET is set and the message
 * could not be sent. */
int OVsInitComplete(int code, const char *text);

/* Reads the pending stop request into *command (its code is the signal number). Returns 0,
 * or -1 when nothing is pending or OVsInit has not succeeded. Never blocks. Each stop signal
 * is one request. */
int OVsReceive(OVsPMDCommand *command);

/* Reports that the program is ending: "STOPPING=1" and "STATUS=<text>". It does not end the
 * process; the caller does. Returns 0, or -1 when the message could not be sent. */
int OVsDone(const char *text);

/* The management station's host name: $OV_SERVER_NAME when it is set and not empty, else the
 * local host name. The text belongs to the library and stays valid until the next call. */
const char *OVServerName(void);

#ifdef __cplusplus
}
#endif

#endif /* KESTARA_PLATFORM_OVS_H */
