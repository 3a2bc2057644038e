// Tests of SNMPv3 client sessions against a real snmpd with users of its own (createUser):
// blocking and asynchronous requests over each security level, engine-ID discovery that never
// holds the caller, an agent's refusals and their reasons, settings that can't be used, and
// per-host settings that stay with their host.
#include <gtest/gtest.h>
#include <poll.h>
#include <sys/stat.h>

#include <algorithm>
#include <chrono>
#include <cstdlib>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "OVsnmp.h"
#include "process.h"
#include "snmp_agent.h"

namespace {

using namespace std::chrono_literals;
using Clock = std::chrono::steady_clock;
using Oid = std::vector<OVsnmpOid>;

const Oid kSysName{1, 3, 6, 1, 2, 1, 1, 5, 0};
constexpr const char *kAgentName = "v3-test-agent";

// The agent's users. Each test that gets a refusal uses a user of its own, or an agent of its
// own: net-snmp keeps one set of keys per user and engine in a process.
const kt::V3User kAuthSha{.name = "authsha",
                          .authType = "SHA",
                          .authPass = "auth-sha-pass",
                          .privType = "",
                          .level = "authNoPriv",
                          .access = "auth"};
const kt::V3User kPriv256{.name = "priv256",
                          .authType = "SHA-256",
                          .authPass = "auth-256-pass",
                          .privType = "AES",
                          .privPass = "priv-aes-pass"};
const kt::V3User kPriv512{.name = "priv512",
                          .authType = "SHA-512",
                          .authPass = "auth-512-pass",
                          .privType = "AES-256",
                          .privPass = "priv-aes256-pass"};
const kt::V3User kNoPriv{.name = "nopriv",
                         .authType = "SHA-256",
                         .authPass = "nopriv-auth-pass",
                         .privType = "",
                         .level = "authNoPriv",
                         .access = "auth"};
// Has privacy at the agent, and may read only with it (rouser ... priv).
const kt::V3User kPrivOnly{.name = "privonly",
                           .authType = "SHA-256",
                           .authPass = "privonly-auth",
                           .privType = "AES",
                           .privPass = "privonly-priv"};

std::unique_ptr<kt::SnmpAgent> startAgent(uint16_t port = 0) {
  kt::AgentOptions options;
  options.port = port;
  options.sys_name = kAgentName;
  for (const kt::V3User *user : {&kAuthSha, &kPriv256, &kPriv512, &kNoPriv, &kPrivOnly}) {
    for (const std::string &line : kt::agentUserLines(*user)) options.extra_config.push_back(line);
  }
  return kt::SnmpAgent::start(options);
}

// The process's client configuration: SNMPv2c by default, with the SNMPv3 types that a host file
// may leave out; hosts/ holds a file per test host.
const kt::TempDir &clientConf() {
  // Read once a process; removed at the exit.
  static kt::TempDir dir;
  static const bool written = [] {
    dir.write("snmp.conf",
              "defVersion 2c\ndefCommunity public\ntimeout 1\nretries 0\n"
              "defAuthType SHA-256\ndefPrivType AES\n");
    return mkdir(dir.file("hosts").c_str(), 0700) == 0;
  }();
  (void)written;
  return dir;
}

struct PduDeleter {
  void operator()(OVsnmpPdu *pdu) const { OVsnmpFreePdu(pdu); }
};
using PduPtr = std::unique_ptr<OVsnmpPdu, PduDeleter>;

OVsnmpPdu *getPdu(const Oid &name) {
  OVsnmpPdu *pdu = OVsnmpCreatePdu(OVSNMP_GET_REQ);
  if (pdu != nullptr && OVsnmpAddNullVarBind(pdu, name.data(), name.size()) == nullptr) {
    OVsnmpFreePdu(pdu);
    return nullptr;
  }
  return pdu;
}

std::string textOf(const OVsnmpPdu &pdu) {
  const OVsnmpVarBind *vb = pdu.variables;
  if (vb == nullptr || vb->type != OVSNMP_OCTETSTRING) return "(no text)";
  return std::string(static_cast<const char *>(vb->val), vb->val_len);
}

// What a blocking get came to: the text of its answer, or its error.
struct Got {
  int error = OVSNMP_ERR_NONE;
  int32_t status = 0;
  std::string text;
};

Got blockingGet(OVsnmpSession session, const Oid &name = kSysName) {
  OVsnmpPdu *request = getPdu(name);
  if (request == nullptr) return {OVSNMP_ERR_NOMEM, 0, ""};
  PduPtr response(OVsnmpBlockingSend(session, request));
  if (!response) {
    const int error = OVsnmpErrno;
    OVsnmpFreePdu(request);  // a failed send leaves it with the caller
    return {error, 0, ""};
  }
  return {OVSNMP_ERR_NONE, response->error_status, textOf(*response)};
}

// One asynchronous request and what its completion saw.
struct Async {
  int calls = 0;
  int error = -1;
  std::string text;
};

void completed(OVsnmpSession, int error, OVsnmpPdu *response, void *context) {
  auto *a = static_cast<Async *>(context);
  ++a->calls;
  a->error = error;
  if (response != nullptr) a->text = textOf(*response);
  OVsnmpFreePdu(response);
}

bool sendAsync(OVsnmpSession session, Async &request, const Oid &name = kSysName) {
  OVsnmpPdu *pdu = getPdu(name);
  if (pdu == nullptr) return false;
  if (OVsnmpSendAsync(session, pdu, completed, &request) != 0) {
    OVsnmpFreePdu(pdu);
    return false;
  }
  return true;
}

// The library's poll loop until `done` holds or `limit` passes.
void pollLoop(const std::function<bool()> &done, std::chrono::milliseconds limit = 10s) {
  const auto deadline = Clock::now() + kt::scaled(limit);
  std::vector<pollfd> fds(8);
  while (!done() && Clock::now() < deadline) {
    int timeout = 0;
    const int count = OVsnmpGetPollInfo(fds.data(), fds.size(), &timeout);
    if (count < 0) return;
    if (static_cast<size_t>(count) > fds.size()) {
      fds.resize(static_cast<size_t>(count));
      continue;
    }
    if (count == 0 && timeout < 0) return;
    if (timeout < 0 || timeout > 50) timeout = 50;
    if (poll(fds.data(), static_cast<nfds_t>(count), timeout) > 0) {
      OVsnmpReadPoll(fds.data(), static_cast<size_t>(count));
    }
    OVsnmpDoRetry();
  }
}

class V3Session : public testing::Test {
 protected:
  void SetUp() override {
    setenv("SNMPCONFPATH", clientConf().path().c_str(), 1);
    setenv("MIBS", "", 1);
    setenv("OVSNMP_TIMEOUT_MS", "400", 1);
    setenv("OVSNMP_RETRIES", "0", 1);
    agent_ = startAgent();
    ASSERT_TRUE(agent_);
  }
  void TearDown() override {
    for (OVsnmpSession s : sessions_) (void)OVsnmpClose(s);
  }

