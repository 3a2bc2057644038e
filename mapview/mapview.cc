// mapview.cc - the map on the web: serves the open map of this host's map session over HTTP as
// SVG pictures with live updates, relays the applet's gateway requests for its page, and sets
// the session's selection.
#include <poll.h>
#include <unistd.h>

#include <cerrno>
#include <charconv>
#include <cstdio>
#include <cstdlib>
#include <span>
#include <string>
#include <string_view>
#include <thread>
#include <vector>

#include "OVs.h"
#include "admin.h"
#include "applet_relay.h"
#include "event_hub.h"
#include "http_service.h"
#include "log_text.h"
#include "map_database.h"
#include "map_session.h"
#include "program_info.h"
#include "store_backend.h"

namespace {

using namespace mapview;  // NOLINT(google-build-using-namespace)

constexpr std::string_view kUsage =
    "Usage: mapview [--listen ADDRESS:PORT] [--session NAME] [--gateway ADDRESS:PORT]\n"
    "               [--origin URL]... [--applet-timeout-ms N] [--max-streams N]\n"
    "Serves the open map of a map session on the web: its submaps drawn as SVG, kept current\n"
    "from the session's events; clicking a symbol selects it in the session; the product's icon\n"
    "opens the applet page, whose gateway requests the service sends for it.\n"
    "  --listen ADDRESS:PORT    where to serve HTTP (default 127.0.0.1:8080; port 0: any)\n"
    "  --session NAME           the map session (default <host name>:0)\n"
    "  --gateway ADDRESS:PORT   the applet gateway, tavrin (default 127.0.0.1:8088)\n"
    "  --origin URL             also accept requests made from pages of URL, such as\n"
    "                           https://maps.example.net (a reverse proxy's address)\n"
    "  --applet-timeout-ms N    how long to wait for a gateway reply (default 15000)\n"
    "  --max-streams N          live event streams open at once (default 16)\n"
    "  --help, --version\n"
    "Environment: OVW_DATABASE (the object database with the map session).\n"
    "It ends when the session ends, or on SIGTERM or SIGINT.\n";

struct Options {
  ServiceOptions service;
  std::string session;
};

bool parseCount(std::string_view text, long min, long max, long &value) {
  auto [end, ec] = std::from_chars(text.data(), text.data() + text.size(), value);
  return ec == std::errc() && end == text.data() + text.size() && value >= min && value <= max;
}

// Reads the command line into `options`; false (with a message) on a bad one.
bool readOptions(std::span<char *const> args, Options &options) {
  options.service.gateway = *parseIpv4Endpoint("127.0.0.1:8088");
  for (size_t i = 1; i < args.size(); ++i) {
    const std::string_view name = args[i];
    if (i + 1 >= args.size()) {
      std::fprintf(stderr, "mapview: unknown option or missing value: %s\n", args[i]);
      return false;
    }
    const std::string_view value = args[++i];
    long number = 0;
    if (name == "--listen") {
      const size_t colon = value.rfind(':');
      if (colon == std::string_view::npos || colon == 0 ||
          !parseCount(value.substr(colon + 1), 0, 65535, number)) {
        std::fprintf(stderr, "mapview: --listen wants ADDRESS:PORT\n");
        return false;
      }
      options.service.host = std::string(value.substr(0, colon));
      options.service.port = static_cast<int>(number);
    } else if (name == "--session") {
      options.session = std::string(value);
    } else if (name == "--gateway") {
      const std::optional<sockaddr_in> gateway = parseIpv4Endpoint(value);
      if (!gateway) {
        std::fprintf(stderr, "mapview: --gateway wants an IPv4 ADDRESS:PORT\n");
        return false;
      }
      options.service.gateway = *gateway;
    } else if (name == "--origin") {
      if (!value.starts_with("http://") && !value.starts_with("https://")) {
        std::fprintf(stderr, "mapview: --origin wants a URL such as https://maps.example.net\n");
        return false;
      }
      options.service.origins.emplace_back(value);
    } else if (name == "--applet-timeout-ms") {
      if (!parseCount(value, 1, 600000, number)) {
        std::fprintf(stderr, "mapview: --applet-timeout-ms wants 1 to 600000\n");
        return false;
      }
      options.service.appletTimeout = std::chrono::milliseconds(number);
    } else if (name == "--max-streams") {
      if (!parseCount(value, 1, 256, number)) {
        std::fprintf(stderr, "mapview: --max-streams wants 1 to 256\n");
        return false;
      }
      options.service.maxStreams = static_cast<size_t>(number);
    } else {
      std::fprintf(stderr, "mapview: unknown option %s\n", args[i - 1]);
      return false;
    }
  }
  return true;
}

// Waits until a stop is requested or the session's message loop ends.
void waitForTheEnd(int stopFd, int endedFd) {
  for (;;) {
    pollfd fds[2] = {{stopFd, POLLIN, 0}, {endedFd, POLLIN, 0}};
    const int ready = poll(fds, 2, -1);
    if (ready < 0 && errno == EINTR) continue;
    if (ready < 0) return;
    if ((fds[0].revents & POLLIN) != 0) {
      OVsPMDCommand command{};
      (void)OVsReceive(&command);
      std::printf("mapview: stop requested (signal %d)\n", command.code);
      return;
    }
    if ((fds[1].revents & POLLIN) != 0) {
      std::printf("mapview: the map session ended\n");
      return;
    }
  }
}

}  // namespace

