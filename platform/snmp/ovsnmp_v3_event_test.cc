// Tests of the event configuration (ovsnmp.conf): SNMPv3 traps from users configured with their
// engine ID and SNMPv3 informs to the receiver's own engine ID are delivered; events that are
// not authenticated, or not authorised by the configured users and communities, are dropped
// and counted before anything else is done with them. net-snmp's snmptrap and snmpinform send.
#include <gtest/gtest.h>
#include <sys/select.h>

#include <algorithm>
#include <chrono>
#include <cstdlib>
#include <ctime>
#include <functional>
#include <string>
#include <vector>

#include "OVsnmp.h"
#include "process.h"
#include "snmp_agent.h"

namespace {

using namespace std::chrono_literals;

constexpr const char *kFilter = ".1.3.6.1.4.1.11.2.17.1.0.58785794";
constexpr const char *kTrapOid = ".1.3.6.1.4.1.11.2.17.1.0.58785794";
constexpr const char *kObjectVariable = ".1.3.6.1.4.1.11.2.17.2.3.0";
constexpr const char *kDeviceEngine = "0x8000000001020304";
constexpr const char *kEngineText = "ovsnmp-event-test";
// net-snmp's text form of kEngineText: 80 00 1f 88 04 and the text's bytes.
constexpr const char *kEngineId = "80001f88046f76736e6d702d6576656e742d74657374";

// The receiver's configuration, written before the library reads its configuration.
constexpr const char *kConfig = R"(# the receiver of the tests
engineID ovsnmp-event-test
eventCommunity public
eventCommunity "second community"
createUser -e 0x8000000001020304 trapper SHA-256 "trapper-auth" AES "trapper-priv"
eventUser trapper
createUser -e 0x8000000001020304 privtrapper SHA-256 "ptrapper-auth" AES "ptrapper-priv"
eventUser privtrapper priv
createUser -e 0x8000000001020304 stranger SHA-256 "stranger-auth"
createUser informer SHA-512 "informer-auth" AES-256 "informer-priv"
eventUser informer priv
)";

struct Received {
  int code = 0;
  std::string object;  // the object variable's text
};

void record(int code, OVsnmpSession, OVsnmpPdu *pdu, void *data) {
  auto *events = static_cast<std::vector<Received> *>(data);
  Received r{code, ""};
  if (pdu != nullptr) {
    for (const OVsnmpVarBind *vb = pdu->variables; vb != nullptr; vb = vb->next_variable) {
      if (vb->type == OVSNMP_OCTETSTRING)
        r.object.assign(static_cast<const char *>(vb->val), vb->val_len);
    }
  }
  events->push_back(r);
  OVsnmpFreePdu(pdu);
}

void pump(const std::function<bool()> &done, std::chrono::milliseconds limit = 5s) {
  const auto deadline = std::chrono::steady_clock::now() + kt::scaled(limit);
  while (!done() && std::chrono::steady_clock::now() < deadline) {
    fd_set fds;
    FD_ZERO(&fds);
    timeval timeout{};
    const int count = OVsnmpGetRetryInfo(&fds, &timeout);
    if (count == 0) return;
    timeval slice{0, 20000};
    if (timercmp(&timeout, &slice, >)) timeout = slice;
    if (select(count, &fds, nullptr, nullptr, &timeout) > 0) OVsnmpRead(&fds);
    OVsnmpDoRetry();
  }
}

class V3Events : public testing::Test {
 protected:
  void SetUp() override {
    // Read once a process; removed at the exit.
    static kt::TempDir conf;
    static const std::string written = conf.write("ovsnmp.conf", kConfig);
    setenv("SNMPCONFPATH", conf.path().c_str(), 1);
    setenv("MIBS", "", 1);
    const uint16_t port = kt::freeUdpPort();
    ASSERT_NE(port, 0);
    peer_ = "udp:127.0.0.1:" + std::to_string(port);
    setenv("OV_EVENT_ADDRESS", peer_.c_str(), 1);
    kt::writeClientConfig(tools_, "2c", 1, 0, "public");
    session_ = OVsnmpEventOpen(nullptr, "Kestara Discovery", record, &events_, kFilter);
    ASSERT_NE(session_, 0u) << OVsnmpErrString(OVsnmpErrno);
  }
  void TearDown() override {
    if (session_ != 0) (void)OVsnmpClose(session_);
  }

