// http_service.cc - the HTTP side of the service.
#include "http_service.h"

#include <httplib.h>

#include <charconv>
#include <cstdio>
#include <nlohmann/json.hpp>
#include <optional>

#include "applet_relay.h"
#include "assets.h"
#include "event_hub.h"
#include "log_text.h"
#include "map_database.h"
#include "map_view.h"

namespace mapview {

namespace {

using namespace std::chrono_literals;
using nlohmann::json;

// Most objects one selection request may name.
constexpr size_t kMaxSelection = 64;
// How long an event stream stays quiet before a comment keeps it (and its proxies) open.
constexpr auto kKeepAlive = 15s;
// How often a quiet stream looks whether its page is still there.
constexpr auto kStreamStep = 500ms;

// The map's JSON and pictures go uncompressed: for exactly "application/json" and
// "image/svg+xml" the HTTP library picks brotli at its slowest setting when the browser accepts
// it, which took 1 to 2 s for a map of 1,000 nodes where sending took 100 ms. With a charset the
// types are the same to browsers, and the library leaves them alone; a reverse proxy in front
// may still compress them.
constexpr const char *kJson = "application/json; charset=utf-8";
constexpr const char *kSvg = "image/svg+xml; charset=utf-8";
constexpr const char *kSecurityPolicy =
    "default-src 'none'; script-src 'self'; style-src 'self'; img-src 'self'; "
    "connect-src 'self'; base-uri 'none'; form-action 'none'; frame-ancestors 'none'";

void sendJson(httplib::Response &res, int status, const json &body) {
  res.status = status;
  res.set_content(jsonText(body), kJson);
}

void sendError(httplib::Response &res, int status, const std::string &message) {
  sendJson(res, status, {{"error", message}});
}

const char *statusText(int status) {
  switch (status) {
    case 400:
      return "bad request";
    case 403:
      return "forbidden";
    case 404:
      return "not found";
    case 405:
      return "method not allowed";
    case 413:
      return "request body larger than 4096 bytes";
    case 414:
      return "request line too long";
    default:
      return "request failed";
  }
}

std::optional<uint32_t> parseId(std::string_view text) {
  uint32_t value = 0;
  auto [end, ec] = std::from_chars(text.data(), text.data() + text.size(), value);
  if (ec != std::errc() || end != text.data() + text.size() || value == 0) return std::nullopt;
  return value;
}

// The URL's "scheme://host[:port]" without a path, as browsers send it in Origin.
std::string originOf(std::string url) {
  while (!url.empty() && url.back() == '/') url.pop_back();
  return url;
}

// The "host[:port]" of an origin.
std::string hostOf(const std::string &origin) {
  const size_t scheme = origin.find("://");
  return scheme == std::string::npos ? origin : origin.substr(scheme + 3);
}

bool isLoopbackName(const std::string &host) {
  return host == "localhost" || host.starts_with("127.");
}

// Holds one of a limited number of places, given back when it goes.
class Slot {
 public:
  Slot(std::atomic<size_t> &used, size_t limit) : used_(used) {
    taken_ = used_.fetch_add(1) < limit;
    if (!taken_) used_.fetch_sub(1);
  }
  ~Slot() {
    if (taken_) used_.fetch_sub(1);
  }
  Slot(const Slot &) = delete;
  Slot &operator=(const Slot &) = delete;
  [[nodiscard]] bool taken() const { return taken_; }

