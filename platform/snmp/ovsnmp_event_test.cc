// Tests of event sessions: traps and informs sent by net-snmp's snmptrap and snmpinform to a
// loopback port, filtered and handed to the callback in v1 form.
#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <sys/select.h>
#include <sys/socket.h>
#include <unistd.h>

#include <chrono>
#include <cstdlib>
#include <functional>
#include <string>
#include <vector>

#include "OVsnmp.h"
#include "PlatformFault.h"
#include "process.h"
#include "snmp_agent.h"
#include "trap_sender.h"

namespace {

using namespace std::chrono_literals;
using Oid = std::vector<OVsnmpOid>;

// The filter and identifiers of the discovery daemon's events.
constexpr const char *kFilter =
    ".1.3.6.1.4.1.11.2.17.1.0.58785794;.1.3.6.1.4.1.11.2.17.1.0.40000016;"
    ".1.3.6.1.4.1.11.2.17.1.0.58982403";
constexpr const char *kEnterprise = ".1.3.6.1.4.1.11.2.17.1";
constexpr const char *kObjectVariable = ".1.3.6.1.4.1.11.2.17.2.3.0";
const Oid kEnterpriseOid{1, 3, 6, 1, 4, 1, 11, 2, 17, 1};
const Oid kObjectVariableOid{1, 3, 6, 1, 4, 1, 11, 2, 17, 2, 3, 0};

struct Received {
  int code = 0;
  OVsnmpSession session = 0;
  bool has_pdu = false;
  int command = 0;
  Oid enterprise;
  int generic = -1;
  int specific = -1;
  std::vector<Oid> names;
  std::vector<std::string> texts;  // OCTET STRING values, "" for other types
};

// What a callback does besides recording.
enum class Then { kKeepOpen, kClose };

struct Recorder {
  std::vector<Received> events;
  Then then = Then::kKeepOpen;
};

void record(int code, OVsnmpSession session, OVsnmpPdu *pdu, void *data) {
  auto *recorder = static_cast<Recorder *>(data);
  Received r;
  r.code = code;
  r.session = session;
  r.has_pdu = pdu != nullptr;
  if (pdu != nullptr) {
    r.command = pdu->command;
    r.enterprise.assign(pdu->enterprise, pdu->enterprise + pdu->enterprise_length);
    r.generic = pdu->generic_type;
    r.specific = pdu->specific_type;
    for (const OVsnmpVarBind *vb = pdu->variables; vb != nullptr; vb = vb->next_variable) {
      r.names.emplace_back(vb->oid, vb->oid + vb->oid_length);
      r.texts.push_back(vb->type == OVSNMP_OCTETSTRING
                            ? std::string(static_cast<const char *>(vb->val), vb->val_len)
                            : std::string());
    }
  }
  recorder->events.push_back(std::move(r));
  OVsnmpFreePdu(pdu);  // the callback owns the PDU
  if (code == OVSNMP_EVENT_SESSION_ERROR || recorder->then == Then::kClose) {
    OVsnmpClose(session);
  }
}

// Runs the library's event loop the way the daemon does, until `done` or `limit`.
void pump(const std::function<bool()> &done, std::chrono::milliseconds limit = 5s) {
  auto deadline = std::chrono::steady_clock::now() + limit;
  while (!done() && std::chrono::steady_clock::now() < deadline) {
    fd_set fds;
    FD_ZERO(&fds);
    timeval timeout{};
    int count = OVsnmpGetRetryInfo(&fds, &timeout);
    if (count == 0) return;
    timeval slice{0, 20000};  // stay responsive to `done`
    if (timercmp(&timeout, &slice, >)) timeout = slice;
    int ready = select(count, &fds, nullptr, nullptr, &timeout);
    if (ready > 0) OVsnmpRead(&fds);
    OVsnmpDoRetry();
  }
}

class EventTest : public testing::Test {
 protected:
  void SetUp() override {
    // The library reads its configuration once a process; the folder goes at the exit.
    static kt::TempDir library_conf;
    setenv("SNMPCONFPATH", library_conf.path().c_str(), 1);
    setenv("MIBS", "", 1);
    port_ = kt::freeUdpPort();
    ASSERT_NE(port_, 0);
    target_ = "udp:127.0.0.1:" + std::to_string(port_);
    setenv("OV_EVENT_ADDRESS", target_.c_str(), 1);
    kt::writeClientConfig(tool_conf_, "2c", 1, 0, "public");
    KestaraFaultClear();
  }
  void TearDown() override {
    if (session_ != 0) OVsnmpClose(session_);
    KestaraFaultClear();
  }

