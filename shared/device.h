// device.h - the device probe and the maintenance of the isKestaraDevice flag.
#ifndef KESTARA_SHARED_DEVICE_H
#define KESTARA_SHARED_DEVICE_H

#include "OVsnmp.h"
#include "OVw.h"

// Outcomes of probeDevice.
enum ProbeOutcome { kProbeAnswered = 0, kProbeNonDevice = 1, kProbeNoResponse = 2 };

// Asks the agent behind `session` (open; not closed here) for the probe variable
// 1.3.6.1.4.1.32473.3.1.2.3.1.1.0. Returns kProbeAnswered when it gave a value,
// kProbeNoResponse when it did not answer, kProbeNonDevice for every other failure.
[[nodiscard]] int probeDevice(OVsnmpSession session);

// Called with the object id when setDevice clears the flag of a node whose host name has
// become "REMOVED".
using RemovalHook = void (*)(OVwObjectId objectId);

// Probes the host of database object `objectId` over a session of its own and sets, keeps or
// clears its isKestaraDevice flag by the answer, printing one line. Returns 1 when the host
// answered the probe (the flag is then true), 0 otherwise. `removalHook` may be null.
int setDevice(OVwObjectId objectId, RemovalHook removalHook);

#endif  // KESTARA_SHARED_DEVICE_H
