/* PlatformFault.h - fault-injection seam of the OVw and OVsnmp libraries, for tests.
 *
 * A rule makes the Nth call of a named operation (its public name, such as "OVwCreateSymbol"
 * or "OVsnmpBlockingSend") fail as that call fails, with the given error code. Mode "once"
 * fails only the Nth call; mode "from" fails the Nth and every later call.
 *
 * Rules come from the calls below or, for whole programs under test, from the environment:
 *   KESTARA_FAULTS="OVwCreateSymbol:1:9;OVwSetSymbolBehavior:2:7+"
 * (name:N:code, a trailing '+' for "from"). Without rules nothing fails: the seam is off by
 * default and costs one table look-up per call.
 */
#ifndef KESTARA_PLATFORM_FAULT_H
#define KESTARA_PLATFORM_FAULT_H

#ifdef __cplusplus
extern "C" {
#endif

/* Adds a rule. Returns 0, or -1 for a null name or n < 1. */
int KestaraFaultAdd(const char *operation, int n, int error_code, int from_then_on);

/* Removes every rule and resets the call counters (and reads nothing from the environment
 * again). */
void KestaraFaultClear(void);

/* Called by the libraries at the start of each operation: returns 0 to proceed, or the
 * error code to fail with. Counts the call. */
int KestaraFaultCheck(const char *operation);

#ifdef __cplusplus
}
#endif

#endif /* KESTARA_PLATFORM_FAULT_H */
