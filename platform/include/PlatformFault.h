/* PlatformFault.h - fault-injection seam of the OVw and OVsnmp libraries, for tests.
 *
 * A rule makes the Nth call of a named operation (its public name, such as "OVwCreateSymbol"
 * or "OVsnmpBlockingSend") fail as that call fails, with the given error code. Mode "once"
 * fails only the Nth call; mode "from" fails the Nth and every later call.
 *
 * The operation name "*" stands for every operation: its rule counts all calls of the seam
 * together, in the order they are made, so "*" with N fails the Nth platform call of the
 * process whatever it is. The code is then the same for both libraries (each reads it in its
 * own error numbering).
 *
 * Rules come from the calls below or, for whole programs under test, from the environment:
 *   KESTARA_FAULTS="OVwCreateSymbol:1:9;OVwSetSymbolBehavior:2:7+;*:40:3+"
 * (name:N:code, a trailing '+' for "from"). Without rules nothing fails: the seam is off by
 * default and costs one table look-up per call.
 *
 * A program can also report the calls it made, so that a test learns how many platform calls
 * a clean run takes (and which) before it fails them one by one:
 *   KESTARA_FAULT_REPORT=/path/to/file
 * The file is rewritten after every call (to a temporary file beside it, then renamed), so it
 * is complete even when the process is killed between two calls. It holds the line
 * "calls TOTAL", then one line "NAME FIRST COUNT" per operation in the order of their first
 * calls: the position of its first call among all calls (from 1) and how many calls it had.
 * Calls made with a null name are not counted.
 */
#ifndef KESTARA_PLATFORM_FAULT_H
#define KESTARA_PLATFORM_FAULT_H

#ifdef __cplusplus
extern "C" {
#endif

/* Adds a rule ("*" for every operation). Returns 0, or -1 for a null name or n < 1. */
int KestaraFaultAdd(const char *operation, int n, int error_code, int from_then_on);

/* Removes every rule, resets the call counters and stops the report (and reads nothing from
 * the environment again). */
void KestaraFaultClear(void);

/* Called by the libraries at the start of each operation: returns 0 to proceed, or the
 * error code to fail with. Counts the call. */
int KestaraFaultCheck(const char *operation);

/* The number of calls counted since the start of the process or the last KestaraFaultClear. */
long KestaraFaultCalls(void);

/* Reports the calls from now on to the file at `path`, as KESTARA_FAULT_REPORT does: the count
 * of all calls (the one that "*" rules use) restarts at 0, and the file is written at once. A null
 * or empty path stops the report (the file stays). Returns 0, or -1 when the file can't be written
 * (the report is then off). */
int KestaraFaultReport(const char *path);

#ifdef __cplusplus
}
#endif

#endif /* KESTARA_PLATFORM_FAULT_H */