  // Opens a session to a host name of this test whose host file sends it to `peer` with the
  // snmp.conf lines `lines`; 0 (and OVsnmpErrno) when the open fails.
  OVsnmpSession openAs(const std::string &lines, const std::string &peer = "") {
    const std::string host = "h" + std::to_string(++hosts_) + "-" +
                             testing::UnitTest::GetInstance()->current_test_info()->name();
    kt::writeHostConfig(clientConf(), host, peer.empty() ? agent_->peer() : peer, lines);
    const OVsnmpSession s =
        OVsnmpOpen(nullptr, host.c_str(), -1, -1, 0xffff, 0xffff, nullptr, nullptr);
    if (s != 0) sessions_.push_back(s);
    return s;
  }

  std::unique_ptr<kt::SnmpAgent> agent_;
  std::vector<OVsnmpSession> sessions_;
  int hosts_ = 0;
};

// Every security level and several types answer a blocking get and an asynchronous one; a
// session's first request discovers the engine ID, the later ones reuse it.
TEST_F(V3Session, EachLevelAndTypeReadsTheAgent) {
  const kt::V3User noAuth{.name = "authsha",
                          .authType = "SHA",
                          .authPass = "auth-sha-pass",
                          .privType = "",
                          .level = "noAuthNoPriv"};
  for (const kt::V3User *user : {&kAuthSha, &kPriv256, &kPriv512}) {
    SCOPED_TRACE(user->name);
    const OVsnmpSession s = openAs(kt::clientUserLines(*user));
    ASSERT_NE(s, 0u) << OVsnmpErrString(OVsnmpErrno);
    for (int i = 0; i < 2; ++i) {
      const Got got = blockingGet(s);
      EXPECT_EQ(OVSNMP_ERR_NONE, got.error) << OVsnmpErrString(got.error);
      EXPECT_EQ(0, got.status);
      EXPECT_EQ(kAgentName, got.text);
    }
    const OVsnmpSession a = openAs(kt::clientUserLines(*user));
    ASSERT_NE(a, 0u);
    Async first, second, later;
    ASSERT_TRUE(sendAsync(a, first));
    ASSERT_TRUE(sendAsync(a, second));  // waits for the same discovery
    pollLoop([&] { return first.calls > 0 && second.calls > 0; });
    ASSERT_TRUE(sendAsync(a, later));
    pollLoop([&] { return later.calls > 0; });
    for (const Async *r : {&first, &second, &later}) {
      EXPECT_EQ(1, r->calls);
      EXPECT_EQ(OVSNMP_ERR_NONE, r->error) << OVsnmpErrString(r->error);
      EXPECT_EQ(kAgentName, r->text);
    }
  }
  // noAuthNoPriv is refused by this agent's access control (rouser ... auth), with an answer.
  const OVsnmpSession n = openAs(kt::clientUserLines(noAuth));
  ASSERT_NE(n, 0u) << OVsnmpErrString(OVsnmpErrno);
  const Got got = blockingGet(n);
  EXPECT_EQ(OVSNMP_ERR_NONE, got.error) << OVsnmpErrString(got.error);
  EXPECT_EQ(16, got.status);  // authorizationError
}

// An agent that refuses the request's security ends it with the reason, blocking or not: an
// unknown user, a wrong authentication pass phrase (wrong digest), a security level the user
// does not have. Access control that refuses a level answers authorizationError instead.
TEST_F(V3Session, RefusalsNameTheirReason) {
  kt::V3User unknown = kPriv256;
  unknown.name = "nobody";
  kt::V3User wrongPass = kPriv512;
  wrongPass.authPass = "not-the-pass";
  kt::V3User noPrivAtPriv = kNoPriv;
  noPrivAtPriv.level = "authPriv";
  noPrivAtPriv.privType = "AES";
  noPrivAtPriv.privPass = "some-priv-pass";
  kt::V3User privOnlyWithoutPriv = kPrivOnly;
  privOnlyWithoutPriv.level = "authNoPriv";

  struct Case {
    const kt::V3User *user;
    int error;
  };
  for (const Case &c :
       {Case{&unknown, OVSNMP_ERR_UNKNOWN_USER}, Case{&wrongPass, OVSNMP_ERR_WRONG_DIGEST},
        Case{&noPrivAtPriv, OVSNMP_ERR_SECURITY_LEVEL}}) {
    SCOPED_TRACE(c.user->name);
    const OVsnmpSession s = openAs(kt::clientUserLines(*c.user));
    ASSERT_NE(s, 0u) << OVsnmpErrString(OVsnmpErrno);
    const Got got = blockingGet(s);
    EXPECT_EQ(c.error, got.error) << OVsnmpErrString(got.error);
    EXPECT_TRUE(OVsnmpIsSecurityRefusal(got.error));
    Async a;
    ASSERT_TRUE(sendAsync(s, a));
    pollLoop([&] { return a.calls > 0; });
    EXPECT_EQ(1, a.calls);
    EXPECT_EQ(c.error, a.error) << OVsnmpErrString(a.error);
  }
  const OVsnmpSession s = openAs(kt::clientUserLines(privOnlyWithoutPriv));
  ASSERT_NE(s, 0u);
  const Got got = blockingGet(s);
  EXPECT_EQ(OVSNMP_ERR_NONE, got.error);
  EXPECT_EQ(16, got.status);
  EXPECT_FALSE(OVsnmpIsSecurityRefusal(OVSNMP_ERR_TIMEOUT));
  EXPECT_FALSE(OVsnmpIsSecurityRefusal(OVSNMP_ERR_SECURITY_CONFIG));
}

// Settings that can't be used fail the open, before anything is sent; the texts name the
// settings and never their values.
TEST_F(V3Session, UnusableSettingsFailTheOpen) {
  kt::UdpClient watcher("127.0.0.1");
  const std::string peer = "127.0.0.1:" + std::to_string(watcher.localPort());
  kt::V3User des = kPriv256;
  des.privType = "DES";
  kt::V3User shortPass = kPriv256;
  shortPass.authPass = "7-chars";
  const std::string noName =
      "defVersion 3\ndefSecurityLevel authNoPriv\ndefAuthPassphrase \"long-enough\"\n";
  const std::string noPrivPass =
      "defVersion 3\ndefSecurityName priv256\ndefSecurityLevel authPriv\n"
      "defAuthPassphrase \"auth-256-pass\"\n";
  for (const std::string &lines :
       {kt::clientUserLines(des), kt::clientUserLines(shortPass), noName, noPrivPass}) {
    SCOPED_TRACE(lines);
    EXPECT_EQ(0u, openAs(lines, peer));
    EXPECT_EQ(OVSNMP_ERR_SECURITY_CONFIG, OVsnmpErrno);
  }
  const std::string text = OVsnmpErrString(OVSNMP_ERR_SECURITY_CONFIG);
  EXPECT_NE(std::string::npos, text.find("defPrivType"));
  EXPECT_EQ(std::string::npos, text.find("auth-256-pass"));
  // A usable session opens without a datagram; its first request discovers the engine ID.
  const OVsnmpSession s = openAs(kt::clientUserLines(kPriv256), peer);
  ASSERT_NE(s, 0u);
  EXPECT_FALSE(watcher.receive(200ms));
  Async a;
  ASSERT_TRUE(sendAsync(s, a));
  EXPECT_TRUE(watcher.receive(2s));
  // Closed while `a` lives: the close cancels the request and completes it into `a`.
  EXPECT_EQ(0, OVsnmpClose(s));
  EXPECT_EQ(1, a.calls);
  EXPECT_EQ(OVSNMP_ERR_CANCELLED, a.error);
}

// A silent SNMPv3 agent holds nobody: the open returns at once, the discovery times out after
// the session's time-out, and a request to the real agent sent meanwhile completes first.
TEST_F(V3Session, SilentAgentDelaysNoOtherRequest) {
  kt::UdpClient silent("127.0.0.1");
  const std::string peer = "127.0.0.1:" + std::to_string(silent.localPort());
  const auto before = Clock::now();
  const OVsnmpSession quiet = openAs(kt::clientUserLines(kPriv256), peer);
  ASSERT_NE(quiet, 0u);
  const OVsnmpSession live = openAs(kt::clientUserLines(kPriv256));
  ASSERT_NE(live, 0u);
  // Two key derivations and no network: shorter than the one try of 400 ms that a discovery on
  // open would wait for, with room for a slow (sanitized, loaded) build.
  EXPECT_LT(Clock::now() - before, 300ms);
  Async waiting, answered;
  ASSERT_TRUE(sendAsync(quiet, waiting)) << OVsnmpErrString(OVsnmpErrno);
  ASSERT_TRUE(sendAsync(live, answered));
  Clock::time_point answeredAt{}, timedOutAt{};
  pollLoop([&] {
    if (answered.calls > 0 && answeredAt == Clock::time_point{}) answeredAt = Clock::now();
    if (waiting.calls > 0 && timedOutAt == Clock::time_point{}) timedOutAt = Clock::now();
    return answered.calls > 0 && waiting.calls > 0;
  });
  EXPECT_EQ(OVSNMP_ERR_NONE, answered.error) << OVsnmpErrString(answered.error);
  EXPECT_EQ(OVSNMP_ERR_TIMEOUT, waiting.error) << OVsnmpErrString(waiting.error);
  ASSERT_NE(answeredAt, Clock::time_point{});
  ASSERT_NE(timedOutAt, Clock::time_point{});
  EXPECT_LT(answeredAt, timedOutAt);
  EXPECT_GE(timedOutAt - before, 350ms);  // one try of 400 ms
  // A blocking get to the silent agent gives up after its own discovery's time-out.
  const OVsnmpSession blocking = openAs(kt::clientUserLines(kPriv256), peer);
  ASSERT_NE(blocking, 0u);
  const auto start = Clock::now();
  EXPECT_EQ(OVSNMP_ERR_TIMEOUT, blockingGet(blocking).error);
  EXPECT_LT(Clock::now() - start, kt::scaled(2s));
}

// A host file's SNMPv3 settings (types included) apply to that host's sessions only: a host
// without a file stays SNMPv2c, and one whose file leaves the types out gets snmp.conf's.
TEST_F(V3Session, HostSettingsStayWithTheirHost) {
  const OVsnmpSession v3 = openAs(kt::clientUserLines(kPriv512));  // SHA-512 and AES-256
  ASSERT_NE(v3, 0u);
  EXPECT_EQ(kAgentName, blockingGet(v3).text);
  const OVsnmpSession v2c = openAs("");
  ASSERT_NE(v2c, 0u);
  EXPECT_EQ(kAgentName, blockingGet(v2c).text);
  const std::string withoutTypes =
      "defVersion 3\ndefSecurityName priv256\ndefSecurityLevel authPriv\n"
      "defAuthPassphrase \"auth-256-pass\"\ndefPrivPassphrase \"priv-aes-pass\"\n";
  const OVsnmpSession defaults = openAs(withoutTypes);  // SHA-256 and AES from snmp.conf
  ASSERT_NE(defaults, 0u) << OVsnmpErrString(OVsnmpErrno);
  const Got got = blockingGet(defaults);
  EXPECT_EQ(OVSNMP_ERR_NONE, got.error) << OVsnmpErrString(got.error);
  EXPECT_EQ(kAgentName, got.text);
}

// An agent that comes back with another engine ID refuses the old one with a report that net-snmp
// does not take: the request times out, the session forgets the engine ID, and the next request
// discovers the new one.
TEST_F(V3Session, AgentWithANewEngineIdIsDiscoveredAfterATimeOut) {
  const OVsnmpSession s = openAs(kt::clientUserLines(kPriv256));
  ASSERT_NE(s, 0u);
  EXPECT_EQ(kAgentName, blockingGet(s).text);
  const uint16_t port = agent_->port();
  agent_.reset();
  agent_ = startAgent(port);  // a new snmpd: a new engine ID
  ASSERT_TRUE(agent_);
  const Got refused = blockingGet(s);
  EXPECT_EQ(OVSNMP_ERR_TIMEOUT, refused.error) << OVsnmpErrString(refused.error);
  const Got again = blockingGet(s);
  EXPECT_EQ(OVSNMP_ERR_NONE, again.error) << OVsnmpErrString(again.error);
  EXPECT_EQ(kAgentName, again.text);
  // The same, asynchronously.
  agent_.reset();
  agent_ = startAgent(port);
  ASSERT_TRUE(agent_);
  Async timedOut;
  ASSERT_TRUE(sendAsync(s, timedOut));
  pollLoop([&] { return timedOut.calls > 0; });
  EXPECT_EQ(OVSNMP_ERR_TIMEOUT, timedOut.error) << OVsnmpErrString(timedOut.error);
  Async answered;
  ASSERT_TRUE(sendAsync(s, answered));
  pollLoop([&] { return answered.calls > 0; });
  EXPECT_EQ(OVSNMP_ERR_NONE, answered.error) << OVsnmpErrString(answered.error);
  EXPECT_EQ(kAgentName, answered.text);
}

}  // namespace
