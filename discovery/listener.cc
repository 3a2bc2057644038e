// listener.cc - the node event listener: each node event names a database object, which is
// probed and flagged as setDevice does, with several probes in flight at once.
#include <sys/select.h>

#include <array>
#include <cerrno>
#include <chrono>
#include <cinttypes>
#include <cstdio>
#include <cstring>
#include <memory>
#include <new>
#include <optional>
#include <string>

#include "device.h"
#include "discovery.h"
#include "event_queue.h"
#include "log_text.h"
#include "protocol.h"

namespace {

// False only when the database says that no such object exists; when it can't tell, the
// probe finds out (and setDevice's lines say what it found).
bool objectExists(OVwObjectId objectId) {
  const OVwFieldId fieldId = OVwDbFieldNameToFieldId(kDeviceField);
  if (fieldId == 0) return true;
  return OVwDbGetFieldBooleanValue(objectId, fieldId) >= 0 || OVwError() != OVW_ERR_NOT_FOUND;
}

// Reports the events that the session dropped before any other work (not authenticated, or not
// authorised by the event configuration): at the first drop, then at most once a minute while
// drops go on.
class DropReport {
 public:
  using Clock = std::chrono::steady_clock;
  static constexpr std::chrono::seconds kInterval{60};

  void check(OVsnmpSession session) {
    OVsnmpEventDrops drops{};
    if (OVsnmpGetEventDrops(session, &drops) != 0) return;
    const uint64_t total = drops.unauthenticated + drops.unauthorised;
    if (total == seen_) return;
    seen_ = total;
    const auto now = Clock::now();
    if (reported_ && now - last_ < kInterval) return;
    reported_ = true;
    last_ = now;
    const std::string source(drops.last_source,
                             strnlen(drops.last_source, sizeof drops.last_source));
    std::printf("Dropped events: %" PRIu64 " unauthenticated, %" PRIu64
                " unauthorised (last from %s: %s)\n",
                drops.unauthenticated, drops.unauthorised,
                source.empty() ? "an unknown source" : LogText(source).c_str(),
                OVsnmpErrString(drops.last_reason));
  }

 private:
  uint64_t seen_ = 0;
  bool reported_ = false;
  Clock::time_point last_;
};

}  // namespace

// The objects waiting for a probe and the probes in flight, while the listener runs.
struct NodeEventListener::Probes {
  NodeEventQueue queue{kMaxWaitingObjects};
  std::array<DeviceProbe, kProbeWindow> slots;
  size_t inFlight = 0;
  DropReport drops;
};

NodeEventListener::NodeEventListener() = default;

NodeEventListener::~NodeEventListener() {
  probes_.reset();  // abandons the probes in flight
  if (session_ != 0) (void)OVsnmpClose(session_);
}

void NodeEventListener::probeDone(DeviceProbe &probe, bool /*answered*/, void *context) {
  auto *p = static_cast<Probes *>(context);
  --p->inFlight;
  p->queue.finished(probe.objectId());
}

// Starts probes for waiting objects while the window has room.
void NodeEventListener::startProbes() {
  Probes &p = *probes_;
  while (p.inFlight < kProbeWindow) {
    const std::optional<OVwObjectId> next = p.queue.next();
    if (!next) return;
    DeviceProbe *slot = nullptr;
    for (DeviceProbe &candidate : p.slots) {
      if (!candidate.busy()) {
        slot = &candidate;
        break;
      }
    }
    if (slot == nullptr) return;  // not reached: a slot is free below the window
    if (slot->start(*next, {}, probeDone, &p)) {
      p.queue.finished(*next);  // decided without the agent, lines printed
    } else {
      ++p.inFlight;
    }
  }
}

void NodeEventListener::objectNamed(OVwObjectId objectId) {
  if (!probes_) return;
  NodeEventQueue &queue = probes_->queue;
  // An object already waiting or being probed is known to exist: no look-up for the events
  // of a flood that names one object.
  if (!queue.contains(objectId) && !objectExists(objectId)) return;
  try {
    (void)queue.add(objectId);
  } catch (const std::bad_alloc &) {
    // The event is lost; the listener goes on.
  }
}

void NodeEventListener::sessionFailed() {
  session_ = 0;  // closed by the callback
  stopListening_ = true;
}

bool NodeEventListener::open() {
  if (openTried_) return session_ != 0;
  openTried_ = true;
  session_ =
      OVsnmpEventOpen(nullptr, "Kestara Discovery", nodeEventCallback, this, kNodeEventFilter);
  if (session_ == 0) {
    openError_ = OVsnmpErrno;
    return false;
  }
  probes_ = std::make_unique<Probes>();
  return true;
}

void NodeEventListener::serve() {
  if (!probes_ || session_ == 0) return;
  startProbes();
  probes_->drops.check(session_);
}

NodeEventListener::End NodeEventListener::listen(int pmdSocket) {
  if (!open()) {
    if (stopListening_) return End::kEnded;  // it failed while the sweep served it
    std::printf("Could not OVsnmpSession for events %s\n", OVsnmpErrString(openError_));
    return End::kEnded;
  }
  // Only a descriptor that a read set can hold is watched.
  const bool watchPmd = pmdSocket > 0 && pmdSocket < FD_SETSIZE;
  DropReport &drops = probes_->drops;
  End end = End::kEnded;
  for (;;) {
    startProbes();
    fd_set readSet;
    FD_ZERO(&readSet);
    timeval timeout{};
    int count = OVsnmpGetRetryInfo(&readSet, &timeout);
    if (count == 0) break;
    if (watchPmd) {
      FD_SET(pmdSocket, &readSet);
      if (pmdSocket >= count) count = pmdSocket + 1;
    }
    const int ready = select(count, &readSet, nullptr, nullptr, &timeout);
    if (ready < 0 && errno != EINTR) {
      std::printf("Socket Error!\n");
      break;
    }
    if (ready > 0) {
      // A stop request ends the listener before the events that wait with it are read.
      if (watchPmd && FD_ISSET(pmdSocket, &readSet)) {
        end = End::kStopRequested;
        break;
      }
      OVsnmpRead(&readSet);
      if (!stopListening_) drops.check(session_);
    }
    if (stopListening_) break;
    OVsnmpDoRetry();
  }
  probes_.reset();  // abandons the probes in flight
  // A failed session was closed by the callback already.
  if (session_ != 0) (void)OVsnmpClose(session_);
  session_ = 0;
  return end;
}
