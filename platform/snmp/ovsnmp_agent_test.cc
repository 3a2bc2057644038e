// Tests of client sessions against a real snmpd on loopback, and against fake agents that are
// silent, late or garbled.
#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <unistd.h>

#include <chrono>
#include <cstdlib>
#include <cstring>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include "OVsnmp.h"
#include "process.h"
#include "snmp_agent.h"

namespace {

using namespace std::chrono_literals;
using Oid = std::vector<OVsnmpOid>;

const Oid kInteger{1, 3, 6, 1, 4, 1, 32473, 9, 1, 0};
const Oid kCounter{1, 3, 6, 1, 4, 1, 32473, 9, 2, 0};
const Oid kGauge{1, 3, 6, 1, 4, 1, 32473, 9, 3, 0};
const Oid kObjectId{1, 3, 6, 1, 4, 1, 32473, 9, 6, 0};
const Oid kString{1, 3, 6, 1, 4, 1, 32473, 9, 7, 0};
const Oid kEmpty{1, 3, 6, 1, 4, 1, 32473, 9, 8, 0};
const Oid kLong{1, 3, 6, 1, 4, 1, 32473, 9, 9, 0};
const Oid kMissing{1, 3, 6, 1, 4, 1, 32473, 9, 99, 0};
const Oid kSysUpTime{1, 3, 6, 1, 2, 1, 1, 3, 0};
const Oid kSysName{1, 3, 6, 1, 2, 1, 1, 5, 0};
const Oid kLoopbackAddress{1, 3, 6, 1, 2, 1, 4, 20, 1, 1, 127, 0, 0, 1};
const Oid kLoopbackHcInOctets{1, 3, 6, 1, 2, 1, 31, 1, 1, 1, 6, 1};
const std::string kLongText(600, 'x');

struct PduDeleter {
  void operator()(OVsnmpPdu *pdu) const { OVsnmpFreePdu(pdu); }
};
using PduPtr = std::unique_ptr<OVsnmpPdu, PduDeleter>;

// Each test process reads one client configuration folder (net-snmp reads it once): 2c,
// community public, no retries. Tests add per-host files to it.
const kt::TempDir &clientConf() {
  // Read once a process; removed at the exit.
  static kt::TempDir dir;
  static const bool written = [] {
    kt::writeClientConfig(dir, "2c", 2, 0, "public");
    return mkdir(dir.file("hosts").c_str(), 0700) == 0;
  }();
  (void)written;
  return dir;
}

void writeHostFile(const std::string &host, const std::string &content) {
  clientConf().write("hosts/" + host + ".conf", content);
}

class AgentTest : public testing::Test {
 protected:
  void SetUp() override {
    setenv("SNMPCONFPATH", clientConf().path().c_str(), 1);
    setenv("MIBS", "", 1);
    unsetenv("OVSNMP_TIMEOUT_MS");
    unsetenv("OVSNMP_RETRIES");
  }
  void TearDown() override {
    unsetenv("OVSNMP_TIMEOUT_MS");
    unsetenv("OVSNMP_RETRIES");
  }

  static std::unique_ptr<kt::SnmpAgent> startAgent() {
    kt::AgentOptions options;
    options.extra_config = {
        "override .1.3.6.1.4.1.32473.9.1.0 integer -1",
        "override .1.3.6.1.4.1.32473.9.2.0 counter 4294967295",
        "override .1.3.6.1.4.1.32473.9.3.0 uinteger 42",
        "override .1.3.6.1.4.1.32473.9.6.0 object_id .1.3.6.1.4.1.32473.7",
        "override .1.3.6.1.4.1.32473.9.7.0 octet_str \"hello\"",
        "override .1.3.6.1.4.1.32473.9.8.0 octet_str \"\"",
        "override .1.3.6.1.4.1.32473.9.9.0 octet_str \"" + kLongText + "\"",
    };
    return kt::SnmpAgent::start(options);
  }

