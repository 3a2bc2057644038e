// http_service.h - the HTTP side of the service: the map pages, the map as JSON and SVG, the
// event stream, the selection and the applet relay.
//
// Routes (GET unless said):
//   /                         the map page          /static/{app.css,app.js,applet.js}
//   /api/map                  the open map (JSON)   /api/submap/ID      one submap (JSON)
//   /submap/ID.svg            one submap drawn      /events             Server-Sent Events
//   /applet?node=ID           the applet page of a node on the map
//   POST /api/select          {"objects":[ID...]}: the session's selection
//   POST /api/applet          one gateway request (applet_relay.h) and its reply
// POSTs must carry an Origin header naming the service itself (or one given with --origin):
// otherwise 403. Every request must name the service in its Host header (a name that a
// stranger's DNS points at the loopback address is refused: 403). Bodies are limited to
// kMaxBody bytes (413).
#ifndef KESTARA_MAPVIEW_HTTP_SERVICE_H
#define KESTARA_MAPVIEW_HTTP_SERVICE_H

#include <netinet/in.h>

#include <atomic>
#include <chrono>
#include <cstddef>
#include <memory>
#include <set>
#include <string>
#include <vector>

namespace httplib {
class Server;
}

namespace mapview {

class EventHub;
class MapDatabase;
class MapWatcher;

// The largest request body accepted.
inline constexpr size_t kMaxBody = 4096;

struct ServiceOptions {
  std::string host = "127.0.0.1";
  int port = 8080;                   // 0: any free port
  std::vector<std::string> origins;  // more origins allowed to POST ("https://name[:port]")
  sockaddr_in gateway{};
  std::chrono::milliseconds appletTimeout{15000};
  size_t maxStreams = 16;     // event streams open at once
  size_t maxAppletCalls = 8;  // gateway requests in flight at once
  size_t workers = 8;         // threads for everything but the event streams
};

class HttpService {
 public:
  HttpService(ServiceOptions options, MapDatabase &database, MapWatcher &watcher, EventHub &hub);
  ~HttpService();
  HttpService(const HttpService &) = delete;
  HttpService &operator=(const HttpService &) = delete;

  // Binds the listening socket. False with the reason in `error`.
  [[nodiscard]] bool bind(std::string &error);
  // The port bound.
  [[nodiscard]] int port() const { return port_; }
  // Serves until stop(). Call after bind().
  void run();
  void stop();

 private:
  void routes();
  [[nodiscard]] bool hostAllowed(const std::string &host) const;
  [[nodiscard]] bool originAllowed(const std::string &origin) const;

  ServiceOptions options_;
  MapDatabase &database_;
  MapWatcher &watcher_;
  EventHub &hub_;
  std::unique_ptr<httplib::Server> server_;
  int port_ = 0;
  std::set<std::string> hosts_;
  std::set<std::string> origins_;
  std::atomic<size_t> appletCalls_ = 0;
};

}  // namespace mapview

#endif  // KESTARA_MAPVIEW_HTTP_SERVICE_H