  // Runs snmptrap or snmpinform with `args` before the address and the notification, the
  // library reading meanwhile (an inform waits for its acknowledgement). Its exit status.
  int send(const std::string &tool, std::vector<std::string> args, const std::string &object) {
    std::vector<std::string> argv = {"/usr/bin/" + tool};
    if (tool == "snmpinform") argv.insert(argv.end(), {"-r", "0", "-t", "1"});
    argv.insert(argv.end(), args.begin(), args.end());
    argv.insert(argv.end(), {peer_, "", kTrapOid, kObjectVariable, "s", object});
    kt::Process p = kt::Process::start(argv, kt::clientEnv(tools_));
    pump([&] { return !p.running(); }, 10s);
    return p.wait(5s).value_or(-1);
  }
  static std::vector<std::string> v3(const std::string &user, const std::string &level,
                                     const std::string &authType, const std::string &authPass,
                                     const std::string &privType = "",
                                     const std::string &privPass = "") {
    std::vector<std::string> args = {"-v", "3", "-u", user, "-l", level};
    if (!authPass.empty()) args.insert(args.end(), {"-a", authType, "-A", authPass});
    if (!privPass.empty()) args.insert(args.end(), {"-x", privType, "-X", privPass});
    return args;
  }
  static std::vector<std::string> fromDevice(std::vector<std::string> args,
                                             const std::string &engine = kDeviceEngine) {
    args.insert(args.end(), {"-e", engine});
    return args;
  }
  OVsnmpEventDrops drops() {
    OVsnmpEventDrops d{};
    EXPECT_EQ(0, OVsnmpGetEventDrops(session_, &d));
    return d;
  }

  std::string peer_;
  kt::TempDir tools_;
  std::vector<Received> events_;
  OVsnmpSession session_ = 0;
};

TEST_F(V3Events, AuthenticatedTrapsAndInformsAreDelivered) {
  EXPECT_EQ(
      0,
      send("snmptrap",
           fromDevice(v3("trapper", "authPriv", "SHA-256", "trapper-auth", "AES", "trapper-priv")),
           "11"));
  EXPECT_EQ(0, send("snmptrap", fromDevice(v3("trapper", "authNoPriv", "SHA-256", "trapper-auth")),
                    "12"));
  EXPECT_EQ(0, send("snmptrap",
                    fromDevice(v3("privtrapper", "authPriv", "SHA-256", "ptrapper-auth", "AES",
                                  "ptrapper-priv")),
                    "13"));
  // An inform discovers the receiver's engine ID; one sent to the documented ID needs no
  // discovery.
  EXPECT_EQ(0,
            send("snmpinform",
                 v3("informer", "authPriv", "SHA-512", "informer-auth", "AES-256", "informer-priv"),
                 "14"));
  EXPECT_EQ(0, send("snmpinform",
                    fromDevice(v3("informer", "authPriv", "SHA-512", "informer-auth", "AES-256",
                                  "informer-priv"),
                               std::string("0x") + kEngineId),
                    "15"));
  EXPECT_EQ(0, send("snmptrap", {"-v", "2c", "-c", "second community"}, "16"));
  pump([&] { return events_.size() >= 6; });
  ASSERT_EQ(6u, events_.size());
  for (size_t i = 0; i < events_.size(); ++i) {
    EXPECT_EQ(std::to_string(11 + i), events_[i].object);
    EXPECT_EQ(i == 3 || i == 4 ? OVSNMP_INFORM : OVSNMP_TRAP, events_[i].code);
  }
  const OVsnmpEventDrops d = drops();
  EXPECT_EQ(0u, d.unauthenticated);
  EXPECT_EQ(0u, d.unauthorised);

  uint8_t id[32];
  const size_t length = OVsnmpGetLocalEngineId(id, sizeof id);
  std::string hex;
  for (size_t i = 0; i < length; ++i) {
    char two[3];
    std::snprintf(two, sizeof two, "%02x", id[i]);
    hex += two;
  }
  EXPECT_EQ(kEngineId, hex);
  EXPECT_EQ(0u, OVsnmpGetLocalEngineId(id, 4));  // too small
}

// The receiver's engine boots value, as an inform's sender learns it (net-snmp's debug line
// "lcd_set_enginetime: engineID ...: boots=N, time=T"), is the seconds from 2024-01-01 to the
// receiver's start: it grows at every start without state on disk.
TEST_F(V3Events, ReceiverBootsGrowWithTheClock) {
  const long before = static_cast<long>(std::time(nullptr)) - 1704067200;
  std::vector<std::string> argv = {"/usr/bin/snmpinform", "-r", "0", "-t", "1",
                                   "-Dlcd_set_enginetime"};
  for (const std::string &arg :
       v3("informer", "authPriv", "SHA-512", "informer-auth", "AES-256", "informer-priv")) {
    argv.push_back(arg);
  }
  argv.insert(argv.end(), {peer_, "", kTrapOid, kObjectVariable, "s", "41"});
  kt::Process p = kt::Process::start(argv, kt::clientEnv(tools_));
  pump([&] { return !p.running(); }, 10s);
  EXPECT_EQ(0, p.wait(5s).value_or(-1));
  const std::string trace = p.errors();
  long largest = 0;
  for (size_t at = trace.find("boots="); at != std::string::npos;
       at = trace.find("boots=", at + 1)) {
    largest = std::max(largest, std::strtol(trace.c_str() + at + 6, nullptr, 10));
  }
  // The session opened in SetUp, a moment ago.
  EXPECT_GE(largest, before - 60) << trace;
  EXPECT_LE(largest, before + 1) << trace;
}

