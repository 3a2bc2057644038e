// gateway.h - test support: the gateway (tavrin) as a process of the test's own, with its SNMP
// client configuration and an applet's socket.
#ifndef KESTARA_TESTS_SUPPORT_GATEWAY_H
#define KESTARA_TESTS_SUPPORT_GATEWAY_H

#include <chrono>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "process.h"
#include "test_database.h"

namespace kt {

// The gateway's UDP port.
inline constexpr uint16_t kGatewayPort = 8088;

struct GatewayOptions {
  std::string version = "2c";                 // SNMP version of its sessions: "1" or "2c"
  std::chrono::milliseconds timeout = 300ms;  // each try's time-out
  int retries = 0;                            // tries after the first
  std::vector<std::string> args = {};         // tavrin's command line after its name
  Env env = {};                               // more environment, overriding the above
  bool anyAgent = true;                       // sessions to any agent, not only to SNMP nodes
  bool database = false;                      // an object database of its own (fields defined)
};

// tavrin started and waited for until it listens; stopped and reaped when the object goes.
class Gateway {
 public:
  explicit Gateway(GatewayOptions options = {});
  Gateway(const Gateway &) = delete;
  Gateway &operator=(const Gateway &) = delete;

  // True once it listens on its port.
  bool ready() const { return ready_; }
  Process &process() { return process_; }
  // Its database (with GatewayOptions::database).
  TestDatabase &db() { return *db_; }
  // The applet's socket, on 127.0.0.1.
  UdpClient &client() { return client_; }

  // One request from the applet's socket and its reply; nothing after `timeout`.
  std::optional<std::string> ask(std::string_view request, std::chrono::milliseconds timeout = 5s);
  // The same from another socket.
  static std::optional<std::string> ask(UdpClient &from, std::string_view request,
                                        std::chrono::milliseconds timeout = 5s);
  // "openSnmpSession#PEER" from `from` (the applet's socket by default): the reply, "" when none.
  std::string open(const std::string &peer);
  static std::string open(UdpClient &from, const std::string &peer);

 private:
  TempDir conf_;
  std::optional<TestDatabase> db_;
  Process process_;
  UdpClient client_{"127.0.0.1"};
  bool ready_ = false;
};

}  // namespace kt

#endif  // KESTARA_TESTS_SUPPORT_GATEWAY_H
