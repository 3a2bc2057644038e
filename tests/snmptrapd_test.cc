// snmptrapd_test.cc - ferrow beside net-snmp's snmptrapd, the two ways an operator runs them:
// snmptrapd keeps the trap port and forwards every notification to ferrow's event address
// ("forward default udp:127.0.0.1:PORT"), or ferrow owns the event address, which snmptrapd
// then must not hold.
//
// Each test starts an snmptrapd of its own (own configuration, a free loopback port, inside
// the test's network namespace) and a real agent for the device that the event names.
#include <gtest/gtest.h>
#include <poll.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <memory>
#include <string>

#include "process.h"
#include "snmp_agent.h"
#include "station.h"
#include "test_database.h"

namespace {

using namespace std::chrono_literals;

constexpr const char *kSnmptrapd = "/usr/sbin/snmptrapd";

// A running snmptrapd on 127.0.0.1:port() with the configuration lines given.
class Snmptrapd {
 public:
  explicit Snmptrapd(const std::string &config) : port_(kt::freeUdpPort()) {
    std::string conf = dir_.write("snmptrapd.conf", config);
    process_ = std::make_unique<kt::Process>(kt::Process::start(
        {kSnmptrapd, "-f", "-Lf", dir_.file("snmptrapd.log"), "-C", "-c", conf,
         "udp:127.0.0.1:" + std::to_string(port_)},
        {{"SNMPCONFPATH", dir_.path()}, {"SNMP_PERSISTENT_DIR", dir_.path()}, {"MIBS", ""}}));
  }
  // Waits for its start line.
  bool started() {
    return kt::eventually([&] { return log().find("NET-SNMP version") != std::string::npos; },
                          kt::scaled(10s));
  }
  uint16_t port() const { return port_; }
  std::string address() const { return "udp:127.0.0.1:" + std::to_string(port_); }
  std::string log() const { return kt::readFile(dir_.file("snmptrapd.log")); }

 private:
  kt::TempDir dir_;
  uint16_t port_;
  std::unique_ptr<kt::Process> process_;
};

class BesideSnmptrapd : public ::testing::Test {
 protected:
  void SetUp() override {
    if (access(kSnmptrapd, X_OK) != 0) GTEST_SKIP() << "needs net-snmp's snmptrapd";
  }
  // ferrow as its unit runs it: under process management, events at `eventAddress`.
  std::unique_ptr<kt::Process> startFerrow(const std::string &eventAddress) {
    return station_.start("ferrow", {}, station_.managed({{"OV_EVENT_ADDRESS", eventAddress}}));
  }

  kt::Station station_{{.timeout = 1s}};
  kt::TestDatabase &db_ = station_.db();
  kt::NotifySocket &notify_ = station_.notify();
};

// snmptrapd keeps the trap port; ferrow listens on a port of its own and gets every
// notification forwarded. A node-added trap sent to snmptrapd flags the new device.
TEST_F(BesideSnmptrapd, SnmptrapdForwardsTheNodeEventsToFerrow) {
  std::unique_ptr<kt::SnmpAgent> device = kt::SnmpAgent::start();
  ASSERT_NE(nullptr, device);
  const std::string ferrowAddress = "udp:127.0.0.1:" + std::to_string(kt::freeUdpPort());
  // As docs/operations.md has it: "net" is the permission to forward.
  Snmptrapd trapd("authCommunity log,net public\nforward default " + ferrowAddress + "\n");
  ASSERT_TRUE(trapd.started()) << trapd.log();
  ASSERT_TRUE(notify_.ok());
  std::unique_ptr<kt::Process> ferrow = startFerrow(ferrowAddress);
  ASSERT_TRUE(kt::eventually(
      [&] { return notify_.received().find("READY=1") != std::string::npos; }, kt::scaled(20s)))
      << ferrow->output();

  // The operator's ovw sends its node events to snmptrapd's port.
  db_.setEventAddress(trapd.address());
  OVwObjectId node = db_.addNode(device->peer(), device->peer());
  ASSERT_NE(0u, node);
  EXPECT_TRUE(kt::eventually([&] { return db_.flag(node) == true; }, kt::scaled(10s)))
      << "ferrow: " << ferrow->output() << "\nsnmptrapd: " << trapd.log();
  // snmptrapd saw it on the way.
  EXPECT_NE(std::string::npos, trapd.log().find("Enterprise Specific Trap (58785794)"))
      << trapd.log();
  ferrow->signal(SIGTERM);
  EXPECT_EQ(0, ferrow->wait(kt::scaled(10s)));
}

// ferrow's event address held by snmptrapd (as Debian's snmptrapd.socket holds 162): ferrow
// does not report READY and ends with a failure status, so that systemd restarts it rather
// than taking it for started.
TEST_F(BesideSnmptrapd, EventAddressHeldBySnmptrapdIsAFailedStart) {
  Snmptrapd trapd("disableAuthorization yes\n");
  ASSERT_TRUE(trapd.started()) << trapd.log();
  ASSERT_TRUE(notify_.ok());
  std::unique_ptr<kt::Process> ferrow = startFerrow(trapd.address());
  std::optional<int> status = ferrow->wait(kt::scaled(20s));
  ASSERT_TRUE(status) << "ferrow kept running: " << ferrow->output();
  EXPECT_NE(0, *status) << ferrow->output();
  EXPECT_EQ(std::string::npos, notify_.received().find("READY=1")) << notify_.received();
}

}  // namespace