 private:
  std::atomic<size_t> &used_;
  bool taken_ = false;
};

}  // namespace

HttpService::HttpService(ServiceOptions options, MapDatabase &database, MapWatcher &watcher,
                         EventHub &hub)
    : options_(std::move(options)),
      database_(database),
      watcher_(watcher),
      hub_(hub),
      server_(std::make_unique<httplib::Server>()) {
  // Each event stream holds a thread for as long as it is open: the pool has one for each
  // stream allowed, and the workers besides.
  const size_t threads = options_.maxStreams + options_.workers;
  server_->new_task_queue = [threads] { return new httplib::ThreadPool(threads); };
  server_->set_payload_max_length(kMaxBody);
  server_->set_read_timeout(5s);
  server_->set_write_timeout(5s);
  server_->set_keep_alive_timeout(5);
  routes();
}

HttpService::~HttpService() = default;

bool HttpService::bind(std::string &error) {
  if (options_.port == 0) {
    port_ = server_->bind_to_any_port(options_.host);
  } else if (server_->bind_to_port(options_.host, options_.port)) {
    port_ = options_.port;
  } else {
    port_ = -1;
  }
  if (port_ <= 0) {
    error = "cannot listen on " + options_.host + " port " + std::to_string(options_.port);
    return false;
  }
  const std::string port = ":" + std::to_string(port_);
  std::vector<std::string> names = {options_.host};
  if (isLoopbackName(options_.host)) names = {options_.host, "localhost", "127.0.0.1"};
  for (const std::string &name : names) {
    hosts_.insert(name + port);
    origins_.insert("http://" + name + port);
  }
  for (const std::string &origin : options_.origins) {
    origins_.insert(originOf(origin));
    hosts_.insert(hostOf(originOf(origin)));
  }
  return true;
}

void HttpService::run() { (void)server_->listen_after_bind(); }

void HttpService::stop() { server_->stop(); }

bool HttpService::hostAllowed(const std::string &host) const { return hosts_.contains(host); }

bool HttpService::originAllowed(const std::string &origin) const {
  return !origin.empty() && origins_.contains(origin);
}

void HttpService::routes() {
  httplib::Server &s = *server_;

  s.set_pre_routing_handler([this](const httplib::Request &req, httplib::Response &res) {
    if (!hostAllowed(req.get_header_value("Host"))) {
      sendError(res, 403, "this service does not answer to that host name");
      return httplib::Server::HandlerResponse::Handled;
    }
    if (req.method == "POST" && !originAllowed(req.get_header_value("Origin"))) {
      sendError(res, 403, "requests that change something must come from this service's pages");
      return httplib::Server::HandlerResponse::Handled;
    }
    return httplib::Server::HandlerResponse::Unhandled;
  });
  s.set_post_routing_handler([](const httplib::Request &, httplib::Response &res) {
    res.set_header("Content-Security-Policy", kSecurityPolicy);
    res.set_header("X-Content-Type-Options", "nosniff");
    res.set_header("Referrer-Policy", "no-referrer");
    res.set_header("X-Frame-Options", "DENY");
    if (!res.has_header("Cache-Control")) res.set_header("Cache-Control", "no-store");
  });
  s.set_error_handler([](const httplib::Request &, httplib::Response &res) {
    if (res.body.empty()) {
      sendError(res, res.status, statusText(res.status));
    }
  });
  s.set_exception_handler([](const httplib::Request &, httplib::Response &res, std::exception_ptr) {
    sendError(res, 500, "internal error");
  });

  s.Get("/", [](const httplib::Request &, httplib::Response &res) {
    res.set_content(std::string(indexPage()), "text/html; charset=utf-8");
  });
  s.Get("/static/app.css", [](const httplib::Request &, httplib::Response &res) {
    res.set_content(std::string(styleSheet()), "text/css; charset=utf-8");
  });
  s.Get("/static/app.js", [](const httplib::Request &, httplib::Response &res) {
    res.set_content(std::string(mapScript()), "text/javascript; charset=utf-8");
  });
  s.Get("/static/applet.js", [](const httplib::Request &, httplib::Response &res) {
    res.set_content(std::string(appletScript()), "text/javascript; charset=utf-8");
  });

  s.Get("/api/map", [this](const httplib::Request &, httplib::Response &res) {
    kestara::ovw::Result<MapView> view = database_.view();
    if (!view) return sendError(res, 500, view.error().detail);
    json body = mapJson(*view);
    body["version"] = watcher_.version();
    sendJson(res, 200, body);
  });
  // The two views of one submap: the map is read, and the submap the path names found in it.
  const auto submapRoute = [this](auto answer) {
    return [this, answer](const httplib::Request &req, httplib::Response &res) {
      kestara::ovw::Result<MapView> view = database_.view();
      if (!view) return sendError(res, 500, view.error().detail);
      const std::optional<uint32_t> id = parseId(req.matches[1].str());
      const SubmapView *submap = id ? view->submap(*id) : nullptr;
      if (submap == nullptr) return sendError(res, 404, "no such submap on the open map");
      answer(res, *view, *submap);
    };
  };
  s.Get(R"(/api/submap/([0-9]{1,10}))",
        submapRoute([](httplib::Response &res, const MapView &view, const SubmapView &submap) {
          sendJson(res, 200, submapJson(view, submap));
        }));
  s.Get(R"(/submap/([0-9]{1,10})\.svg)",
        submapRoute([](httplib::Response &res, const MapView &view, const SubmapView &submap) {
          res.set_content(submapSvg(view, submap), kSvg);
        }));

  s.Get("/events", [this](const httplib::Request &, httplib::Response &res) {
    const std::string hello =
        "retry: 2000\n" +
        EventHub::frame("hello", "{\"version\":" + std::to_string(watcher_.version()) + "}");
    std::shared_ptr<Subscription> subscription = hub_.subscribe(hello);
    if (!subscription) return sendError(res, 503, "too many event streams are open");
    res.set_header("Cache-Control", "no-store");
    res.set_header("X-Accel-Buffering", "no");
    res.set_chunked_content_provider(
        "text/event-stream",
        [subscription, lastWrite = std::chrono::steady_clock::now()](
            size_t, httplib::DataSink &sink) mutable {
          // Waits in short steps, so that a page that went away gives its place back soon.
          for (;;) {
            std::string frames;
            const Subscription::Wait wait = subscription->next(kStreamStep, frames);
            if (wait == Subscription::Wait::kClosed) {
              sink.done();
              return true;
            }
            if (wait == Subscription::Wait::kTimeout) {
              if (!sink.is_writable()) return false;
              if (std::chrono::steady_clock::now() - lastWrite < kKeepAlive) continue;
              frames = ": keep-alive\n\n";
            }
            lastWrite = std::chrono::steady_clock::now();
            return sink.write(frames.data(), frames.size());
          }
        },
        [this, subscription](bool) { hub_.unsubscribe(subscription); });
  });

  s.Get("/applet", [this](const httplib::Request &req, httplib::Response &res) {
    const std::optional<uint32_t> id = parseId(req.get_param_value("node"));
    if (!id) return sendError(res, 400, "name a node: /applet?node=ID");
    kestara::ovw::Result<MapView> view = database_.view();
    if (!view) return sendError(res, 500, view.error().detail);
    const ObjectView *node = view->object(*id);
    if (node == nullptr) return sendError(res, 404, "no such object on the open map");
    res.set_content(appletPage(*view, *node), "text/html; charset=utf-8");
  });

  // The routes that change something take POST alone.
  for (const char *path : {"/api/select", "/api/applet"}) {
    s.Get(path, [](const httplib::Request &, httplib::Response &res) {
      res.set_header("Allow", "POST");
      sendError(res, 405, "use POST");
    });
  }

  s.Post("/api/select", [this](const httplib::Request &req, httplib::Response &res) {
    const json body = json::parse(req.body, nullptr, false);
    const auto objects = body.is_object() ? body.find("objects") : body.end();
    if (!body.is_object() || objects == body.end() || !objects->is_array() ||
        objects->size() > kMaxSelection) {
      return sendError(res, 400, "send {\"objects\": [ID, ...]} (at most 64 ids)");
    }
    std::vector<uint32_t> ids;
    for (const json &id : *objects) {
      if (!id.is_number_unsigned() || id.get<uint64_t>() == 0 || id.get<uint64_t>() > UINT32_MAX) {
        return sendError(res, 400, "object ids are numbers from 1 to 4294967295");
      }
      ids.push_back(id.get<uint32_t>());
    }
    kestara::ovw::Result<MapView> view = database_.view();
    if (!view) return sendError(res, 500, view.error().detail);
    if (!view->mapName) return sendError(res, 409, "no map is open in the session");
    for (uint32_t id : ids) {
      if (view->object(id) == nullptr) {
        return sendError(res, 404, "object " + std::to_string(id) + " is not on the open map");
      }
    }
    kestara::ovw::Status selected = database_.select(ids);
    if (!selected) return sendError(res, 409, selected.error().detail);
    sendJson(res, 200, {{"selection", ids}});
  });

  s.Post("/api/applet", [this](const httplib::Request &req, httplib::Response &res) {
    const AppletRequest request = buildAppletRequest(json::parse(req.body, nullptr, false));
    if (!request.error.empty()) return sendError(res, 400, request.error);
    const Slot slot(appletCalls_, options_.maxAppletCalls);
    if (!slot.taken()) return sendError(res, 503, "too many gateway requests are waiting");
    const GatewayExchange exchange =
        askGateway(options_.gateway, request.text, options_.appletTimeout);
    json body = {{"request", request.text},
                 {"answered", exchange.answered},
                 {"elapsed_ms", exchange.elapsed.count()}};
    if (exchange.answered) {
      body["reply"] = exchange.reply;
      std::printf("mapview: %s -> %s\n", LogText(request.text).c_str(),
                  LogText(exchange.reply).c_str());
      return sendJson(res, 200, body);
    }
    body["error"] = exchange.error;
    std::printf("mapview: %s: %s\n", LogText(request.text).c_str(),
                LogText(exchange.error).c_str());
    sendJson(res, 502, body);
  });
}

}  // namespace mapview
