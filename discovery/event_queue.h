// event_queue.h - the objects named by node events that wait for a probe: one entry per
// object, however often it is named.
#ifndef KESTARA_DISCOVERY_EVENT_QUEUE_H
#define KESTARA_DISCOVERY_EVENT_QUEUE_H

#include <cstddef>
#include <deque>
#include <optional>
#include <unordered_map>

#include "OVw.h"

// Objects wait in the order they were first named. An object named again while it waits
// changes nothing; named while its probe runs, it is probed once more after that probe (at
// most once, however often it is named meanwhile), so one object is never probed twice at a
// time and each event is followed by a probe that started after it. At most `capacity`
// objects are waiting or being probed; an event for another object beyond that is refused.
class NodeEventQueue {
 public:
  explicit NodeEventQueue(size_t capacity) : capacity_(capacity) {}

  enum class Added {
    kQueued,   // the object waits now
    kWaiting,  // it was waiting already
    kAgain,    // it is being probed: probed once more afterwards
    kFull,     // a new object, and there is no room: the event is dropped
  };
  Added add(OVwObjectId object);

  // True when the object is waiting or being probed.
  [[nodiscard]] bool contains(OVwObjectId object) const { return objects_.contains(object); }

  // Takes the first waiting object, which counts as being probed from now on; nothing when
  // none waits.
  [[nodiscard]] std::optional<OVwObjectId> next();

  // The probe of `object` has ended. It waits again, at the back, when it was named meanwhile;
  // otherwise it leaves the queue. Nothing happens for an object that is not being probed.
  void finished(OVwObjectId object);

  [[nodiscard]] size_t waiting() const { return waiting_.size(); }
  [[nodiscard]] size_t probing() const { return objects_.size() - waiting_.size(); }

 private:
  struct Entry {
    bool probing = false;
    bool again = false;
  };
  size_t capacity_;
  std::unordered_map<OVwObjectId, Entry> objects_;  // waiting or being probed
  std::deque<OVwObjectId> waiting_;
};

#endif  // KESTARA_DISCOVERY_EVENT_QUEUE_H
