// event_hub.cc - Server-Sent Events and the watcher that feeds them.
#include "event_hub.h"

#include <algorithm>
#include <array>
#include <cstdio>
#include <functional>

#include "log_text.h"
#include "map_database.h"
#include "map_view.h"

namespace mapview {

using namespace std::chrono_literals;

// --- Subscription ----------------------------------------------------------------------------

Subscription::Wait Subscription::next(std::chrono::milliseconds timeout, std::string &frames) {
  std::unique_lock lock(mutex_);
  ready_.wait_for(lock, timeout, [&] { return closed_ || !frames_.empty(); });
  if (closed_) return Wait::kClosed;
  if (frames_.empty()) return Wait::kTimeout;
  frames.clear();
  for (const std::string &f : frames_) frames += f;
  frames_.clear();
  return Wait::kFrames;
}

void Subscription::push(const std::string &frame) {
  {
    const std::lock_guard lock(mutex_);
    if (closed_) return;
    if (frames_.size() >= kMaxQueued) {
      // The reader fell behind: what it missed is replaced by one request to read the map anew.
      frames_.clear();
      frames_.push_back(EventHub::frame("map", "{\"version\":0,\"resync\":true}"));
    }
    frames_.push_back(frame);
  }
  ready_.notify_one();
}

void Subscription::close() {
  {
    const std::lock_guard lock(mutex_);
    closed_ = true;
  }
  ready_.notify_all();
}

// --- EventHub --------------------------------------------------------------------------------

std::string EventHub::frame(std::string_view name, std::string_view data) {
  std::string out = "event: ";
  out += name;
  out += "\ndata: ";
  for (char c : data) out += (c == '\n' || c == '\r') ? ' ' : c;
  out += "\n\n";
  return out;
}

std::shared_ptr<Subscription> EventHub::subscribe(const std::string &first) {
  const std::lock_guard lock(mutex_);
  if (closed_ || subscriptions_.size() >= maxClients_) return nullptr;
  auto subscription = std::make_shared<Subscription>();
  subscription->push(first);
  subscriptions_.push_back(subscription);
  return subscription;
}

void EventHub::unsubscribe(const std::shared_ptr<Subscription> &subscription) {
  const std::lock_guard lock(mutex_);
  std::erase(subscriptions_, subscription);
}

void EventHub::publish(std::string_view name, std::string_view data) {
  const std::string text = frame(name, data);
  const std::lock_guard lock(mutex_);
  for (const std::shared_ptr<Subscription> &s : subscriptions_) s->push(text);
}

void EventHub::close() {
  const std::lock_guard lock(mutex_);
  closed_ = true;
  for (const std::shared_ptr<Subscription> &s : subscriptions_) s->close();
}

size_t EventHub::clients() const {
  const std::lock_guard lock(mutex_);
  return subscriptions_.size();
}

// --- MapWatcher ------------------------------------------------------------------------------

namespace {

// When the map is read again after the last event, counted from that event.
constexpr std::array<std::chrono::milliseconds, 7> kRereads = {50ms,  150ms,  300ms, 500ms,
                                                               750ms, 1000ms, 2000ms};

}  // namespace

void MapWatcher::start() {
  readMap();
  thread_ = std::thread([this] { run(); });
}

void MapWatcher::stop() {
  {
    const std::lock_guard lock(mutex_);
    stopping_ = true;
  }
  wake_.notify_all();
  if (thread_.joinable()) thread_.join();
}

void MapWatcher::eventArrived(int event, std::vector<uint32_t> objects) {
  // The event goes to the pages at once, from this thread: a reading of the map (tens of
  // milliseconds for a large one) must not hold it back. Each page's queue is bounded.
  const nlohmann::json data = {{"event", event}, {"objects", objects}};
  hub_.publish("ovw", data.dump());
  {
    const std::lock_guard lock(mutex_);
    eventsWaiting_ = true;
  }
  wake_.notify_one();
}

uint64_t MapWatcher::version() const {
  const std::lock_guard lock(mutex_);
  return version_;
}

void MapWatcher::readMap() {
  kestara::ovw::Result<MapView> view = database_.view();
  if (!view) {
    std::printf("mapview: cannot read the map: %s\n", LogText(view.error().detail).c_str());
    return;
  }
  const size_t digest = std::hash<std::string>{}(jsonText(mapJson(*view)));
  uint64_t version = 0;
  {
    const std::lock_guard lock(mutex_);
    if (digest == digest_ && version_ != 0) return;
    digest_ = digest;
    version = ++version_;
  }
  hub_.publish("map", "{\"version\":" + std::to_string(version) + "}");
}

void MapWatcher::run() {
  using Clock = std::chrono::steady_clock;
  Clock::time_point lastEvent{};
  size_t reread = kRereads.size();  // none pending
  std::unique_lock lock(mutex_);
  while (!stopping_) {
    if (eventsWaiting_) {
      // However many events came meanwhile, the map is read once after them.
      eventsWaiting_ = false;
      lock.unlock();
      readMap();
      lastEvent = Clock::now();
      reread = 0;
      lock.lock();
      continue;
    }
    if (reread < kRereads.size()) {
      const Clock::time_point due = lastEvent + kRereads[reread];
      if (wake_.wait_until(lock, due, [&] { return stopping_ || eventsWaiting_; })) continue;
      ++reread;
      lock.unlock();
      readMap();
      lock.lock();
      continue;
    }
    wake_.wait(lock, [&] { return stopping_ || eventsWaiting_; });
  }
}

}  // namespace mapview
