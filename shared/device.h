// device.h - the device probe and the maintenance of the isKestaraDevice flag.
#ifndef KESTARA_SHARED_DEVICE_H
#define KESTARA_SHARED_DEVICE_H

#include <optional>
#include <span>
#include <string>
#include <string_view>

#include "OVsnmp.h"
#include "OVw.h"
#include "snmp_ops.h"

// What the agent's answer to the probe variable says about a node.
enum class ProbeOutcome {
  kAnswered,    // it gave a value: a Kestara device
  kNonDevice,   // no such variable, an error status, an answer that is not for the probe
  kNoResponse,  // no agent answered: it was silent, refused the SNMPv3 request's security, or
                // the request failed on this side (it could not be built or sent)
};

// Asks the agent behind `session` (open; not closed here) for the probe variable
// 1.3.6.1.4.1.32473.3.1.2.3.1.1.0. A refused SNMPv3 request prints its reason (see snmpRead).
[[nodiscard]] ProbeOutcome probeDevice(OVsnmpSession session);

// The probe variable, for callers that send the probe themselves (sendRead, completeRead).
[[nodiscard]] std::span<const OVsnmpOid> probeVariable();

// What a read of the probe variable says about the node.
[[nodiscard]] ProbeOutcome probeOutcomeOf(GetOutcome outcome);

// Whose table decides what a probe's outcome does to a node's flag. The sweep sets an answered
// node's flag without reading it first and reports a failed write with printOVwError; the
// probes of node events and of the map application (setDevice) read it first, leave a set
// flag alone, and report failed writes with lines of their own.
enum class FlagTable { kSweep, kSetDevice };

// What the node counts as once its probe's outcome has been applied.
enum class NodeVerdict {
  kDevice,        // it answered: its flag is set (or the write was tried and reported)
  kSilentDevice,  // it did not answer and its flag was set: the flag is kept
  kNonDevice,     // every other case
};

// Sets, keeps or clears the isKestaraDevice flag (`fieldId`) of `objectId` by the probe's
// outcome and prints the line that says so, naming the node `name`. Only an answer sets the
// flag, only a definite non-device clears it, and a node that does not answer keeps it. When
// the flag can't be read, the outcome alone decides: set for a device, cleared for a
// non-device, left as it is for a node that did not answer.
NodeVerdict applyProbeOutcome(OVwObjectId objectId, OVwFieldId fieldId, std::string_view name,
                              ProbeOutcome outcome, FlagTable table);

// Called with the object id when setDevice clears the flag of a node whose host name has
// become "REMOVED": `call(context, objectId)`. An empty hook calls nothing.
struct RemovalHook {
  void (*call)(void *context, OVwObjectId objectId) = nullptr;
  void *context = nullptr;
  void operator()(OVwObjectId objectId) const {
    if (call != nullptr) call(context, objectId);
  }
};

// Probes the host of database object `objectId` over a session of its own and sets, keeps or
// clears its isKestaraDevice flag by the answer (FlagTable::kSetDevice), printing one line.
// Returns true when the host answered the probe (the flag is then true).
bool setDevice(OVwObjectId objectId, RemovalHook removalHook = {});

// setDevice without waiting for the agent: the probe goes out as an asynchronous request
// (OVsnmpSendAsync) and its answer is applied when the caller's event loop reads it. Every
// line printed, every flag written and the result are exactly those of setDevice for the same
// answer; a probe's lines are printed together, once its outcome is known. An SNMPv3 agent that
// refuses the probe's security counts as one that does not answer, after the line
// "SNMPv3 probe of HOST refused: REASON".
//
// The object is not copied or moved while a probe runs (the SNMP library holds its address).
// Destroying it, or abandon(), ends a probe in flight at once: its session is closed, nothing
// is printed or written, and `done` is not called.
class DeviceProbe {
 public:
  // Called once when a probe started by start() ends, from inside the SNMP library's event
  // loop (OVsnmpRead, OVsnmpReadPoll, OVsnmpDoRetry), after its lines are printed and its
  // session is closed, with setDevice's result. It may start, abandon or destroy the probe.
  using Done = void (*)(DeviceProbe &probe, bool answered, void *context);

  DeviceProbe() = default;
  ~DeviceProbe() { abandon(); }
  DeviceProbe(const DeviceProbe &) = delete;
  DeviceProbe &operator=(const DeviceProbe &) = delete;

  // Starts setDevice(objectId, removalHook). When the outcome is known without asking the
  // agent (no host name, no session, the request not sent), applies it as setDevice does and
  // returns setDevice's result; `done` is then not called. Otherwise returns nothing, and
  // `done` is called with `context` later. REQUIRES: !busy().
  [[nodiscard]] std::optional<bool> start(OVwObjectId objectId, RemovalHook removalHook, Done done,
                                          void *context);

  // True from a start() that returned nothing until the probe ends or is abandoned.
  [[nodiscard]] bool busy() const { return session_ != 0; }
  // The object of the probe in flight (or of the last one).
  [[nodiscard]] OVwObjectId objectId() const { return objectId_; }

  // Ends a probe in flight without applying anything; does nothing when none is.
  void abandon();

 private:
  static void completed(OVsnmpSession session, int error, OVsnmpPdu *response, void *context);
  // Applies the outcome, closes the session and calls `done`.
  void finish(ProbeOutcome outcome);

  OVwObjectId objectId_ = 0;
  OVwFieldId fieldId_ = 0;
  RemovalHook removalHook_;
  std::string hostName_;
  OVsnmpSession session_ = 0;
  Done done_ = nullptr;
  void *context_ = nullptr;
};

#endif  // KESTARA_SHARED_DEVICE_H