TEST_F(V3Events, UnauthenticatedAndUnauthorisedEventsAreDroppedAndCounted) {
  struct Case {
    std::string tool;
    std::vector<std::string> args;
    uint64_t unauthenticated;
    uint64_t unauthorised;
    int reason;
  };
  const std::vector<Case> cases = {
      {"snmptrap",
       fromDevice(v3("trapper", "authPriv", "SHA-256", "wrong-auth", "AES", "trapper-priv")), 1, 0,
       OVSNMP_ERR_WRONG_DIGEST},
      {"snmptrap", fromDevice(v3("nobody", "authNoPriv", "SHA-256", "trapper-auth")), 2, 0,
       OVSNMP_ERR_UNKNOWN_USER},
      // The right user and pass phrase, signed for another engine ID.
      {"snmptrap",
       fromDevice(v3("trapper", "authNoPriv", "SHA-256", "trapper-auth"), "0x8000000001020399"), 3,
       0, OVSNMP_ERR_UNKNOWN_USER},
      // A known user without authentication.
      {"snmptrap", fromDevice(v3("trapper", "noAuthNoPriv", "", "")), 4, 0,
       OVSNMP_ERR_SECURITY_LEVEL},
      // The right privacy type and a wrong pass phrase.
      {"snmpinform",
       v3("informer", "authPriv", "SHA-512", "informer-auth", "AES-256", "wrong-priv"), 5, 0,
       OVSNMP_ERR_DECRYPTION},
      // Signed, not encrypted, with a wrong pass phrase: net-snmp hands these to the session
      // while it parses them, readable but unauthenticated.
      {"snmpinform", v3("informer", "authNoPriv", "SHA-512", "wrong-auth"), 6, 0,
       OVSNMP_ERR_WRONG_DIGEST},
      {"snmptrap", fromDevice(v3("trapper", "authNoPriv", "SHA-256", "wrong-auth")), 7, 0,
       OVSNMP_ERR_WRONG_DIGEST},
      // Authenticated, but without an eventUser line.
      {"snmptrap", fromDevice(v3("stranger", "authNoPriv", "SHA-256", "stranger-auth")), 7, 1,
       OVSNMP_ERR_NOT_AUTHORISED},
      // Authenticated below the user's level.
      {"snmptrap", fromDevice(v3("privtrapper", "authNoPriv", "SHA-256", "ptrapper-auth")), 7, 2,
       OVSNMP_ERR_SECURITY_LEVEL},
      {"snmptrap", {"-v", "2c", "-c", "not-listed"}, 7, 3, OVSNMP_ERR_NOT_AUTHORISED},
      {"snmptrap", {"-v", "2c", "-c", "public2"}, 7, 4, OVSNMP_ERR_NOT_AUTHORISED},
  };
  for (const Case &c : cases) {
    SCOPED_TRACE(testing::PrintToString(c.args));
    const int status = send(c.tool, c.args, "21");
    if (c.tool == "snmpinform") {
      EXPECT_NE(0, status);  // never acknowledged
    }
    pump([&] {
      const OVsnmpEventDrops d = drops();
      return d.unauthenticated == c.unauthenticated && d.unauthorised == c.unauthorised;
    });
    const OVsnmpEventDrops d = drops();
    EXPECT_EQ(c.unauthenticated, d.unauthenticated);
    EXPECT_EQ(c.unauthorised, d.unauthorised);
    EXPECT_EQ(c.reason, d.last_reason) << OVsnmpErrString(d.last_reason);
    EXPECT_EQ(0, std::string(d.last_source).rfind("127.0.0.1 port ", 0)) << d.last_source;
  }
  // An SNMPv1 trap with a community not on the list, then a good one after all of these.
  kt::Process v1 = kt::Process::start(
      {"/usr/bin/snmptrap", "-v", "1", "-c", "nope", peer_, ".1.3.6.1.4.1.11.2.17.1", "", "6",
       "58785794", "", kObjectVariable, "s", "31"},
      kt::clientEnv(tools_));
  EXPECT_EQ(0, v1.wait(5s).value_or(-1));
  pump([&] { return drops().unauthorised == 5; });
  EXPECT_EQ(5u, drops().unauthorised);
  EXPECT_EQ(0, send("snmptrap", {"-v", "2c", "-c", "public"}, "32"));
  pump([&] { return !events_.empty(); });
  ASSERT_EQ(1u, events_.size());  // none of the dropped ones reached the callback
  EXPECT_EQ("32", events_[0].object);
  EXPECT_EQ(-1, OVsnmpGetEventDrops(session_, nullptr));
  EXPECT_EQ(OVSNMP_ERR_BAD_ARG, OVsnmpErrno);
}

}  // namespace