  // Opens a session by a host name whose file in hosts/ sends it to the agent.
  static OVsnmpSession openVia(const std::string &host, const kt::SnmpAgent &agent,
                               const std::string &more = "") {
    writeHostFile(host, "transport udp:" + agent.peer() + "\n" + more);
    return OVsnmpOpen(nullptr, host.c_str(), -1, -1, 0xffff, 0xffff, nullptr, nullptr);
  }

  static PduPtr get(OVsnmpSession s, const std::vector<Oid> &names, int type = OVSNMP_GET_REQ) {
    OVsnmpPdu *request = OVsnmpCreatePdu(type);
    if (request == nullptr) return nullptr;
    for (const Oid &name : names) {
      if (OVsnmpAddNullVarBind(request, name.data(), name.size()) == nullptr) {
        OVsnmpFreePdu(request);
        return nullptr;
      }
    }
    PduPtr response(OVsnmpBlockingSend(s, request));
    if (!response) OVsnmpFreePdu(request);
    return response;
  }
};

std::vector<const OVsnmpVarBind *> bindings(const OVsnmpPdu &pdu) {
  std::vector<const OVsnmpVarBind *> out;
  for (const OVsnmpVarBind *vb = pdu.variables; vb != nullptr; vb = vb->next_variable) {
    out.push_back(vb);
  }
  return out;
}

Oid nameOf(const OVsnmpVarBind &vb) { return Oid(vb.oid, vb.oid + vb.oid_length); }

uint32_t word(const OVsnmpVarBind &vb, size_t i = 0) {
  return static_cast<const uint32_t *>(vb.val)[i];
}

std::string bytes(const OVsnmpVarBind &vb) {
  return std::string(static_cast<const char *>(vb.val), vb.val_len);
}

// The values both versions serve, as every test of a version checks them.
void expectCommonValues(const std::vector<const OVsnmpVarBind *> &vbs) {
  ASSERT_GE(vbs.size(), 9u);
  EXPECT_EQ(nameOf(*vbs[0]), kInteger);
  EXPECT_EQ(vbs[0]->type, OVSNMP_INTEGER);
  EXPECT_EQ(vbs[0]->val_len, 4u);
  EXPECT_EQ(word(*vbs[0]), 0xffffffffu);  // -1 as its two's complement

  EXPECT_EQ(vbs[1]->type, OVSNMP_COUNTER);
  EXPECT_EQ(word(*vbs[1]), 4294967295u);
  EXPECT_EQ(vbs[2]->type, OVSNMP_GAUGE);
  EXPECT_EQ(word(*vbs[2]), 42u);

  EXPECT_EQ(vbs[3]->type, OVSNMP_OBJECTID);
  ASSERT_EQ(vbs[3]->val_len, 8u * sizeof(OVsnmpOid));
  const auto *value = static_cast<const OVsnmpOid *>(vbs[3]->val);
  EXPECT_EQ(Oid(value, value + 8), (Oid{1, 3, 6, 1, 4, 1, 32473, 7}));

  EXPECT_EQ(vbs[4]->type, OVSNMP_OCTETSTRING);
  EXPECT_EQ(bytes(*vbs[4]), "hello");
  EXPECT_EQ(static_cast<const char *>(vbs[4]->val)[5], '\0');  // terminated beyond val_len

  EXPECT_EQ(vbs[5]->type, OVSNMP_OCTETSTRING);
  EXPECT_EQ(vbs[5]->val_len, 0u);

  EXPECT_EQ(vbs[6]->type, OVSNMP_OCTETSTRING);
  EXPECT_EQ(bytes(*vbs[6]), kLongText);

  EXPECT_EQ(vbs[7]->type, OVSNMP_TIMETICKS);
  EXPECT_EQ(vbs[7]->val_len, 4u);
  EXPECT_GT(word(*vbs[7]), 0u);

  EXPECT_EQ(nameOf(*vbs[8]), kLoopbackAddress);
  EXPECT_EQ(vbs[8]->type, OVSNMP_IPADDRESS);
  EXPECT_EQ(bytes(*vbs[8]), std::string("\x7f\x00\x00\x01", 4));  // network order
}

const std::vector<Oid> kCommonNames{kInteger, kCounter, kGauge,     kObjectId,       kString,
                                    kEmpty,   kLong,    kSysUpTime, kLoopbackAddress};

TEST_F(AgentTest, V2cGetReturnsEveryValueType) {
  auto agent = startAgent();
  ASSERT_TRUE(agent);
  OVsnmpSession s = openVia("v2agent", *agent, "defVersion 2c\n");
  ASSERT_NE(s, 0u) << OVsnmpErrString(OVsnmpErrno);
  std::vector<Oid> names = kCommonNames;
  names.push_back(kLoopbackHcInOctets);
  PduPtr response = get(s, names);
  ASSERT_TRUE(response) << OVsnmpErrString(OVsnmpErrno);
  EXPECT_EQ(response->command, OVSNMP_GET_RSP);
  EXPECT_EQ(response->error_status, 0);
  auto vbs = bindings(*response);
  ASSERT_EQ(vbs.size(), names.size());
  expectCommonValues(vbs);
  EXPECT_EQ(vbs[9]->type, OVSNMP_COUNTER64);
  EXPECT_EQ(vbs[9]->val_len, 8u);
  EXPECT_EQ(OVsnmpClose(s), 0);
}

TEST_F(AgentTest, V1GetReturnsEveryValueType) {
  auto agent = startAgent();
  ASSERT_TRUE(agent);
  OVsnmpSession s = openVia("v1agent", *agent, "defVersion 1\n");
  ASSERT_NE(s, 0u) << OVsnmpErrString(OVsnmpErrno);
  PduPtr response = get(s, kCommonNames);
  ASSERT_TRUE(response) << OVsnmpErrString(OVsnmpErrno);
  EXPECT_EQ(response->error_status, 0);
  expectCommonValues(bindings(*response));
  EXPECT_EQ(OVsnmpClose(s), 0);
}

TEST_F(AgentTest, GetNextAnswersWithTheNextName) {
  auto agent = startAgent();
  ASSERT_TRUE(agent);
  OVsnmpSession s =
      OVsnmpOpen(nullptr, agent->peer().c_str(), -1, -1, 0xffff, 0xffff, nullptr, nullptr);
  ASSERT_NE(s, 0u);
  PduPtr response = get(s, {Oid{1, 3, 6, 1, 4, 1, 32473, 9, 1}}, OVSNMP_GETNEXT_REQ);
  ASSERT_TRUE(response);
  auto vbs = bindings(*response);
  ASSERT_EQ(vbs.size(), 1u);
  EXPECT_EQ(nameOf(*vbs[0]), kInteger);
  EXPECT_EQ(word(*vbs[0]), 0xffffffffu);
  EXPECT_EQ(OVsnmpClose(s), 0);
}

TEST_F(AgentTest, V2cMissingVariableIsNoSuchObjectException) {
  auto agent = startAgent();
  ASSERT_TRUE(agent);
  OVsnmpSession s = openVia("v2missing", *agent, "defVersion 2c\n");
  ASSERT_NE(s, 0u);
  PduPtr response = get(s, {kMissing});
  ASSERT_TRUE(response);
  EXPECT_EQ(response->error_status, 0);
  auto vbs = bindings(*response);
  ASSERT_EQ(vbs.size(), 1u);
  EXPECT_EQ(vbs[0]->type, OVSNMP_NOSUCHOBJECT);
  EXPECT_EQ(vbs[0]->val, nullptr);
  EXPECT_EQ(vbs[0]->val_len, 0u);
  EXPECT_EQ(OVsnmpClose(s), 0);
}

TEST_F(AgentTest, V1MissingVariableIsFixedOutOfTheRequest) {
  auto agent = startAgent();
  ASSERT_TRUE(agent);
  OVsnmpSession s = openVia("v1missing", *agent, "defVersion 1\n");
  ASSERT_NE(s, 0u);

  PduPtr response = get(s, {kSysName, kMissing});
  ASSERT_TRUE(response);
  EXPECT_EQ(response->error_status, 2);  // noSuchName
  EXPECT_EQ(response->error_index, 2);
  PduPtr fixed(OVsnmpFixPdu(response.get(), OVSNMP_GET_REQ));
  ASSERT_TRUE(fixed) << OVsnmpErrString(OVsnmpErrno);
  (void)response.release();  // consumed by the fix
  EXPECT_EQ(fixed->command, OVSNMP_GET_REQ);
  auto left = bindings(*fixed);
  ASSERT_EQ(left.size(), 1u);
  EXPECT_EQ(nameOf(*left[0]), kSysName);
  EXPECT_EQ(left[0]->type, OVSNMP_NULL);

  PduPtr answer(OVsnmpBlockingSend(s, fixed.get()));
  ASSERT_TRUE(answer);
  (void)fixed.release();  // consumed by the send
  EXPECT_EQ(answer->error_status, 0);
  EXPECT_EQ(bytes(*answer->variables), "kestara-test-agent");

  // The only binding in error: no request would be left, and the response stays ours.
  PduPtr alone = get(s, {kMissing});
  ASSERT_TRUE(alone);
  EXPECT_EQ(alone->error_index, 1);
  EXPECT_EQ(OVsnmpFixPdu(alone.get(), OVSNMP_GET_REQ), nullptr);
  EXPECT_EQ(OVsnmpErrno, OVSNMP_ERR_NO_VARBIND);
  EXPECT_EQ(alone->error_status, 2);
  EXPECT_EQ(OVsnmpClose(s), 0);
}

TEST_F(AgentTest, HostFileSettingsStayWithTheirHost) {
  auto agent = startAgent();
  ASSERT_TRUE(agent);
  setenv("OVSNMP_TIMEOUT_MS", "200", 1);
  // A host file with the wrong community: the agent ignores the request.
  OVsnmpSession wrong = openVia("wrongcommunity", *agent, "defCommunity nobody\ndefVersion 1\n");
  ASSERT_NE(wrong, 0u);
  EXPECT_FALSE(get(wrong, {kSysName}));
  EXPECT_EQ(OVsnmpErrno, OVSNMP_ERR_TIMEOUT);
  // A session opened afterwards by address still has the general settings (2c, public).
  OVsnmpSession plain =
      OVsnmpOpen(nullptr, agent->peer().c_str(), -1, -1, 0xffff, 0xffff, nullptr, nullptr);
  ASSERT_NE(plain, 0u);
  PduPtr response = get(plain, {kMissing});
  ASSERT_TRUE(response) << OVsnmpErrString(OVsnmpErrno);
  EXPECT_EQ(response->variables->type, OVSNMP_NOSUCHOBJECT);  // 2c, not v1
  EXPECT_EQ(OVsnmpClose(wrong), 0);
  EXPECT_EQ(OVsnmpClose(plain), 0);
}

TEST_F(AgentTest, ExplicitArgumentsOverrideTheConfiguration) {
  auto agent = startAgent();
  ASSERT_TRUE(agent);
  OVsnmpSession s =
      OVsnmpOpen("public", "127.0.0.1", 0, 5, 0xffff, agent->port(), nullptr, nullptr);
  ASSERT_NE(s, 0u) << OVsnmpErrString(OVsnmpErrno);
  PduPtr response = get(s, {kString});
  ASSERT_TRUE(response) << OVsnmpErrString(OVsnmpErrno);
  EXPECT_EQ(bytes(*response->variables), "hello");
  EXPECT_EQ(OVsnmpClose(s), 0);

  OVsnmpSession bad =
      OVsnmpOpen("nobody", agent->peer().c_str(), 0, 2, 0xffff, 0xffff, nullptr, nullptr);
  ASSERT_NE(bad, 0u);
  EXPECT_FALSE(get(bad, {kString}));
  EXPECT_EQ(OVsnmpErrno, OVSNMP_ERR_TIMEOUT);
  EXPECT_EQ(OVsnmpClose(bad), 0);
}

// ---- fake agents --------------------------------------------------------------------------

// A UDP socket on loopback that plays an agent's part from a script on its own thread.
class FakeAgent {
 public:
  FakeAgent() {
    fd_ = socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
    sockaddr_in sa{};
    sa.sin_family = AF_INET;
    sa.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    if (bind(fd_, reinterpret_cast<sockaddr *>(&sa), sizeof sa) == 0) {
      socklen_t len = sizeof sa;
      getsockname(fd_, reinterpret_cast<sockaddr *>(&sa), &len);
      port_ = ntohs(sa.sin_port);
    }
  }
  ~FakeAgent() {
    if (thread_.joinable()) thread_.join();
    close(fd_);
  }
  FakeAgent(const FakeAgent &) = delete;
  FakeAgent &operator=(const FakeAgent &) = delete;