int main(int argc, char **argv) {
  std::setvbuf(stdout, nullptr, _IOLBF, 0);
  const std::span<char *const> args(argv, static_cast<size_t>(argc));
  if (answerInfoOption(args, "mapview", kUsage)) return 0;
  Options options;
  if (!readOptions(args, options)) {
    std::fputs(kUsage.data(), stderr);
    return 2;
  }
  if (options.session.empty()) options.session = kestara::ovw::admin::localSessionName();

  // Before any thread starts, so that the stop signals are blocked in all of them.
  int stopFd = -1;
  if (OVsInit(&stopFd) < 0) {
    std::printf("mapview: process management init failed\n");
    return 1;
  }
  const std::string database = kestara::ovw::databasePath();
  kestara::ovw::Result<std::unique_ptr<MapDatabase>> opened =
      MapDatabase::open(database, options.session);
  if (!opened) {
    std::printf("mapview: %s\n", LogText(opened.error().detail).c_str());
    (void)OVsInitComplete(OVS_RSP_FAILURE, "cannot open the object database");
    return 1;
  }
  MapDatabase &db = **opened;
  EventHub hub(options.service.maxStreams);
  MapWatcher watcher(db, hub);
  MapSession session(watcher);
  std::string error;
  if (!session.start(options.session, error)) {
    std::printf("mapview: session \"%s\": %s\n", LogText(options.session).c_str(),
                LogText(error).c_str());
    (void)OVsInitComplete(OVS_RSP_FAILURE, "cannot join the map session");
    return 1;
  }
  HttpService http(options.service, db, watcher, hub);
  if (!http.bind(error)) {
    std::printf("mapview: %s\n", LogText(error).c_str());
    (void)OVsInitComplete(OVS_RSP_FAILURE, error.c_str());
    if (!session.stop(db)) std::_Exit(1);
    return 1;
  }
  watcher.start();
  std::thread server([&http] { http.run(); });
  const std::string url =
      "http://" + options.service.host + ":" + std::to_string(http.port()) + "/";
  std::printf("mapview: session \"%s\", map on %s\n", LogText(options.session).c_str(),
              url.c_str());
  (void)OVsInitComplete(OVS_RSP_SUCCESS, ("Serving the map on " + url).c_str());

  waitForTheEnd(stopFd, session.endedDescriptor());

  (void)OVsDone("Stopping the map service");
  // The streams end first: the server waits for every request it is serving.
  hub.close();
  http.stop();
  server.join();
  watcher.stop();
  if (!session.stop(db)) {
    std::printf("mapview: ended without leaving the session\n");
    std::fflush(stdout);
    std::_Exit(0);
  }
  std::printf("mapview: ended\n");
  return 0;
}
