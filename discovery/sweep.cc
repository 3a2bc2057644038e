// sweep.cc - the start-up sweep: every SNMP node of the object database is probed once and its
// isKestaraDevice field brought up to date.
//
// Probes run asynchronously, at most `window` at once, so that a node that does not answer
// holds up no other probe. Their outcomes are applied in the order of the nodes, each as soon
// as the nodes before it have been applied: the lines, the flags and the summary are those of
// probing the nodes one after the other, whatever order the answers come in.
#include <poll.h>

#include <algorithm>
#include <array>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <memory>
#include <span>
#include <string>
#include <vector>

#include "device.h"
#include "discovery.h"
#include "field_list.h"
#include "handles.h"
#include "log_text.h"
#include "ovw_error.h"
#include "protocol.h"
#include "snmp_ops.h"

namespace {

// The ids of a list; empty when the list holds none (or claims a count without ids).
std::span<const OVwObjectId> idsOf(const OVwObjectIdList &list) {
  if (list.count <= 0 || list.object_ids == nullptr) return {};
  return {list.object_ids, static_cast<size_t>(list.count)};
}

struct Counters {
  int devices = 0;
  int nonDevices = 0;
};

// One node of the sweep, from its start until its outcome is applied.
struct Node {
  enum class Start {
    kProbed,     // a probe went out, or its outcome was known without one
    kNoName,     // the database has no selection name for it
    kNoSession,  // no session could be opened to it
  };
  OVwObjectId objectId = 0;
  Start start = Start::kProbed;
  std::string name;  // its selection name
  bool decided = false;
  ProbeOutcome outcome = ProbeOutcome::kNonDevice;
  int refusal = 0;  // an SNMPv3 refusal's error: the probe's own line, printed first
};

class Sweep;

// How long a pass waits when the descriptors to wait on can't be had.
constexpr int kRetryPauseMs = 10;
// The most nodes whose flag writes commit together.
constexpr size_t kWriteGroup = 64;

// A probe in flight: its session, and the buffers its answer is read into (the blocking get's
// sizes: a whole identifier record, and the probe's value buffer).
struct Probe {
  Sweep *sweep = nullptr;
  size_t node = 0;
  SnmpSession session;
  std::array<OVsnmpOid, 256> answered{};
  std::array<char, 52> reply{};
};

class Sweep {
 public:
  Sweep(std::span<const OVwObjectId> ids, OVwFieldId fieldId, size_t window,
        NodeEventListener *events)
      : fieldId_(fieldId), window_(window), events_(events), nodes_(ids.size()) {
    for (size_t i = 0; i < ids.size(); ++i) nodes_[i].objectId = ids[i];
  }

  // Probes and applies every node. The event listener (when there is one) is served on each
  // pass, so that node events are probed while the sweep runs.
  Counters run() {
    std::vector<pollfd> fds;
    while (applied_ < nodes_.size()) {
      startProbes();
      applyDecided();
      if (events_ != nullptr) events_->serve();
      if (applied_ == nodes_.size()) break;
      fds.clear();
      int timeoutMs = -1;
      const int wanted = OVsnmpGetPollInfo(nullptr, 0, &timeoutMs);
      const int got = wanted < 0 ? -1 : [&] {
        fds.resize(static_cast<size_t>(wanted));
        return OVsnmpGetPollInfo(fds.data(), fds.size(), &timeoutMs);
      }();
      if (got < 0) {
        // Nothing can be waited on: the probes in flight still end, by their time-outs.
        (void)poll(nullptr, 0, kRetryPauseMs);
        OVsnmpDoRetry();
        continue;
      }
      fds.resize(std::min(fds.size(), static_cast<size_t>(got)));
      const int ready = poll(fds.data(), fds.size(), timeoutMs);
      if (ready < 0 && errno != EINTR) (void)poll(nullptr, 0, kRetryPauseMs);
      if (ready > 0) OVsnmpReadPoll(fds.data(), fds.size());
      OVsnmpDoRetry();
    }
    return counters_;
  }

 private:
  // Starts nodes in their order while the window has room. A node whose outcome is known
  // without the agent is decided at once; its lines wait for its turn.
  void startProbes() {
    while (next_ < nodes_.size() && inFlight_ < window_) {
      Node &node = nodes_[next_];
      const size_t index = next_++;
      const char *selectionText = OVwDbObjectIdToSelectionName(node.objectId);
      if (selectionText == nullptr) {
        node.start = Node::Start::kNoName;
        node.decided = true;
        continue;
      }
      node.name = selectionText;
      auto probe = std::make_unique<Probe>();
      probe->sweep = this;
      probe->node = index;
      probe->session.reset(snmpOpen(node.name.c_str()));
      if (!probe->session) {
        node.start = Node::Start::kNoSession;
        node.decided = true;
        continue;
      }
      if (!sendRead(probe->session.get(), probeVariable(), OVSNMP_GET_REQ, probe->reply, completed,
                    probe.get())) {
        // A request that could not be sent has asked no agent: it decides nothing.
        node.outcome = ProbeOutcome::kNoResponse;
        node.decided = true;
        continue;
      }
      (void)probe.release();  // owned by its completion from here on
      ++inFlight_;
    }
  }

