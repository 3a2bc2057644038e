// map_session.cc - the service as an attached map application.
#include "map_session.h"

#include <fcntl.h>
#include <sys/eventfd.h>
#include <unistd.h>

#include <cstdio>
#include <future>
#include <span>
#include <vector>

#include "event_hub.h"
#include "log_text.h"
#include "map_database.h"

namespace mapview {

namespace {

constexpr int kEvents[] = {OVW_EVENT_END_SESSION,    OVW_EVENT_MAP_OPEN,
                           OVW_EVENT_MAP_CLOSE,      OVW_EVENT_OBJECTS_DELETED,
                           OVW_EVENT_OBJECT_CREATED, OVW_EVENT_SUBMAP_OPEN};

LogText lastError() { return LogText(OVwErrorMsg(OVwError())); }

std::vector<uint32_t> objectIds(const OVwObjectList *list) {
  std::vector<uint32_t> ids;
  if (list == nullptr || list->count <= 0 || list->objects == nullptr) return ids;
  for (const OVwObjectInfo &o : std::span(list->objects, static_cast<size_t>(list->count))) {
    ids.push_back(o.object_id);
  }
  return ids;
}

}  // namespace

MapSession::MapSession(MapWatcher &watcher)
    : watcher_(watcher), ended_(eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK)) {}

MapSession::~MapSession() {
  if (thread_.joinable()) thread_.join();
}

bool MapSession::start(const std::string &session, std::string &error) {
  if (!ended_) {
    error = "eventfd failed";
    return false;
  }
  std::promise<std::string> started;
  std::future<std::string> outcome = started.get_future();
  thread_ = std::thread(
      [this, session, promise = std::move(started)]() mutable { run(session, promise); });
  error = outcome.get();
  if (!error.empty()) {
    thread_.join();
    return false;
  }
  return true;
}

int MapSession::onEvent(void *self, int event, OVwMapInfo *map, void *value) {
  auto *session = static_cast<MapSession *>(self);
  std::vector<uint32_t> objects;
  int result = 0;
  switch (event) {
    case OVW_EVENT_END_SESSION:
      session->sessionEnded_ = true;
      break;
    case OVW_EVENT_MAP_CLOSE:
      // Acknowledged at once: the service keeps nothing of the map, so the close need not wait.
      result = OVwAckMapClose(map, static_cast<const OVwMapCloseInfo *>(value));
      break;
    case OVW_EVENT_OBJECTS_DELETED:
    case OVW_EVENT_OBJECT_CREATED:
      objects = objectIds(static_cast<const OVwObjectList *>(value));
      break;
    case OVW_EVENT_SUBMAP_OPEN:
      if (value != nullptr) objects.push_back(static_cast<const OVwSubmapInfo *>(value)->submap_id);
      break;
    default:
      break;
  }
  session->watcher_.eventArrived(event, std::move(objects));
  return result;
}

void MapSession::run(const std::string &session, std::promise<std::string> &started) {
  if (_OVwInitSession(5, kMapViewApplication, session.empty() ? nullptr : session.c_str()) < 0) {
    started.set_value(std::string("cannot join the map session: ") + lastError().c_str());
    return;
  }
  for (int event : kEvents) {
    if (OVwAddCallback(event, nullptr, onEvent, this) < 0) {
      started.set_value("cannot register for event " + std::to_string(event) + ": " +
                        lastError().c_str());
      OVwDone();
      return;
    }
  }
  started.set_value("");

  bool failing = false;
  while (!sessionEnded_) {
    OVwMessage message{};
    const int got = OVwGetMessage(&message);
    if (got == 0) break;
    if (got < 0) {
      // Nothing was read: say so once per run of failures and wait a little rather than spin.
      if (!failing) std::printf("mapview: OVwGetMessage() failed: %s\n", lastError().c_str());
      failing = true;
      usleep(100 * 1000);
      continue;
    }
    failing = false;
    (void)OVwTranslateMessage(&message);
    (void)OVwDispatchMessage(&message);
  }
  {
    const std::lock_guard lock(endMutex_);
    loopEnded_ = true;
    OVwDone();
  }
  const uint64_t one = 1;
  (void)!write(ended_.get(), &one, sizeof one);
}

bool MapSession::stop(MapDatabase &database) {
  if (!thread_.joinable()) return true;
  {
    const std::lock_guard lock(endMutex_);
    if (!loopEnded_) {
      kestara::ovw::Result<int> detached = database.detachProcess(getpid(), kMapViewApplication);
      if (!detached) {
        std::printf("mapview: cannot leave the session: %s\n",
                    LogText(detached.error().detail).c_str());
      }
      // Detaching wakes the loop's wait for messages, which then finds the attachment gone.
      if (!detached || *detached == 0) {
        // The loop can't be woken: it is left to end with the process.
        thread_.detach();
        return false;
      }
    }
  }
  thread_.join();
  return true;
}

}  // namespace mapview
