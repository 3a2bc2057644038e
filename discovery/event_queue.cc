// event_queue.cc - the objects named by node events that wait for a probe.
#include "event_queue.h"

#include <new>

NodeEventQueue::Added NodeEventQueue::add(OVwObjectId object) {
  auto it = objects_.find(object);
  if (it != objects_.end()) {
    if (!it->second.probing) return Added::kWaiting;
    it->second.again = true;
    return Added::kAgain;
  }
  if (objects_.size() >= capacity_) return Added::kFull;
  it = objects_.emplace(object, Entry{}).first;
  try {
    waiting_.push_back(object);
  } catch (const std::bad_alloc &) {
    objects_.erase(it);
    throw;
  }
  return Added::kQueued;
}

std::optional<OVwObjectId> NodeEventQueue::next() {
  if (waiting_.empty()) return std::nullopt;
  const OVwObjectId object = waiting_.front();
  waiting_.pop_front();
  objects_.find(object)->second.probing = true;
  return object;
}

void NodeEventQueue::finished(OVwObjectId object) {
  auto it = objects_.find(object);
  if (it == objects_.end() || !it->second.probing) return;
  if (it->second.again) {
    try {
      waiting_.push_back(object);
      it->second = Entry{};
      return;
    } catch (const std::bad_alloc &) {
      // Without room to wait again it leaves the queue; its next event queues it anew.
    }
  }
  objects_.erase(it);
}
