// map_session.h - the service as an attached map application: a thread of its own joins the
// map session, takes its events with the platform's message loop and hands each to the map
// watcher. This thread is the only one that calls the OVw library (see map_database.h).
#ifndef KESTARA_MAPVIEW_MAP_SESSION_H
#define KESTARA_MAPVIEW_MAP_SESSION_H

#include <atomic>
#include <future>
#include <mutex>
#include <string>
#include <thread>

#include "OVw.h"
#include "handles.h"

namespace mapview {

class MapDatabase;
class MapWatcher;

// The application name under which the service joins the session.
inline constexpr const char *kMapViewApplication = "Kestara Map View";

class MapSession {
 public:
  explicit MapSession(MapWatcher &watcher);
  MapSession(const MapSession &) = delete;
  MapSession &operator=(const MapSession &) = delete;
  ~MapSession();

  // Starts the thread, which joins `session` and registers for the map's events. Returns once
  // it has: true, or false with the reason in `error` (the thread has then ended).
  [[nodiscard]] bool start(const std::string &session, std::string &error);
  // Readable once the message loop has ended (the session ended, or stop() asked for it).
  [[nodiscard]] int endedDescriptor() const { return ended_.get(); }
  [[nodiscard]] bool sessionEnded() const { return sessionEnded_; }
  // Ends the message loop: the attachment is removed through `database`, and the waiting thread
  // is woken to find it gone; then the thread is joined. False when the loop could not be woken:
  // the thread is then left running, and the caller must end the process without returning
  // from main.
  [[nodiscard]] bool stop(MapDatabase &database);

 private:
  void run(const std::string &session, std::promise<std::string> &started);
  static int onEvent(void *self, int event, OVwMapInfo *map, void *value);

  MapWatcher &watcher_;
  UniqueFd ended_;
  std::thread thread_;
  std::mutex endMutex_;  // held while the loop ends, and while stop() wakes it
  bool loopEnded_ = false;
  std::atomic<bool> sessionEnded_ = false;
};

}  // namespace mapview

#endif  // KESTARA_MAPVIEW_MAP_SESSION_H