  static void completed(OVsnmpSession, int error, OVsnmpPdu *response, void *context) {
    std::unique_ptr<Probe> probe(static_cast<Probe *>(context));
    Sweep &sweep = *probe->sweep;
    Node &node = sweep.nodes_[probe->node];
    if (OVsnmpIsSecurityRefusal(error)) node.refusal = error;
    node.outcome = probeOutcomeOf(completeRead(error, response, probeVariable(), OVSNMP_GET_REQ,
                                               probe->answered, probe->reply));
    node.decided = true;
    --sweep.inFlight_;
    // The session closes with the probe.
  }

  // Applies the decided nodes at the front, in order. The flag writes of a run of them are one
  // write group (at most kWriteGroup nodes), so that a run of answers costs one commit; the
  // group ends before the sweep waits again, so other writers wait for it only briefly.
  void applyDecided() {
    while (applied_ < nodes_.size() && nodes_[applied_].decided) {
      const size_t limit = std::min(nodes_.size(), applied_ + kWriteGroup);
      size_t end = applied_;
      while (end < limit && nodes_[end].decided) ++end;
      const bool grouped = end - applied_ > 1 && OVwDbBeginWriteGroup() == 0;
      for (; applied_ < end; ++applied_) {
        apply(nodes_[applied_]);
        nodes_[applied_] = Node{};  // its name is no longer needed
      }
      if (grouped && OVwDbEndWriteGroup() != 0) printOVwError("OVwDbEndWriteGroup");
    }
  }

  void apply(const Node &node) {
    switch (node.start) {
      case Node::Start::kNoName:
        std::printf("Null Selection Name for OVwOid %d\n", static_cast<int>(node.objectId));
        return;
      case Node::Start::kNoSession:
        std::printf("Failed to open SNMP Session for %s\n", LogText(node.name).c_str());
        return;
      case Node::Start::kProbed:
        break;
    }
    if (node.refusal != 0)
      std::printf("SNMPv3 request refused: %s\n", OVsnmpErrString(node.refusal));
    switch (
        applyProbeOutcome(node.objectId, fieldId_, node.name, node.outcome, FlagTable::kSweep)) {
      case NodeVerdict::kDevice:
      case NodeVerdict::kSilentDevice:
        ++counters_.devices;
        break;
      case NodeVerdict::kNonDevice:
        ++counters_.nonDevices;
        break;
    }
  }

  const OVwFieldId fieldId_;
  const size_t window_;
  NodeEventListener *const events_;
  std::vector<Node> nodes_;
  size_t next_ = 0;     // the next node to start
  size_t applied_ = 0;  // the nodes before this one are applied
  size_t inFlight_ = 0;
  Counters counters_;
};

// Stand-alone only: every object flagged after the sweep's writes.
void printFlagged() {
  FieldListPtr query(buildFieldValueList(1, kDeviceField, nullptr));
  ObjectIdListPtr flagged(query ? OVwDbListObjectsByFieldValues(query.get()) : nullptr);
  if (!flagged) {
    printOVwError("OVwDbListObjectsByFieldValues - 2");
    return;
  }
  std::printf("\n\nFound %d objects that match isKestaraDevice\n", flagged->count);
  for (OVwObjectId objectId : idsOf(*flagged)) {
    const char *name = OVwDbObjectIdToSelectionName(objectId);
    std::printf("%s\n", LogText(name != nullptr ? name : "(null)").c_str());
  }
}

}  // namespace

size_t sweepWindow() {
  const char *text = std::getenv("FERROW_SWEEP_WINDOW");
  if (text == nullptr || *text == '\0') return kDefaultSweepWindow;
  char *end = nullptr;
  errno = 0;
  const unsigned long value = std::strtoul(text, &end, 10);
  if (errno != 0 || *end != '\0' || text[0] == '-' || value < 1 || value > kMaxSweepWindow) {
    return kDefaultSweepWindow;
  }
  return value;
}

bool sweepDevices(SweepSummary summary, size_t window, NodeEventListener *events) {
  FieldListPtr query(buildFieldValueList(2, kNodeField, kSnmpField));
  ObjectIdListPtr objects(query ? OVwDbListObjectsByFieldValues(query.get()) : nullptr);
  if (!objects) {
    printOVwError("OVwDbListObjectsByFieldValues");
    return false;
  }
  std::printf("Found %d objects that match isNode and isSNMPSupported\n\n", objects->count);

  const OVwFieldId fieldId = OVwDbFieldNameToFieldId(kDeviceField);
  if (fieldId == 0) {
    std::printf("isKestaraDevice not defined in ovwdb\n");
    return false;
  }

  window = std::clamp<size_t>(window, 1, kMaxSweepWindow);
  const Counters counters = Sweep(idsOf(*objects), fieldId, window, events).run();
  query.reset();
  objects.reset();

  if (summary == SweepSummary::kNone) return true;
  std::printf("\n***** Found %d Kestara devices, %d Non-Kestara devices *****\n", counters.devices,
              counters.nonDevices);
  printFlagged();
  return true;
}