  std::string peer() const { return "127.0.0.1:" + std::to_string(port_); }
  void run(std::function<void(FakeAgent &)> script) {
    thread_ = std::thread([this, script = std::move(script)] { script(*this); });
  }
  void join() { thread_.join(); }

  // One datagram within `timeout`, remembering its sender.
  std::optional<std::string> receive(std::chrono::milliseconds timeout = 5s) {
    pollfd p{fd_, POLLIN, 0};
    if (poll(&p, 1, static_cast<int>(timeout.count())) != 1) return std::nullopt;
    char buf[65536];
    socklen_t len = sizeof from_;
    ssize_t n = recvfrom(fd_, buf, sizeof buf, 0, reinterpret_cast<sockaddr *>(&from_), &len);
    if (n < 0) return std::nullopt;
    return std::string(buf, static_cast<size_t>(n));
  }
  void reply(const std::string &datagram) {
    sendto(fd_, datagram.data(), datagram.size(), 0, reinterpret_cast<sockaddr *>(&from_),
           sizeof from_);
  }

 private:
  int fd_ = -1;
  uint16_t port_ = 0;
  sockaddr_in from_{};
  std::thread thread_;
};

// Turns a v1/v2c request message into a response to it (same request id, NULL values) by
// rewriting the PDU tag: SEQUENCE { version, community, PDU }.
std::string asResponse(std::string message) {
  size_t pos = 1;  // past the SEQUENCE tag
  auto skipLength = [&](size_t &p) -> size_t {
    auto first = static_cast<uint8_t>(message.at(p++));
    if (first < 0x80) return first;
    size_t length = 0;
    for (int i = 0; i < (first & 0x7f); ++i)
      length = length << 8 | static_cast<uint8_t>(message.at(p++));
    return length;
  };
  skipLength(pos);
  for (int field = 0; field < 2; ++field) {  // version, community
    ++pos;
    pos += skipLength(pos);
  }
  message.at(pos) = static_cast<char>(OVSNMP_GET_RSP);
  return message;
}

TEST_F(AgentTest, SilentAgentTimesOutAfterEveryRetry) {
  FakeAgent silent;
  int received = 0;
  silent.run([&](FakeAgent &a) {
    while (a.receive(1s)) ++received;
  });
  setenv("OVSNMP_TIMEOUT_MS", "150", 1);
  setenv("OVSNMP_RETRIES", "2", 1);
  OVsnmpSession s =
      OVsnmpOpen(nullptr, silent.peer().c_str(), -1, -1, 0xffff, 0xffff, nullptr, nullptr);
  ASSERT_NE(s, 0u);
  auto start = std::chrono::steady_clock::now();
  EXPECT_FALSE(get(s, {kSysName}));
  auto elapsed = std::chrono::steady_clock::now() - start;
  EXPECT_EQ(OVsnmpErrno, OVSNMP_ERR_TIMEOUT);
  EXPECT_GE(elapsed, 400ms);  // 3 tries of 150 ms
  EXPECT_LT(elapsed, 5s);
  silent.join();
  EXPECT_EQ(received, 3);
  EXPECT_EQ(OVsnmpClose(s), 0);
}

TEST_F(AgentTest, LateReplyIsNeverTakenForALaterRequest) {
  FakeAgent late;
  late.run([](FakeAgent &a) {
    auto first = a.receive();
    auto second = a.receive();
    if (!first || !second) return;
    a.reply(asResponse(*first));  // the answer to the request that already timed out
    a.reply(asResponse(*second));
  });
  setenv("OVSNMP_TIMEOUT_MS", "300", 1);
  setenv("OVSNMP_RETRIES", "0", 1);
  OVsnmpSession s =
      OVsnmpOpen(nullptr, late.peer().c_str(), -1, -1, 0xffff, 0xffff, nullptr, nullptr);
  ASSERT_NE(s, 0u);
  EXPECT_FALSE(get(s, {kSysName}));
  EXPECT_EQ(OVsnmpErrno, OVSNMP_ERR_TIMEOUT);
  PduPtr response = get(s, {kSysUpTime});
  ASSERT_TRUE(response) << OVsnmpErrString(OVsnmpErrno);
  ASSERT_NE(response->variables, nullptr);
  EXPECT_EQ(nameOf(*response->variables), kSysUpTime);
  late.join();
  EXPECT_EQ(OVsnmpClose(s), 0);
}

TEST_F(AgentTest, GarbledRepliesAreIgnored) {
  FakeAgent garbled;
  garbled.run([](FakeAgent &a) {
    auto request = a.receive();
    if (!request) return;
    a.reply(std::string("\x30\x82\xff\xff\x02\x01", 6));  // claims far more than it holds
    a.reply(std::string(1, '\0'));
    std::string cut = asResponse(*request);
    a.reply(cut.substr(0, cut.size() - 3));
  });
  setenv("OVSNMP_TIMEOUT_MS", "300", 1);
  setenv("OVSNMP_RETRIES", "0", 1);
  OVsnmpSession s =
      OVsnmpOpen(nullptr, garbled.peer().c_str(), -1, -1, 0xffff, 0xffff, nullptr, nullptr);
  ASSERT_NE(s, 0u);
  EXPECT_FALSE(get(s, {kSysName}));
  EXPECT_EQ(OVsnmpErrno, OVSNMP_ERR_TIMEOUT);
  garbled.join();
  EXPECT_EQ(OVsnmpClose(s), 0);
}

// ---- the general configuration, in fresh processes ----------------------------------------

std::string probe(const kt::TempDir &conf, const std::string &agent, const Oid &name) {
  std::string text;
  for (OVsnmpOid sub : name) text += "." + std::to_string(sub);
  kt::RunResult r = kt::run({OVSNMP_PROBE_PATH, agent, text}, kt::clientEnv(conf), 20s);
  EXPECT_EQ(r.status, 0) << r.err;
  EXPECT_EQ(r.err, "");  // the library prints nothing, not even net-snmp's complaints
  return r.out;
}

TEST_F(AgentTest, DefaultsAreV2cAndPublicWhenNothingIsConfigured) {
  auto agent = startAgent();
  ASSERT_TRUE(agent);
  kt::TempDir empty;
  EXPECT_EQ(probe(empty, agent->peer(), kMissing), "errstat=0 errindex=0 type=128\n");
}

TEST_F(AgentTest, SnmpConfSetsVersionCommunityAndPort) {
  kt::AgentOptions options;
  options.community = "s3cret";
  auto agent = kt::SnmpAgent::start(options);
  ASSERT_TRUE(agent);
  kt::TempDir conf;
  conf.write("snmp.conf", "defVersion 1\ndefCommunity s3cret\ndefaultPort " +
                              std::to_string(agent->port()) + "\ntimeout 2\nretries 0\n");
  // v1: the missing variable comes back as noSuchName at index 1.
  EXPECT_EQ(probe(conf, agent->address(), kMissing), "errstat=2 errindex=1 type=5\n");
}

TEST_F(AgentTest, SnmpConfTimeoutAndRetriesApply) {
  FakeAgent silent;
  int received = 0;
  silent.run([&](FakeAgent &a) {
    while (a.receive(1500ms)) ++received;
  });
  kt::TempDir conf;
  conf.write("snmp.conf", "timeout 1\nretries 1\n");
  EXPECT_EQ(probe(conf, silent.peer(), kSysName), "errno=6\n");
  silent.join();
  EXPECT_EQ(received, 2);
}

}  // namespace