  void open(const char *filter = kFilter) {
    session_ = OVsnmpEventOpen(nullptr, "Kestara Discovery", record, &recorder_, filter);
    ASSERT_NE(session_, 0u) << OVsnmpErrString(OVsnmpErrno);
  }

  // Runs snmptrap (or snmpinform) against the event port; returns its exit status.
  int send(const std::string &tool, const std::string &version, std::vector<std::string> args) {
    std::vector<std::string> argv = {"/usr/bin/" + tool, "-v", version, "-c", "public"};
    if (tool == "snmpinform") argv.insert(argv.end(), {"-r", "1", "-t", "2"});
    argv.push_back(target_);
    argv.insert(argv.end(), args.begin(), args.end());
    if (tool == "snmptrap") {
      kt::RunResult r = kt::run(argv, kt::clientEnv(tool_conf_), 10s);
      EXPECT_EQ(r.status, 0) << r.err;
      return r.status;
    }
    // An inform waits for its acknowledgement: keep the library reading meanwhile.
    kt::Process p = kt::Process::start(argv, kt::clientEnv(tool_conf_));
    pump([&] { return !p.running(); }, 10s);
    auto status = p.wait(5s);
    EXPECT_TRUE(status.has_value());
    return status.value_or(-1);
  }

  void sendV1(const std::string &enterprise, int generic, int specific,
              const std::string &object = "123") {
    send("snmptrap", "1",
         {enterprise, "127.0.0.1", std::to_string(generic), std::to_string(specific), "0",
          kObjectVariable, "s", object});
  }
  void sendV2(const std::string &trap_oid, const std::string &object = "123") {
    send("snmptrap", "2c", {"0", trap_oid, kObjectVariable, "s", object});
  }

  size_t count() const { return recorder_.events.size(); }
  void waitFor(size_t n) {
    pump([&] { return count() >= n; });
    ASSERT_GE(count(), n);
  }

