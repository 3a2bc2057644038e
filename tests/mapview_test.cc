// System tests of the map web service: the real mapview joins a map session that the `ovw` tool
// plays, beside the real mossick (the product's icons), tavrin (the applet gateway) and snmpd
// (the devices); an HTTP client plays the browser.
#include <gtest/gtest.h>
#include <httplib.h>

#include <algorithm>
#include <chrono>
#include <mutex>
#include <nlohmann/json.hpp>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include "gateway.h"
#include "map_service.h"
#include "snmp_agent.h"
#include "station.h"

namespace {

using namespace std::chrono_literals;
using nlohmann::json;

bool contains(const std::string &text, const std::string &what) {
  return text.find(what) != std::string::npos;
}

using kt::MapStation;

// An HTTP client of the service.
class Browser {
 public:
  explicit Browser(const kt::MapService &service)
      : client_("127.0.0.1", service.port()), origin_(service.origin()) {
    client_.set_read_timeout(kt::scaled(20s));
  }
  httplib::Result get(const std::string &path, const httplib::Headers &headers = {}) {
    return client_.Get(path.c_str(), headers);
  }
  // A POST as the service's own page sends it (with its Origin), unless `headers` say otherwise.
  httplib::Result post(const std::string &path, const std::string &body,
                       std::optional<httplib::Headers> headers = std::nullopt) {
    const httplib::Headers h = headers.value_or(httplib::Headers{{"Origin", origin_}});
    return client_.Post(path.c_str(), h, body, "application/json");
  }
  json getJson(const std::string &path) {
    httplib::Result r = get(path);
    if (!r || r->status != 200) {
      ADD_FAILURE() << path << ": " << (r ? r->status : -1);
      return json();
    }
    return json::parse(r->body, nullptr, false);
  }
  // One applet request through the service: its JSON answer.
  json applet(const json &call) {
    httplib::Result r = post("/api/applet", call.dump());
    if (!r) {
      ADD_FAILURE() << "no answer to " << call.dump();
      return json();
    }
    json body = json::parse(r->body, nullptr, false);
    body["status"] = r->status;
    return body;
  }

 private:
  httplib::Client client_;
  std::string origin_;
};

// The service's event stream, read on a thread of its own, as a browser's EventSource reads it
// (asking for compressed answers, as browsers do).
class EventStream {
 public:
  explicit EventStream(const kt::MapService &service) : client_("127.0.0.1", service.port()) {
    client_.set_read_timeout(kt::scaled(60s));
    thread_ = std::thread([this] {
      const httplib::Headers headers = {{"Accept", "text/event-stream"},
                                        {"Accept-Encoding", "gzip, deflate, br"}};
      (void)client_.Get(
          "/events", headers,
          [this](const httplib::Response &r) {
            const std::lock_guard lock(mutex_);
            status_ = r.status;
            return true;
          },
          [this](const char *data, size_t length) {
            const std::lock_guard lock(mutex_);
            text_.append(data, length);
            return true;
          });
      const std::lock_guard lock(mutex_);
      ended_ = true;
    });
  }
  ~EventStream() {
    client_.stop();
    thread_.join();
  }
  std::string text() {
    const std::lock_guard lock(mutex_);
    return text_;
  }
  int status() {
    const std::lock_guard lock(mutex_);
    return status_;
  }
  bool ended() {
    const std::lock_guard lock(mutex_);
    return ended_;
  }
  bool waitFor(const std::string &what, size_t from = 0, std::chrono::milliseconds t = 5s) {
    return kt::eventually([&] { return text().find(what, from) != std::string::npos; }, t);
  }

