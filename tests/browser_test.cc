// The map service in a real browser: headless Chromium, driven through WebDriver by
// tests/browser/map_page.py, against the real mapview, mossick, tavrin and snmpd of the test's
// own network.
#include <gtest/gtest.h>

#include <cstdlib>
#include <nlohmann/json.hpp>
#include <string>
#include <vector>

#include "gateway.h"
#include "map_service.h"
#include "snmp_agent.h"

namespace {

using namespace std::chrono_literals;
using nlohmann::json;

// The IPv4 addresses the agent reports for interface 1 (its ipAddrTable), as snmpwalk reads them.
std::vector<std::string> addressesOfInterfaceOne(const std::string &peer) {
  const kt::RunResult r = kt::run(
      {"/usr/bin/snmpwalk", "-v2c", "-c", "public", "-On", "-Oq", peer, "1.3.6.1.2.1.4.20.1.2"});
  std::vector<std::string> addresses;
  const std::string prefix = ".1.3.6.1.2.1.4.20.1.2.";
  size_t at = 0;
  while (at < r.out.size()) {
    const size_t end = std::min(r.out.find('\n', at), r.out.size());
    const std::string line = r.out.substr(at, end - at);
    at = end + 1;
    if (line.rfind(prefix, 0) != 0) continue;
    const size_t space = line.find(' ');
    if (space == std::string::npos || line.substr(space + 1) != "1") continue;
    addresses.push_back(line.substr(prefix.size(), space - prefix.size()));
  }
  return addresses;
}

// One operator's visit: the map with its flagged node and icon, a hostile name shown as text, a
// node added while the page is open, a click that selects, and the applet page's answers.
TEST(Browser, MapLiveUpdatesSelectionAndApplet) {
  std::unique_ptr<kt::SnmpAgent> agent = kt::SnmpAgent::start();
  ASSERT_NE(nullptr, agent);
  kt::MapStation st;
  const uint32_t device = st.addNode(agent->peer(), "kestara-one");
  ASSERT_NE(0u, st.addNode("plain.test", "plain"));
  ASSERT_NE(0u, st.addNode("hostile.test", "<script>alert(1)</script>"));
  ASSERT_TRUE(st.db().setFlag(device, true));
  st.startMossick(1);
  kt::GatewayOptions options;
  options.env = {{"OVW_DATABASE", st.db().path()}, {"OV_SERVER_NAME", "127.0.0.1"}};
  kt::Gateway gateway(options);
  ASSERT_TRUE(gateway.ready()) << gateway.process().output();
  kt::MapService service(st.station());
  ASSERT_TRUE(service.ready()) << service.process().output();

  const std::vector<std::string> addresses = addressesOfInterfaceOne(agent->peer());
  ASSERT_FALSE(addresses.empty());
  const json visit = {
      {"url", service.origin()},
      {"ovw", kt::binPath("ovw")},
      {"device", device},
      {"device_submap", st.submapOf(device)},
      {"root_submap", st.rootSubmap()},
      {"new_host", "late.test"},
      {"new_name", "late-node"},
      {"device_name", "kestara-one"},
      {"sys_name", "kestara-test-agent"},
      {"probe", "Kestara"},
      {"addresses", addresses},
      // KT_BROWSER_SCREENSHOT=FILE keeps a picture of the root submap (the docs' one).
      {"screenshot",
       std::getenv("KT_BROWSER_SCREENSHOT") ? std::getenv("KT_BROWSER_SCREENSHOT") : ""},
  };
  const kt::RunResult r =
      kt::run({"/usr/bin/python3", kt::srcPath("tests/browser/map_page.py"), visit.dump()},
              st.station().env({{"PYTHONDONTWRITEBYTECODE", "1"}}), 120s);
  EXPECT_EQ(0, r.status) << r.out << r.err;
  EXPECT_NE(std::string::npos, r.out.find("browser: all checks passed")) << r.out << r.err;

  // The click selected the device in the session.
  const json list = st.list();
  ASSERT_FALSE(list["sessions"].empty());
  EXPECT_EQ(json::array({device}), list["sessions"][0]["selection"]) << list["sessions"].dump();
}

}  // namespace