  uint16_t port_ = 0;
  std::string target_;
  kt::TempDir tool_conf_;
  Recorder recorder_;
  OVsnmpSession session_ = 0;
};

TEST_F(EventTest, V1TrapMatchingTheFilterIsDeliveredOnce) {
  open();
  sendV1(kEnterprise, 6, 58785794);
  waitFor(1);
  pump([] { return false; }, 200ms);  // nothing more arrives
  ASSERT_EQ(count(), 1u);
  const Received &r = recorder_.events[0];
  EXPECT_EQ(r.code, OVSNMP_TRAP);
  EXPECT_EQ(r.session, session_);
  EXPECT_EQ(r.command, OVSNMP_TRAP);
  EXPECT_EQ(r.enterprise, kEnterpriseOid);
  EXPECT_EQ(r.generic, 6);
  EXPECT_EQ(r.specific, 58785794);
  ASSERT_EQ(r.names.size(), 1u);
  EXPECT_EQ(r.names[0], kObjectVariableOid);
  EXPECT_EQ(r.texts[0], "123");
}

TEST_F(EventTest, V2cTrapIsHandedOverInV1Form) {
  open();
  sendV2(".1.3.6.1.4.1.11.2.17.1.0.40000016", "  77");
  waitFor(1);
  const Received &r = recorder_.events[0];
  EXPECT_EQ(r.code, OVSNMP_TRAP);
  EXPECT_EQ(r.enterprise, kEnterpriseOid);
  EXPECT_EQ(r.generic, 6);
  EXPECT_EQ(r.specific, 40000016);
  // sysUpTime.0 and snmpTrapOID.0 are gone; the object variable is the first binding.
  ASSERT_EQ(r.names.size(), 1u);
  EXPECT_EQ(r.names[0], kObjectVariableOid);
  EXPECT_EQ(r.texts[0], "  77");
}

TEST_F(EventTest, EventsOutsideTheFilterAreDropped) {
  open();
  sendV1(".1.3.6.1.4.1.11.2.17.9", 6, 58785794);  // other enterprise
  sendV1(kEnterprise, 6, 12345);                  // other specific type
  sendV1(kEnterprise, 3, 0);                      // a generic trap (linkUp)
  sendV2(".1.3.6.1.4.1.11.2.17.1.0.1");
  sendV2(".1.3.6.1.4.1.11.2.17.1.58785794");  // without the .0.
  sendV1(kEnterprise, 6, 58982403, "last");
  waitFor(1);
  pump([] { return false; }, 200ms);
  ASSERT_EQ(count(), 1u);
  EXPECT_EQ(recorder_.events[0].specific, 58982403);
  EXPECT_EQ(recorder_.events[0].texts[0], "last");
}

TEST_F(EventTest, StandardTrapsMatchTheirSnmpTrapsIdentifier) {
  open(".1.3.6.1.6.3.1.1.5.1;.1.3.6.1.6.3.1.1.5.3");
  sendV1(kEnterprise, 0, 0);  // coldStart
  waitFor(1);
  sendV2(".1.3.6.1.6.3.1.1.5.3");  // linkDown
  waitFor(2);
  EXPECT_EQ(recorder_.events[0].generic, 0);
  EXPECT_EQ(recorder_.events[0].enterprise, kEnterpriseOid);
  EXPECT_EQ(recorder_.events[1].generic, 2);
  EXPECT_EQ(recorder_.events[1].specific, 0);
  EXPECT_EQ(recorder_.events[1].enterprise, (Oid{1, 3, 6, 1, 6, 3, 1, 1, 5}));
}

TEST_F(EventTest, InformIsAcknowledgedAndDelivered) {
  open();
  EXPECT_EQ(send("snmpinform", "2c",
                 {"0", ".1.3.6.1.4.1.11.2.17.1.0.58982403", kObjectVariable, "s", "4711"}),
            0);
  waitFor(1);
  pump([] { return false; }, 200ms);
  ASSERT_EQ(count(), 1u);  // the inform was not retried: it was acknowledged the first time
  const Received &r = recorder_.events[0];
  EXPECT_EQ(r.code, OVSNMP_INFORM);
  EXPECT_EQ(r.command, OVSNMP_INFORM);
  EXPECT_EQ(r.enterprise, kEnterpriseOid);
  EXPECT_EQ(r.specific, 58982403);
  ASSERT_EQ(r.texts.size(), 1u);
  EXPECT_EQ(r.texts[0], "4711");
}

TEST_F(EventTest, UnmatchedInformIsStillAcknowledged) {
  open();
  EXPECT_EQ(send("snmpinform", "2c", {"0", ".1.3.6.1.4.1.99.0.1"}), 0);
  pump([] { return false; }, 200ms);
  EXPECT_EQ(count(), 0u);
}

TEST_F(EventTest, CallbackMayCloseTheSessionItIsCalledFor) {
  open();
  recorder_.then = Then::kClose;
  sendV1(kEnterprise, 6, 58785794);
  sendV1(kEnterprise, 6, 58785794);
  waitFor(1);
  pump([] { return false; }, 200ms);  // ends at once: nothing is open any more
  EXPECT_EQ(count(), 1u);
  fd_set fds;
  FD_ZERO(&fds);
  timeval timeout{};
  EXPECT_EQ(OVsnmpGetRetryInfo(&fds, &timeout), 0);
  EXPECT_EQ(OVsnmpClose(session_), -1);  // already closed by the callback
  session_ = 0;
}

TEST_F(EventTest, ReadFailureReportsSessionErrorWithoutPdu) {
  open();
  ASSERT_EQ(KestaraFaultAdd("OVsnmpRead", 1, OVSNMP_ERR_SOCKET, 0), 0);
  sendV1(kEnterprise, 6, 58785794);
  waitFor(1);
  const Received &r = recorder_.events[0];
  EXPECT_EQ(r.code, OVSNMP_EVENT_SESSION_ERROR);
  EXPECT_FALSE(r.has_pdu);
  EXPECT_EQ(OVsnmpClose(session_), -1);  // the callback closed it
  session_ = 0;
}

TEST_F(EventTest, GarbageDatagramsAreIgnored) {
  open();
  kt::UdpClient sender("127.0.0.1");
  ASSERT_TRUE(sender.ok());
  for (std::string junk : {std::string("hello"), std::string("\x30\x82\xff\xff\x02\x01\x00", 7),
                           std::string(1, '\0'), std::string(2000, '\x30')}) {
    ASSERT_TRUE(sender.send("127.0.0.1", port_, junk));
  }
  sendV2(".1.3.6.1.4.1.11.2.17.1.0.58785794");
  waitFor(1);
  EXPECT_EQ(recorder_.events[0].code, OVSNMP_TRAP);
  EXPECT_EQ(count(), 1u);
}

TEST_F(EventTest, OpenRefusesBadArgumentsAndBusyAddresses) {
  for (const char *bad : {"", ";", ".1.3.x", "1.3.6;;.1.3.6.1.4.1.99999999999"}) {
    EXPECT_EQ(OVsnmpEventOpen(nullptr, "x", record, &recorder_, bad), 0u) << bad;
    EXPECT_EQ(OVsnmpErrno, OVSNMP_ERR_FILTER) << bad;
  }
  EXPECT_EQ(OVsnmpEventOpen(nullptr, "x", record, &recorder_, nullptr), 0u);
  EXPECT_EQ(OVsnmpErrno, OVSNMP_ERR_FILTER);
  EXPECT_EQ(OVsnmpEventOpen(nullptr, "x", nullptr, &recorder_, kFilter), 0u);
  EXPECT_EQ(OVsnmpErrno, OVSNMP_ERR_BAD_ARG);
  EXPECT_EQ(OVsnmpEventOpen("somewhere", "x", record, &recorder_, kFilter), 0u);
  EXPECT_EQ(OVsnmpErrno, OVSNMP_ERR_BAD_ARG);

  kt::UdpClient squatter("127.0.0.1", port_);  // the event address is taken
  ASSERT_TRUE(squatter.ok());
  EXPECT_EQ(OVsnmpEventOpen(nullptr, "x", record, &recorder_, kFilter), 0u);
  EXPECT_EQ(OVsnmpErrno, OVSNMP_ERR_SOCKET);

  setenv("OV_EVENT_ADDRESS", "udp:256.1.1.1:99", 1);
  EXPECT_EQ(OVsnmpEventOpen(nullptr, "x", record, &recorder_, kFilter), 0u);
  EXPECT_EQ(OVsnmpErrno, OVSNMP_ERR_SOCKET);

  fd_set fds;
  FD_ZERO(&fds);
  timeval timeout{};
  EXPECT_EQ(OVsnmpGetRetryInfo(&fds, &timeout), 0);  // nothing open, nothing to wait on
}

// A burst of events waits in the socket while the program is busy, and each read takes a
// bounded batch of it, in the select loop as in the poll loop.
TEST_F(EventTest, BurstWaitsInTheSocketAndIsReadInBoundedBatches) {
  open();
  const rel::Datagram event = rel::nodeEvent(42);
  ASSERT_FALSE(event.empty());
  kt::UdpClient sender("127.0.0.1");
  ASSERT_TRUE(sender.ok());
  constexpr size_t kBurst = 1000;  // more than a socket's default buffer holds
  const std::string datagram(event.begin(), event.end());
  auto burst = [&] {
    for (size_t i = 0; i < kBurst; ++i) ASSERT_TRUE(sender.send("127.0.0.1", port_, datagram));
  };

  burst();
  fd_set fds;
  FD_ZERO(&fds);
  timeval timeout{};
  const int count = OVsnmpGetRetryInfo(&fds, &timeout);
  ASSERT_GT(count, 0);
  OVsnmpRead(&fds);
  EXPECT_EQ(size_t{OVSNMP_READ_BATCH}, this->count());
  waitFor(kBurst);
  EXPECT_EQ(kBurst, this->count());

  burst();
  pollfd p[2];
  int wait = 0;
  ASSERT_EQ(1, OVsnmpGetPollInfo(p, 2, &wait));
  EXPECT_EQ(-1, wait);  // only events: nothing is ever due
  ASSERT_EQ(1, poll(p, 1, 1000));
  OVsnmpReadPoll(p, 1);
  EXPECT_EQ(kBurst + OVSNMP_READ_BATCH, this->count());
  waitFor(2 * kBurst);
  pump([] { return false; }, 200ms);
  EXPECT_EQ(2 * kBurst, this->count());
  for (const Received &r : recorder_.events) ASSERT_EQ(r.texts, std::vector<std::string>{"42"});
}

}  // namespace
