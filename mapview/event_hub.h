// event_hub.h - Server-Sent Events: the streams of the connected pages, and the watcher that
// feeds them from the map session's events.
#ifndef KESTARA_MAPVIEW_EVENT_HUB_H
#define KESTARA_MAPVIEW_EVENT_HUB_H

#include <chrono>
#include <condition_variable>
#include <cstddef>
#include <cstdint>
#include <deque>
#include <memory>
#include <mutex>
#include <string>
#include <string_view>
#include <thread>
#include <vector>

namespace mapview {

class MapDatabase;

// One page's stream: the frames published since it subscribed, in order.
class Subscription {
 public:
  enum class Wait { kFrames, kTimeout, kClosed };
  // Waits up to `timeout` for frames and moves them all into `frames`.
  [[nodiscard]] Wait next(std::chrono::milliseconds timeout, std::string &frames);

 private:
  friend class EventHub;
  // Frames a slow reader may have waiting; past them the oldest are dropped and the page is
  // told to read the map again.
  static constexpr size_t kMaxQueued = 64;
  void push(const std::string &frame);
  void close();

  std::mutex mutex_;
  std::condition_variable ready_;
  std::deque<std::string> frames_;
  bool closed_ = false;
};

// The open streams, at most `maxClients` at once.
class EventHub {
 public:
  explicit EventHub(size_t maxClients) : maxClients_(maxClients) {}
  EventHub(const EventHub &) = delete;
  EventHub &operator=(const EventHub &) = delete;

  // A new stream that starts with `first` (a frame); null when `maxClients` are open or the hub
  // is closed.
  [[nodiscard]] std::shared_ptr<Subscription> subscribe(const std::string &first);
  void unsubscribe(const std::shared_ptr<Subscription> &subscription);
  // Sends the event `name` with `data` (one line, such as compact JSON) to every stream.
  void publish(std::string_view name, std::string_view data);
  // Ends every stream and refuses new ones.
  void close();
  [[nodiscard]] size_t clients() const;

  // "event: NAME\ndata: DATA\n\n"; line breaks in `data` become blanks.
  [[nodiscard]] static std::string frame(std::string_view name, std::string_view data);

 private:
  const size_t maxClients_;
  mutable std::mutex mutex_;
  std::vector<std::shared_ptr<Subscription>> subscriptions_;
  bool closed_ = false;
};

// Turns the map session's events into stream events. For each OVw event it publishes "ovw"
// ({"event":N,"objects":[...]}) and then reads the map at once and again at a few moments after
// the event (up to 2 s), publishing "map" ({"version":N}) whenever what the map shows changed:
// the writes that follow an event in other programs (the device flag after a probe, the icon's
// symbol after its object) post no event of their own. Nothing is read while no event comes.
class MapWatcher {
 public:
  MapWatcher(MapDatabase &database, EventHub &hub) : database_(database), hub_(hub) {}
  MapWatcher(const MapWatcher &) = delete;
  MapWatcher &operator=(const MapWatcher &) = delete;
  ~MapWatcher() { stop(); }

  void start();
  void stop();
  // Called by the session thread for each event it receives.
  void eventArrived(int event, std::vector<uint32_t> objects);
  // The version of the map last read: it grows whenever the map changed.
  [[nodiscard]] uint64_t version() const;

 private:
  void run();
  void readMap();

  MapDatabase &database_;
  EventHub &hub_;
  mutable std::mutex mutex_;
  std::condition_variable wake_;
  bool eventsWaiting_ = false;  // events came since the map was last read
  bool stopping_ = false;
  uint64_t version_ = 0;
  size_t digest_ = 0;
  std::thread thread_;
};

}  // namespace mapview

#endif  // KESTARA_MAPVIEW_EVENT_HUB_H