 private:
  httplib::Client client_;
  std::mutex mutex_;
  std::string text_;
  int status_ = 0;
  bool ended_ = false;
  std::thread thread_;
};

// --- The map ---------------------------------------------------------------------------------

// The map as JSON and SVG: nodes with their flags, and the product's icon that mossick placed on
// the flagged node's submap, as a link to its applet page.
TEST(MapViewMap, FlaggedNodesShowTheProductIcon) {
  MapStation st;
  const uint32_t device = st.addNode("device.test", "device");
  const uint32_t plain = st.addNode("plain.test", "plain");
  ASSERT_TRUE(st.db().setFlag(device, true));
  st.startMossick(1);
  const uint32_t deviceSubmap = st.submapOf(device);
  ASSERT_NE(0u, deviceSubmap);

  kt::MapService service(st.station());
  ASSERT_TRUE(service.ready()) << service.process().output() << service.process().errors();
  Browser browser(service);
  const json map = browser.getJson("/api/map");
  EXPECT_EQ(true, map["running"]);
  EXPECT_EQ("default", map["map"]);
  const uint32_t root = map["root_submap"].get<uint32_t>();
  for (const json &o : map["objects"]) {
    if (o["id"] == device) {
      EXPECT_EQ(true, o["isKestaraDevice"]);
    } else if (o["id"] == plain) {
      EXPECT_EQ(false, o["isKestaraDevice"]);
    }
  }
  const json submap = browser.getJson("/api/submap/" + std::to_string(deviceSubmap));
  ASSERT_EQ(1u, submap["symbols"].size()) << submap.dump();
  EXPECT_EQ(true, submap["symbols"][0]["product_icon"]);
  EXPECT_EQ(json::array({device}), submap["symbols"][0]["targets"]);
  EXPECT_EQ(true, submap["parent_flagged"]);

  httplib::Result svg = browser.get("/submap/" + std::to_string(deviceSubmap) + ".svg",
                                    {{"Accept-Encoding", "gzip, deflate, br"}});
  ASSERT_TRUE(svg);
  EXPECT_EQ(200, svg->status);
  EXPECT_EQ("image/svg+xml; charset=utf-8", svg->get_header_value("Content-Type"));
  // Not compressed, though the browser would take it (brotli at the library's setting costs
  // seconds on large maps).
  EXPECT_EQ("", svg->get_header_value("Content-Encoding"));
  EXPECT_TRUE(contains(svg->body, "class=\"symbol product-icon\"")) << svg->body;
  EXPECT_TRUE(contains(svg->body, "<a href=\"/applet?node=" + std::to_string(device) + "\""));
  EXPECT_TRUE(contains(svg->body, "isKestaraDevice: true"));

  httplib::Result rootSvg = browser.get("/submap/" + std::to_string(root) + ".svg");
  ASSERT_TRUE(rootSvg);
  EXPECT_TRUE(contains(rootSvg->body, "class=\"symbol node flagged\" data-symbol="));
  EXPECT_TRUE(contains(rootSvg->body, "data-object=\"" + std::to_string(plain) + "\""));
  EXPECT_FALSE(contains(rootSvg->body, "product-icon"));

  httplib::Result page = browser.get("/");
  ASSERT_TRUE(page);
  EXPECT_TRUE(contains(page->body, "<script src=\"/static/app.js\"></script>"));
  EXPECT_TRUE(contains(page->get_header_value("Content-Security-Policy"), "script-src 'self'"));
  httplib::Result applet = browser.get("/applet?node=" + std::to_string(device));
  ASSERT_TRUE(applet);
  EXPECT_EQ(200, applet->status);
  EXPECT_TRUE(contains(applet->body, "Varnis Console: <span class=\"device\">device</span>"));
}

// Names from the database come out of every page escaped, and whole in the JSON.
TEST(MapViewMap, HostileNamesAreEscaped) {
  MapStation st;
  const std::string hostile = "<script>alert(1)</script>";
  const uint32_t node = st.addNode(hostile, "\"quoted\" & 'single' <b>");
  kt::MapService service(st.station());
  ASSERT_TRUE(service.ready()) << service.process().output();
  Browser browser(service);
  const json map = browser.getJson("/api/map");
  const uint32_t root = map["root_submap"].get<uint32_t>();

  for (const std::string &path : {"/submap/" + std::to_string(root) + ".svg",
                                  "/submap/" + std::to_string(st.submapOf(node)) + ".svg",
                                  "/applet?node=" + std::to_string(node)}) {
    httplib::Result r = browser.get(path);
    ASSERT_TRUE(r) << path;
    EXPECT_EQ(200, r->status) << path;
    EXPECT_FALSE(contains(r->body, hostile)) << path;
    EXPECT_FALSE(contains(r->body, "<b>")) << path;
    EXPECT_FALSE(contains(r->body, "\"quoted\"")) << path;
  }
  httplib::Result rootSvg = browser.get("/submap/" + std::to_string(root) + ".svg");
  EXPECT_TRUE(contains(rootSvg->body, "&lt;script&gt;alert(1)&lt;/script&gt;")) << rootSvg->body;
  httplib::Result applet = browser.get("/applet?node=" + std::to_string(node));
  EXPECT_TRUE(contains(applet->body, "&quot;quoted&quot; &amp; &#39;single&#39; &lt;b&gt;"));
  EXPECT_TRUE(contains(applet->body, "value=\"&lt;script&gt;alert(1)&lt;/script&gt;\""));

  bool found = false;
  for (const json &o : map["objects"]) {
    if (o["id"] != node) continue;
    found = true;
    EXPECT_EQ(hostile, o["hostname"]);
    EXPECT_EQ("\"quoted\" & 'single' <b>", o["selection_name"]);
  }
  EXPECT_TRUE(found);
}

// --- Live updates ----------------------------------------------------------------------------

// A node added while a page's event stream is open is announced on it at once, and the map's
// version moves on.
TEST(MapViewEvents, NodeAddedWhileTheStreamIsOpen) {
  MapStation st;
  kt::MapService service(st.station());
  ASSERT_TRUE(service.ready()) << service.process().output();
  EventStream stream(service);
  ASSERT_TRUE(stream.waitFor("event: hello\n")) << stream.text();
  EXPECT_EQ(200, stream.status());
  const size_t start = stream.text().size();

  const auto added = std::chrono::steady_clock::now();
  const uint32_t node = st.addNode("new.test", "new");
  ASSERT_TRUE(stream.waitFor(
      "event: ovw\ndata: {\"event\":18,\"objects\":[" + std::to_string(node) + "]}\n\n", start))
      << stream.text();
  EXPECT_TRUE(stream.waitFor("event: map\ndata: {\"version\":", start)) << stream.text();
  const auto seen = std::chrono::steady_clock::now();
  EXPECT_LT(seen - added, kt::scaled(1s));
  std::printf("node added to map event: %lld ms\n",
              static_cast<long long>(
                  std::chrono::duration_cast<std::chrono::milliseconds>(seen - added).count()));

  // The map read after the event shows the node.
  Browser browser(service);
  const json map = browser.getJson("/api/map");
  bool found = false;
  for (const json &o : map["objects"]) found = found || o["id"] == node;
  EXPECT_TRUE(found);
}

// A device added to the map (with the node event that `ovw add node` sends) is probed and
// flagged by ferrow and by mossick, which places its icon: a page's stream announces the map
// change that shows the icon within a second of the flag.
TEST(MapViewEvents, AddedDeviceShowsItsIconWithinASecondOfItsFlag) {
  std::unique_ptr<kt::SnmpAgent> agent = kt::SnmpAgent::start();
  ASSERT_NE(nullptr, agent);
  MapStation st;
  std::unique_ptr<kt::Process> ferrow = st.station().start("ferrow", {"-sal"});
  ASSERT_TRUE(ferrow->waitForOutput("Found 0 objects that match isKestaraDevice\n"))
      << ferrow->output();
  st.startMossick(0);
  kt::MapService service(st.station());
  ASSERT_TRUE(service.ready()) << service.process().output();
  EventStream stream(service);
  ASSERT_TRUE(stream.waitFor("event: hello\n"));
  Browser browser(service);

  const auto added = std::chrono::steady_clock::now();
  const uint32_t node = st.db().addNode(agent->peer(), "kestara-device");
  ASSERT_NE(0u, node);
  const uint32_t submap = st.submapOf(node);
  const std::string flagLine = "getOid succeeded for " + agent->peer() + " - field set\n";
  using Clock = std::chrono::steady_clock;
  std::optional<Clock::time_point> flagged;
  std::optional<Clock::time_point> shown;
  size_t read = 0;
  // The flag's moment is when ferrow (or mossick, whichever probes first) says it set it; the
  // icon's when a "map" event has come after which the device's submap shows it, read as the
  // page reads it.
  ASSERT_TRUE(kt::eventually(
      [&] {
        if (!flagged && contains(ferrow->output(), flagLine)) flagged = Clock::now();
        const std::string text = stream.text();
        const size_t next = text.find("event: map\n", read);
        if (next == std::string::npos) return false;
        read = next + 1;
        const json j = browser.getJson("/api/submap/" + std::to_string(submap));
        for (const json &s : j["symbols"]) {
          if (s["product_icon"] == true) shown = Clock::now();
        }
        return shown.has_value();
      },
      10s))
      << stream.text() << ferrow->output();
  EXPECT_TRUE(ferrow->waitForOutput("getOid succeeded for " + agent->peer()));
  ASSERT_TRUE(flagged.has_value() || contains(ferrow->output(), "field already set"))
      << ferrow->output();
  if (!flagged) flagged = shown;  // mossick flagged it first, and drew it at once
  const auto late = std::chrono::duration_cast<std::chrono::milliseconds>(*shown - *flagged);
  EXPECT_LT(late, kt::scaled(1s));
  std::printf("node added to icon on the stream: %lld ms, flag to icon: %lld ms (%s)\n",
              static_cast<long long>(
                  std::chrono::duration_cast<std::chrono::milliseconds>(*shown - added).count()),
              static_cast<long long>(late.count()),
              contains(ferrow->output(), flagLine) ? "ferrow set the flag" : "mossick set it");
}

// --- Selection -------------------------------------------------------------------------------

TEST(MapViewSelect, PostSetsTheSessionsSelection) {
  MapStation st;
  const uint32_t a = st.addNode("a.test", "a");
  const uint32_t b = st.addNode("b.test", "b");
  kt::MapService service(st.station());
  ASSERT_TRUE(service.ready()) << service.process().output();
  Browser browser(service);

  httplib::Result r = browser.post("/api/select", json{{"objects", {b}}}.dump());
  ASSERT_TRUE(r);
  EXPECT_EQ(200, r->status) << r->body;
  EXPECT_EQ(json::array({b}), st.list()["sessions"][0]["selection"]);
  r = browser.post("/api/select", json{{"objects", {a, b}}}.dump());
  EXPECT_EQ(json::array({a, b}), st.list()["sessions"][0]["selection"]);
  r = browser.post("/api/select", json{{"objects", json::array()}}.dump());
  EXPECT_EQ(200, r->status);
  EXPECT_EQ(json::array(), st.list()["sessions"][0]["selection"]);
  EXPECT_EQ(json::array(), browser.getJson("/api/map")["selection"]);
}

// --- Refusals --------------------------------------------------------------------------------

TEST(MapViewRefusals, ErrorCases) {
  MapStation st;
  const uint32_t a = st.addNode("a.test", "a");
  kt::MapService service(st.station(), {"--max-streams", "1"});
  ASSERT_TRUE(service.ready()) << service.process().output();
  Browser browser(service);
  const std::string select = json{{"objects", {a}}}.dump();

  // Changes only from the service's own pages.
  EXPECT_EQ(403, browser.post("/api/select", select, httplib::Headers{})->status);
  EXPECT_EQ(
      403, browser.post("/api/select", select, httplib::Headers{{"Origin", "http://evil.example"}})
               ->status);
  EXPECT_EQ(403, browser.post("/api/select", select, httplib::Headers{{"Origin", "null"}})->status);
  EXPECT_EQ(403, browser
                     .post("/api/applet", json{{"command", "getHostName"}}.dump(),
                           httplib::Headers{{"Origin", "http://127.0.0.1:1"}})
                     ->status);
  EXPECT_EQ(json::array(), st.list()["sessions"][0]["selection"]);
  // A host name that a stranger's DNS points at loopback is no name of the service.
  EXPECT_EQ(403,
            browser.get("/api/map", {{"Host", "evil.example:" + std::to_string(service.port())}})
                ->status);

  // POST routes take no GET; GET routes take no POST.
  httplib::Result r = browser.get("/api/select");
  EXPECT_EQ(405, r->status);
  EXPECT_EQ("POST", r->get_header_value("Allow"));
  EXPECT_EQ(405, browser.get("/api/applet")->status);
  EXPECT_EQ(404, browser.post("/api/map", "{}")->status);

  // Bodies over 4 KiB.
  const std::string big = "{\"objects\":[" + std::string(5000, ' ') + "1]}";
  EXPECT_EQ(413, browser.post("/api/select", big)->status);
  EXPECT_EQ(413, browser.post("/api/applet", std::string(4097, 'x'))->status);

  // Unknown things.
  EXPECT_EQ(404, browser.get("/submap/999999.svg")->status);
  EXPECT_EQ(404, browser.get("/api/submap/4294967295")->status);
  EXPECT_EQ(404, browser.get("/submap/99999999999.svg")->status);
  EXPECT_EQ(404, browser.get("/submap/x.svg")->status);
  EXPECT_EQ(404, browser.get("/applet?node=999999")->status);
  EXPECT_EQ(400, browser.get("/applet?node=x")->status);
  EXPECT_EQ(404, browser.get("/nothing")->status);
  EXPECT_EQ(404, browser.post("/api/select", json{{"objects", {999999}}}.dump())->status);
  EXPECT_EQ(400, browser.post("/api/select", "not json")->status);
  EXPECT_EQ(400, browser.post("/api/select", json{{"objects", {-1}}}.dump())->status);
  EXPECT_EQ(400, browser.post("/api/select", json{{"objects", "1"}}.dump())->status);
  EXPECT_EQ(400, browser.post("/api/applet", json{{"command", "hello"}}.dump())->status);
  EXPECT_EQ(400, browser
                     .post("/api/applet",
                           json{{"command", "openSnmpSession"}, {"node", "x#getHostName"}}.dump())
                     ->status);

  // One event stream at most: the second is refused while the first is open.
  {
    EventStream first(service);
    ASSERT_TRUE(first.waitFor("event: hello\n"));
    EventStream second(service);
    ASSERT_TRUE(kt::eventually([&] { return second.ended(); }, 5s));
    EXPECT_EQ(503, second.status());
  }
  // The place of a stream whose page went away is given back.
  EXPECT_TRUE(kt::eventually(
      [&] {
        EventStream again(service);
        EXPECT_TRUE(kt::eventually([&] { return again.ended() || again.status() == 200; }, 5s));
        return again.waitFor("event: hello\n", 0, 1s);
      },
      5s));
  EXPECT_TRUE(service.process().running());
}

// --- The applet ------------------------------------------------------------------------------

// The applet page's requests go to a real gateway, which asks a real agent; getHostName answers
// the node selected through the service.
TEST(MapViewApplet, RequestsAreRelayedToTheGateway) {
  std::unique_ptr<kt::SnmpAgent> agent = kt::SnmpAgent::start();
  ASSERT_NE(nullptr, agent);
  MapStation st;
  const uint32_t device = st.addNode(agent->peer(), "kestara-one");
  ASSERT_TRUE(st.db().setFlag(device, true));
  kt::GatewayOptions options;
  options.env = {{"OVW_DATABASE", st.db().path()}, {"OV_SERVER_NAME", "127.0.0.1"}};
  kt::Gateway gateway(options);
  ASSERT_TRUE(gateway.ready()) << gateway.process().output();
  kt::MapService service(st.station());
  ASSERT_TRUE(service.ready()) << service.process().output();
  Browser browser(service);

  ASSERT_EQ(200, browser.post("/api/select", json{{"objects", {device}}}.dump())->status);
  json reply = browser.applet({{"command", "getHostName"}});
  EXPECT_EQ(200, reply["status"]);
  EXPECT_EQ("getHostName", reply["request"]);
  EXPECT_EQ("kestara-one", reply["reply"]);

  reply = browser.applet({{"command", "openSnmpSession"}, {"node", agent->peer()}});
  EXPECT_EQ("openSnmpSession#" + agent->peer(), reply["request"]);
  ASSERT_TRUE(reply["reply"].is_string()) << reply.dump();
  const std::string session = reply["reply"];
  ASSERT_FALSE(session.empty());
  ASSERT_EQ(std::string::npos, session.find_first_not_of("0123456789")) << session;

  reply = browser.applet({{"command", "getSnmpData"},
                          {"session", session},
                          {"oid", "1.3.6.1.4.1.32473.3.1.2.3.1.1.0"}});
  EXPECT_EQ(200, reply["status"]);
  EXPECT_EQ("getSnmpData#" + session + "#1.3.6.1.4.1.32473.3.1.2.3.1.1.0", reply["request"]);
  EXPECT_EQ("Kestara", reply["reply"]);
  reply = browser.applet(
      {{"command", "getSnmpData"}, {"session", session}, {"oid", "1.3.6.1.2.1.1.5.0"}});
  EXPECT_EQ("kestara-test-agent", reply["reply"]);
  reply = browser.applet(
      {{"command", "getIpAddress"}, {"session", session}, {"oid", "1.3.6.1.2.1.2.2.1.6.1"}});
  EXPECT_EQ(200, reply["status"]);
  ASSERT_TRUE(reply["reply"].is_string());
  const std::string address = reply["reply"];
  EXPECT_EQ(3, std::count(address.begin(), address.end(), '.')) << reply.dump();
  reply = browser.applet({{"command", "closeSession"}, {"session", session}});
  EXPECT_EQ("close", reply["reply"]);
  // The gateway saw the requests as an applet's.
  EXPECT_TRUE(gateway.process().waitForOutput("Successfully closed session " + session));
}

// Without a gateway the page learns that no reply came.
TEST(MapViewApplet, NoGatewayIsAnError) {
  MapStation st;
  kt::MapService service(st.station(), {"--applet-timeout-ms", "300"});
  ASSERT_TRUE(service.ready()) << service.process().output();
  Browser browser(service);
  const json reply = browser.applet({{"command", "getHostName"}});
  EXPECT_EQ(502, reply["status"]);
  EXPECT_EQ(false, reply["answered"]);
  EXPECT_EQ("getHostName", reply["request"]);
  EXPECT_TRUE(reply["error"].is_string());
}

// --- Life ------------------------------------------------------------------------------------

TEST(MapViewLife, EndsWithTheSessionAndOnSigterm) {
  MapStation st;
  {
    kt::MapService service(st.station());
    ASSERT_TRUE(service.ready()) << service.process().output();
    EXPECT_TRUE(contains(st.db().ovw({"list"}).out, "attached: \"Kestara Map View\""));
    EventStream stream(service);
    ASSERT_TRUE(stream.waitFor("event: hello\n"));
    EXPECT_EQ(0, service.process().stop());
    EXPECT_TRUE(service.process().waitForOutput("mapview: ended\n", 1s));
    EXPECT_FALSE(contains(st.db().ovw({"list"}).out, "Kestara Map View"));
  }
  kt::MapService service(st.station());
  ASSERT_TRUE(service.ready()) << service.process().output();
  EXPECT_EQ(0, st.db().ovw({"end", "session"}).status);
  EXPECT_EQ(0, service.process().wait(10s));
  EXPECT_TRUE(contains(service.process().output(), "the map session ended"));

  // No session to join: a failed start.
  kt::MapService none(st.station());
  EXPECT_FALSE(none.ready());
  EXPECT_EQ(1, none.process().wait(10s));
}

}  // namespace
