// Tests of asynchronous requests: many requests in flight on many sessions against a real
// snmpd and against scripted agents that are silent, late, duplicate or give wrong ids; time-outs,
// cancellation on close, completions that close sessions, the bounds, and both event loops.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <poll.h>
#include <sys/select.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <chrono>
#include <cstdlib>
#include <functional>
#include <map>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "OVsnmp.h"
#include "PlatformFault.h"
#include "process.h"
#include "scripted_agent.h"
#include "snmp_agent.h"

namespace {

using namespace std::chrono_literals;
using Clock = std::chrono::steady_clock;
using Oid = std::vector<OVsnmpOid>;

// Variables the agent serves: .1.3.6.1.4.1.32473.9.K.0 holds "value-K".
constexpr int kValues = 8;
Oid valueName(int k) { return {1, 3, 6, 1, 4, 1, 32473, 9, static_cast<OVsnmpOid>(k), 0}; }
std::string valueText(int k) { return "value-" + std::to_string(k); }
const Oid kSysName{1, 3, 6, 1, 2, 1, 1, 5, 0};

std::string dotted(const Oid &oid) {
  std::string text;
  for (OVsnmpOid sub : oid) text += "." + std::to_string(sub);
  return text;
}

std::unique_ptr<kt::SnmpAgent> startAgent() {
  kt::AgentOptions options;
  for (int k = 1; k <= kValues; ++k) {
    options.extra_config.push_back("override " + dotted(valueName(k)) + " octet_str \"" +
                                   valueText(k) + "\"");
  }
  return kt::SnmpAgent::start(options);
}

// What one completion saw.
struct Outcome {
  int calls = 0;
  int error = -1;
  Oid name;                            // the response's first binding
  std::string value;                   // its OCTET STRING value
  std::chrono::milliseconds after{0};  // since the request was sent
};

// One request and its completion's record; `then` runs inside the completion.
struct Request {
  Outcome outcome;
  Clock::time_point sent;
  std::function<void()> then;
};

void complete(OVsnmpSession, int error, OVsnmpPdu *response, void *context) {
  auto *request = static_cast<Request *>(context);
  Outcome &o = request->outcome;
  ++o.calls;
  o.error = error;
  o.after = std::chrono::duration_cast<std::chrono::milliseconds>(Clock::now() - request->sent);
  if (response != nullptr && response->variables != nullptr) {
    const OVsnmpVarBind &vb = *response->variables;
    o.name.assign(vb.oid, vb.oid + vb.oid_length);
    if (vb.type == OVSNMP_OCTETSTRING)
      o.value.assign(static_cast<const char *>(vb.val), vb.val_len);
  }
  OVsnmpFreePdu(response);  // the completion owns the response
  if (request->then) request->then();
}

OVsnmpPdu *getPdu(const Oid &name) {
  OVsnmpPdu *pdu = OVsnmpCreatePdu(OVSNMP_GET_REQ);
  if (pdu != nullptr && OVsnmpAddNullVarBind(pdu, name.data(), name.size()) == nullptr) {
    OVsnmpFreePdu(pdu);
    return nullptr;
  }
  return pdu;
}

// Sends a GET for `name`; false (with the PDU freed) when the send is refused.
bool send(OVsnmpSession session, const Oid &name, Request &request) {
  OVsnmpPdu *pdu = getPdu(name);
  if (pdu == nullptr) return false;
  request.sent = Clock::now();
  if (OVsnmpSendAsync(session, pdu, complete, &request) != 0) {
    OVsnmpFreePdu(pdu);  // a refused request stays the caller's
    return false;
  }
  return true;
}

// The library's poll loop, run until `done` holds, nothing is left to wait on, or `limit`
// passes. Returns the number of passes.
int pollLoop(const std::function<bool()> &done, std::chrono::milliseconds limit = 10s) {
  const auto deadline = Clock::now() + kt::scaled(limit);
  std::vector<pollfd> fds(4);
  int passes = 0;
  while (!done() && Clock::now() < deadline) {
    int timeout = 0;
    const int count = OVsnmpGetPollInfo(fds.data(), fds.size(), &timeout);
    if (count < 0) break;
    if (static_cast<size_t>(count) > fds.size()) {
      fds.resize(static_cast<size_t>(count));
      continue;
    }
    if (count == 0 && timeout < 0) break;
    const auto left =
        std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now());
    int wait = static_cast<int>(std::max<int64_t>(left.count(), 0));
    if (timeout >= 0) wait = std::min(wait, timeout);
    if (poll(fds.data(), static_cast<nfds_t>(count), wait) > 0) {
      OVsnmpReadPoll(fds.data(), static_cast<size_t>(count));
    }
    OVsnmpDoRetry();
    ++passes;
  }
  return passes;
}

// The same with select(), as the discovery daemon runs it.
int selectLoop(const std::function<bool()> &done, std::chrono::milliseconds limit = 10s) {
  const auto deadline = Clock::now() + kt::scaled(limit);
  int passes = 0;
  while (!done() && Clock::now() < deadline) {
    fd_set fds;
    FD_ZERO(&fds);
    timeval timeout{};
    const int count = OVsnmpGetRetryInfo(&fds, &timeout);
    if (count == 0) break;
    if (select(count, &fds, nullptr, nullptr, &timeout) > 0) OVsnmpRead(&fds);
    OVsnmpDoRetry();
    ++passes;
  }
  return passes;
}

class AsyncTest : public testing::Test {
 protected:
  void SetUp() override {
    // Read once a process; removed at the exit.
    static kt::TempDir conf;
    static const std::string written = kt::writeClientConfig(conf, "2c", 2, 0, "public");
    setenv("SNMPCONFPATH", conf.path().c_str(), 1);
    setenv("MIBS", "", 1);
    timing(300, 0);
    KestaraFaultClear();
  }
  void TearDown() override {
    for (OVsnmpSession s : sessions_) (void)OVsnmpClose(s);
    unsetenv("OVSNMP_TIMEOUT_MS");
    unsetenv("OVSNMP_RETRIES");
    KestaraFaultClear();
  }

  // Time-out and retries of the sessions opened from now on.
  static void timing(int timeoutMs, int retries) {
    setenv("OVSNMP_TIMEOUT_MS", std::to_string(timeoutMs).c_str(), 1);
    setenv("OVSNMP_RETRIES", std::to_string(retries).c_str(), 1);
  }

  OVsnmpSession open(const std::string &peer) {
    OVsnmpSession s = OVsnmpOpen(nullptr, peer.c_str(), -1, -1, 0xffff, 0xffff, nullptr, nullptr);
    EXPECT_NE(s, 0u) << OVsnmpErrString(OVsnmpErrno);
    if (s != 0) sessions_.push_back(s);
    return s;
  }
  // Closes a session the fixture opened.
  int close(OVsnmpSession s) {
    std::erase(sessions_, s);
    return OVsnmpClose(s);
  }

  std::vector<OVsnmpSession> sessions_;
};

bool allCompleted(const std::vector<std::unique_ptr<Request>> &requests) {
  return std::ranges::all_of(requests, [](const auto &r) { return r->outcome.calls > 0; });
}

// Requests on sessions to an answering agent complete with their own answers while requests
// to a silent agent wait for their time-outs; no completion runs twice.
TEST_F(AsyncTest, ManyRequestsOnManySessionsCompleteIndependently) {
  auto agent = startAgent();
  ASSERT_TRUE(agent);
  kt::ScriptedAgent silent({}, kt::Step{kt::Act::kSilent});
  ASSERT_TRUE(silent.ok());
  timing(400, 1);  // silent requests end after two tries: 800 ms

  constexpr int kAnswered = 16;
  constexpr int kSilentSessions = 4;
  std::vector<std::unique_ptr<Request>> answered;
  std::vector<std::unique_ptr<Request>> unanswered;
  std::map<const Request *, int> asked;  // the value each answered request asked for
  for (int i = 0; i < kSilentSessions; ++i) {
    OVsnmpSession s = open(silent.peer());
    for (int k = 1; k <= kValues; ++k) {
      unanswered.push_back(std::make_unique<Request>());
      ASSERT_TRUE(send(s, valueName(k), *unanswered.back()));
    }
  }
  for (int i = 0; i < kAnswered; ++i) {
    OVsnmpSession s = open(agent->peer());
    for (int j = 0; j < kValues; ++j) {
      const int k = (i + j) % kValues + 1;  // each session asks in another order
      answered.push_back(std::make_unique<Request>());
      asked[answered.back().get()] = k;
      ASSERT_TRUE(send(s, valueName(k), *answered.back()));
    }
  }
  const auto start = Clock::now();
  pollLoop([&] { return allCompleted(answered); });
  const auto answeredAfter = Clock::now() - start;
  pollLoop([&] { return allCompleted(unanswered); });
  const auto silentAfter = Clock::now() - start;
  pollLoop([] { return false; }, 300ms);  // nothing more arrives

  for (const auto &r : answered) {
    EXPECT_EQ(1, r->outcome.calls);
    EXPECT_EQ(OVSNMP_ERR_NONE, r->outcome.error) << OVsnmpErrString(r->outcome.error);
    EXPECT_EQ(valueName(asked[r.get()]), r->outcome.name);
    EXPECT_EQ(valueText(asked[r.get()]), r->outcome.value);
  }
  for (const auto &r : unanswered) {
    EXPECT_EQ(1, r->outcome.calls);
    EXPECT_EQ(OVSNMP_ERR_TIMEOUT, r->outcome.error);
    EXPECT_GE(r->outcome.after, 800ms);
    EXPECT_LE(r->outcome.after, 800ms + kt::scaled(500ms));
  }
  // The silent agent does not hold up the answered requests, nor the time-outs one another.
  EXPECT_LT(answeredAfter, kt::scaled(400ms));
  EXPECT_LT(silentAfter, 800ms + kt::scaled(500ms));
  EXPECT_EQ(kSilentSessions * kValues * 2, silent.requests());
}

// A request times out after each of its tries, on time, in the select loop as in the poll
// loop, and the loop sleeps in between instead of spinning.
TEST_F(AsyncTest, TimeOutsFireAfterEveryTryOnTime) {
  kt::ScriptedAgent silent({}, kt::Step{kt::Act::kSilent});
  ASSERT_TRUE(silent.ok());
  timing(200, 2);
  for (auto loop : {selectLoop, pollLoop}) {
    OVsnmpSession s = open(silent.peer());
    const int before = silent.requests();
    Request r;
    ASSERT_TRUE(send(s, kSysName, r));
    const int passes = loop([&] { return r.outcome.calls > 0; }, 5s);
    EXPECT_EQ(OVSNMP_ERR_TIMEOUT, r.outcome.error);
    EXPECT_GE(r.outcome.after, 600ms);
    EXPECT_LE(r.outcome.after, 600ms + kt::scaled(300ms));
    EXPECT_LE(passes, 20);  // a pass per try and a few more, not a busy loop
    EXPECT_EQ(3, silent.requests() - before);
    EXPECT_EQ(0, close(s));
  }
}

// Requests sent one after another on one session, into a wait already under way: each times
// out after its own tries, none early, and the loop does not spin while they wait.
TEST_F(AsyncTest, StaggeredRequestsEachTimeOutOnTime) {
  kt::ScriptedAgent silent({}, kt::Step{kt::Act::kSilent});
  ASSERT_TRUE(silent.ok());
  timing(300, 0);
  OVsnmpSession s = open(silent.peer());
  std::array<Request, 3> r;
  ASSERT_TRUE(send(s, kSysName, r[0]));
  (void)pollLoop([] { return false; }, 100ms);
  ASSERT_TRUE(send(s, kSysName, r[1]));
  (void)pollLoop([] { return false; }, 100ms);
  ASSERT_TRUE(send(s, kSysName, r[2]));
  // A pass for each time-out and a few more, not a busy loop.
  const int passes = pollLoop([&] { return r[2].outcome.calls > 0; }, 5s);
  for (const Request &each : r) {
    EXPECT_EQ(OVSNMP_ERR_TIMEOUT, each.outcome.error);
    EXPECT_GE(each.outcome.after, 300ms);
    EXPECT_LE(each.outcome.after, 300ms + kt::scaled(250ms));
  }
  EXPECT_LE(passes, 10);
  EXPECT_EQ(0, close(s));
}

// Answers that are late, duplicated or carry a wrong request id complete nothing but the
// request they answer.
TEST_F(AsyncTest, HostileAnswersCompleteOnlyTheirOwnRequest) {
  using kt::Act;
  using kt::Step;

  {  // late: the first request's answer comes while the second one waits
    timing(800, 0);
    Step late{Act::kLate};
    late.delay = 1100ms;  // after the time-out at 800 ms, while the second request waits
    Step second{Act::kLate};
    second.delay = 500ms;  // sent at 800 ms, answered at 1,300 ms, due to time out at 1,600
    second.value = "second";
    kt::ScriptedAgent agent({late, second}, Step{Act::kSilent});
    ASSERT_TRUE(agent.ok());
    OVsnmpSession s = open(agent.peer());
    Request first, next;
    ASSERT_TRUE(send(s, valueName(1), first));
    pollLoop([&] { return first.outcome.calls > 0; });
    EXPECT_EQ(OVSNMP_ERR_TIMEOUT, first.outcome.error);
    ASSERT_TRUE(send(s, valueName(2), next));
    pollLoop([&] { return next.outcome.calls > 0; });
    EXPECT_EQ(OVSNMP_ERR_NONE, next.outcome.error);
    EXPECT_EQ(valueName(2), next.outcome.name);
    EXPECT_EQ("second", next.outcome.value);
    EXPECT_EQ(1, first.outcome.calls);
  }
  {  // duplicate: the second copy does not complete the request in flight beside it
    timing(300, 0);
    kt::ScriptedAgent agent({Step{Act::kDuplicate}}, Step{Act::kSilent});
    ASSERT_TRUE(agent.ok());
    OVsnmpSession s = open(agent.peer());
    Request answered, waiting;
    ASSERT_TRUE(send(s, valueName(1), answered));
    ASSERT_TRUE(send(s, valueName(2), waiting));
    pollLoop([&] { return waiting.outcome.calls > 0; });
    EXPECT_EQ(1, answered.outcome.calls);
    EXPECT_EQ(OVSNMP_ERR_NONE, answered.outcome.error);
    EXPECT_EQ(valueName(1), answered.outcome.name);
    EXPECT_EQ(1, waiting.outcome.calls);
    EXPECT_EQ(OVSNMP_ERR_TIMEOUT, waiting.outcome.error);
  }
  {  // wrong id: ignored; the retry's proper answer counts
    timing(300, 1);
    Step wrong{Act::kWrongId};
    wrong.value = "wrong";
    Step right{Act::kAnswer};
    right.value = "right";
    kt::ScriptedAgent agent({wrong, right}, Step{Act::kSilent});
    ASSERT_TRUE(agent.ok());
    OVsnmpSession s = open(agent.peer());
    Request r;
    ASSERT_TRUE(send(s, valueName(3), r));
    pollLoop([&] { return r.outcome.calls > 0; });
    EXPECT_EQ(OVSNMP_ERR_NONE, r.outcome.error);
    EXPECT_EQ("right", r.outcome.value);
    EXPECT_GE(r.outcome.after, 300ms);  // answered by the second try
    EXPECT_EQ(2, agent.requests());
  }
}

// Closing a session cancels its requests inside the close, in the order they were sent; none
// of them completes again, and the other sessions' requests go on.
TEST_F(AsyncTest, CloseCancelsTheRequestsInFlight) {
  kt::ScriptedAgent silent({}, kt::Step{kt::Act::kSilent});
  ASSERT_TRUE(silent.ok());
  timing(300, 0);
  OVsnmpSession closing = open(silent.peer());
  OVsnmpSession other = open(silent.peer());
  std::vector<int> order;
  std::vector<std::unique_ptr<Request>> cancelled;
  for (int i = 0; i < 5; ++i) {
    cancelled.push_back(std::make_unique<Request>());
    cancelled.back()->then = [&order, i] { order.push_back(i); };
    ASSERT_TRUE(send(closing, kSysName, *cancelled.back()));
  }
  Request kept;
  ASSERT_TRUE(send(other, kSysName, kept));
  EXPECT_EQ(0, close(closing));
  EXPECT_EQ((std::vector<int>{0, 1, 2, 3, 4}), order);  // all of them, before close returned
  for (const auto &r : cancelled) EXPECT_EQ(OVSNMP_ERR_CANCELLED, r->outcome.error);
  EXPECT_EQ(0, kept.outcome.calls);

  pollLoop([&] { return kept.outcome.calls > 0; });
  pollLoop([] { return false; }, 500ms);
  EXPECT_EQ(OVSNMP_ERR_TIMEOUT, kept.outcome.error);
  for (const auto &r : cancelled) EXPECT_EQ(1, r->outcome.calls);
  EXPECT_EQ(-1, OVsnmpClose(closing));  // gone
}

// A completion may close its own session (cancelling its other requests), close another
// session, and send the next request of a chain; every request still completes once.
TEST_F(AsyncTest, CompletionsMayCloseSessionsAndSendMore) {
  auto agent = startAgent();
  ASSERT_TRUE(agent);
  kt::ScriptedAgent silent({}, kt::Step{kt::Act::kSilent});
  ASSERT_TRUE(silent.ok());
  timing(300, 0);

  OVsnmpSession self = open(agent->peer());
  OVsnmpSession victim = open(silent.peer());
  OVsnmpSession timer = open(silent.peer());
  OVsnmpSession chain = open(agent->peer());

  Request closer, sibling, victimRequest, timerRequest;
  closer.then = [&] {
    EXPECT_EQ(0, close(self));    // its own session, with `sibling` still outstanding
    EXPECT_EQ(0, close(victim));  // another session with a request in flight
    EXPECT_EQ(1, sibling.outcome.calls);
    EXPECT_EQ(1, victimRequest.outcome.calls);
  };
  timerRequest.then = [&] { EXPECT_EQ(0, close(timer)); };
  ASSERT_TRUE(send(victim, kSysName, victimRequest));
  ASSERT_TRUE(send(timer, kSysName, timerRequest));
  ASSERT_TRUE(send(self, valueName(1), closer));
  ASSERT_TRUE(send(self, valueName(2), sibling));

  // A walk: each answer sends the next request from inside its completion.
  std::vector<std::unique_ptr<Request>> steps;
  for (int k = 1; k <= kValues; ++k) steps.push_back(std::make_unique<Request>());
  for (int k = 1; k < kValues; ++k) {
    steps[k - 1]->then = [&, k] { EXPECT_TRUE(send(chain, valueName(k + 1), *steps[k])); };
  }
  ASSERT_TRUE(send(chain, valueName(1), *steps[0]));

  pollLoop([&] { return timerRequest.outcome.calls > 0 && allCompleted(steps); });
  pollLoop([] { return false; }, 400ms);
  EXPECT_EQ(1, closer.outcome.calls);
  EXPECT_EQ(OVSNMP_ERR_NONE, closer.outcome.error);
  EXPECT_EQ(1, sibling.outcome.calls);
  // Its answer may have been read already, but its completion had not run: cancelled.
  EXPECT_EQ(OVSNMP_ERR_CANCELLED, sibling.outcome.error);
  EXPECT_EQ(OVSNMP_ERR_CANCELLED, victimRequest.outcome.error);
  EXPECT_EQ(1, timerRequest.outcome.calls);
  EXPECT_EQ(OVSNMP_ERR_TIMEOUT, timerRequest.outcome.error);
  for (int k = 1; k <= kValues; ++k) {
    EXPECT_EQ(1, steps[k - 1]->outcome.calls);
    EXPECT_EQ(valueText(k), steps[k - 1]->outcome.value);
  }
  EXPECT_EQ(-1, OVsnmpClose(timer));
}

// The bounds on outstanding requests, per session and in all; a refused request stays the
// caller's and never completes. A session with requests outstanding refuses blocking sends.
TEST_F(AsyncTest, BoundsOnRequestsInFlight) {
  kt::ScriptedAgent silent({}, kt::Step{kt::Act::kSilent});
  ASSERT_TRUE(silent.ok());
  timing(5000, 0);
  std::vector<std::unique_ptr<Request>> requests;
  std::vector<OVsnmpSession> opened;
  for (int i = 0; i < OVSNMP_MAX_REQUESTS / OVSNMP_MAX_SESSION_REQUESTS; ++i) {
    opened.push_back(open(silent.peer()));
    for (int j = 0; j < OVSNMP_MAX_SESSION_REQUESTS; ++j) {
      requests.push_back(std::make_unique<Request>());
      ASSERT_TRUE(send(opened.back(), kSysName, *requests.back())) << i << " " << j;
    }
    Request refused;
    OVsnmpPdu *pdu = getPdu(kSysName);
    EXPECT_EQ(-1, OVsnmpSendAsync(opened.back(), pdu, complete, &refused));
    EXPECT_EQ(OVSNMP_ERR_BUSY, OVsnmpErrno);
    EXPECT_NE(nullptr, pdu->variables);  // still the caller's
    EXPECT_EQ(nullptr, OVsnmpBlockingSend(opened.back(), pdu));
    EXPECT_EQ(OVSNMP_ERR_BUSY, OVsnmpErrno);
    OVsnmpFreePdu(pdu);
    EXPECT_EQ(0, refused.outcome.calls);
  }
  OVsnmpSession spare = open(silent.peer());
  Request refused;
  EXPECT_FALSE(send(spare, kSysName, refused));
  EXPECT_EQ(OVSNMP_ERR_BUSY, OVsnmpErrno);

  // Room again once a session closes.
  EXPECT_EQ(0, close(opened.front()));
  Request admitted;
  EXPECT_TRUE(send(spare, kSysName, admitted));
  for (OVsnmpSession s : opened) (void)close(s);
  EXPECT_EQ(0, close(spare));
  for (const auto &r : requests) {
    EXPECT_EQ(1, r->outcome.calls);
    EXPECT_EQ(OVSNMP_ERR_CANCELLED, r->outcome.error);
  }
  EXPECT_EQ(OVSNMP_ERR_CANCELLED, admitted.outcome.error);
  EXPECT_EQ(0, refused.outcome.calls);
}

TEST_F(AsyncTest, SendRefusesBadArgumentsAndLeavesThePduWithTheCaller) {
  timing(300, 0);
  OVsnmpSession s = open("127.0.0.1:9");
  Request r;
  OVsnmpPdu *pdu = getPdu(kSysName);
  ASSERT_NE(nullptr, pdu);
  struct Case {
    OVsnmpSession session;
    OVsnmpPdu *pdu;
    OVsnmpCompletion completion;
    int error;
  };
  OVsnmpPdu bogus{};
  const Case cases[] = {
      {0, pdu, complete, OVSNMP_ERR_BAD_SESSION}, {s + 1000, pdu, complete, OVSNMP_ERR_BAD_SESSION},
      {s, nullptr, complete, OVSNMP_ERR_BAD_ARG}, {s, &bogus, complete, OVSNMP_ERR_BAD_ARG},
      {s, pdu, nullptr, OVSNMP_ERR_BAD_ARG},
  };
  for (const Case &c : cases) {
    OVsnmpErrno = 0;
    EXPECT_EQ(-1, OVsnmpSendAsync(c.session, c.pdu, c.completion, &r));
    EXPECT_EQ(c.error, OVsnmpErrno);
  }
  EXPECT_EQ(9u, pdu->variables->oid_length);

  // A request too large for one datagram can't be sent.
  const Oid longest(128, 0xffffffffu);
  for (int i = 0; i < 120; ++i) {
    ASSERT_NE(nullptr, OVsnmpAddNullVarBind(pdu, longest.data(), longest.size()));
  }
  EXPECT_EQ(-1, OVsnmpSendAsync(s, pdu, complete, &r));
  EXPECT_EQ(OVSNMP_ERR_SEND, OVsnmpErrno);
  EXPECT_NE(nullptr, pdu->variables);
  OVsnmpFreePdu(pdu);
  // ... and leaves nothing in flight (net-snmp reports the failure while sending).
  int wait = 0;
  EXPECT_EQ(0, OVsnmpGetPollInfo(nullptr, 0, &wait));
  EXPECT_EQ(-1, wait);

  // Event sessions take no requests.
  const std::string address = "udp:127.0.0.1:" + std::to_string(kt::freeUdpPort());
  setenv("OV_EVENT_ADDRESS", address.c_str(), 1);
  auto ignore = [](int, OVsnmpSession, OVsnmpPdu *p, void *) { OVsnmpFreePdu(p); };
  OVsnmpSession events = OVsnmpEventOpen(nullptr, "test", ignore, nullptr, ".1.3.6.1.4.1.1.0.1");
  ASSERT_NE(0u, events);
  pdu = getPdu(kSysName);
  EXPECT_EQ(-1, OVsnmpSendAsync(events, pdu, complete, &r));
  EXPECT_EQ(OVSNMP_ERR_BAD_SESSION, OVsnmpErrno);
  OVsnmpFreePdu(pdu);
  EXPECT_EQ(0, OVsnmpClose(events));
  EXPECT_EQ(0, r.outcome.calls);
}

// The poll form lists every socket even past the caller's capacity, and reaches sockets that
// a select() set can't hold; the select form leaves those out.
TEST_F(AsyncTest, PollReachesDescriptorsBeyondSelect) {
  auto agent = startAgent();
  ASSERT_TRUE(agent);
  timing(1000, 0);
  // Take the descriptors below FD_SETSIZE, so that the next sessions land above it.
  std::vector<int> fillers;
  for (;;) {
    int fd = ::open("/dev/null", O_RDONLY | O_CLOEXEC);
    ASSERT_GE(fd, 0);
    fillers.push_back(fd);
    if (fd >= FD_SETSIZE) break;
  }
  std::vector<std::unique_ptr<Request>> requests;
  for (int k = 1; k <= 3; ++k) {
    OVsnmpSession s = open(agent->peer());
    requests.push_back(std::make_unique<Request>());
    ASSERT_TRUE(send(s, valueName(k), *requests.back()));
  }
  fd_set set;
  FD_ZERO(&set);
  timeval timeout{};
  EXPECT_EQ(0, OVsnmpGetRetryInfo(&set, &timeout));  // none of them fits a select() set
  EXPECT_LE(timeout.tv_sec * 1000 + timeout.tv_usec / 1000, 1000);

  pollfd one[2] = {{-1, 0, 0}, {-7, 0, 0}};
  int wait = -2;
  EXPECT_EQ(3, OVsnmpGetPollInfo(one, 1, &wait));
  EXPECT_GE(one[0].fd, FD_SETSIZE);
  EXPECT_EQ(POLLIN, one[0].events);
  EXPECT_EQ(-7, one[1].fd);  // past the capacity: untouched
  EXPECT_GT(wait, 0);
  EXPECT_LE(wait, 1000);
  EXPECT_EQ(-1, OVsnmpGetPollInfo(nullptr, 1, &wait));
  EXPECT_EQ(OVSNMP_ERR_BAD_ARG, OVsnmpErrno);
  EXPECT_EQ(-1, OVsnmpGetPollInfo(one, 1, nullptr));

  pollLoop([&] { return allCompleted(requests); });
  for (int k = 1; k <= 3; ++k) {
    EXPECT_EQ(OVSNMP_ERR_NONE, requests[k - 1]->outcome.error);
    EXPECT_EQ(valueText(k), requests[k - 1]->outcome.value);
  }
  // Nothing in flight: nothing to wait on.
  EXPECT_EQ(0, OVsnmpGetPollInfo(one, 2, &wait));
  EXPECT_EQ(-1, wait);
  for (int fd : fillers) ::close(fd);
}

// A request for one variable sent without a PDU of the caller's is answered, refused and
// bounded as one sent with a PDU.
TEST_F(AsyncTest, OneVariableRequestsNeedNoPdu) {
  auto agent = startAgent();
  ASSERT_TRUE(agent);
  OVsnmpSession s = open(agent->peer());
  Request get;
  Request next;
  get.sent = next.sent = Clock::now();
  ASSERT_EQ(0, OVsnmpSendRequestAsync(s, OVSNMP_GET_REQ, kSysName.data(), kSysName.size(), complete,
                                      &get));
  const Oid system = {1, 3, 6, 1, 2, 1, 1};
  ASSERT_EQ(0, OVsnmpSendRequestAsync(s, OVSNMP_GETNEXT_REQ, system.data(), system.size(), complete,
                                      &next));
  pollLoop([&] { return get.outcome.calls > 0 && next.outcome.calls > 0; });
  EXPECT_EQ(OVSNMP_ERR_NONE, get.outcome.error);
  EXPECT_EQ(kSysName, get.outcome.name);
  EXPECT_FALSE(get.outcome.value.empty());
  EXPECT_EQ(OVSNMP_ERR_NONE, next.outcome.error);
  EXPECT_EQ((Oid{1, 3, 6, 1, 2, 1, 1, 1, 0}), next.outcome.name);

  Request r;
  const Oid tooLong(129, 1);
  struct Case {
    OVsnmpSession session;
    int type;
    const OVsnmpOid *oid;
    size_t count;
    OVsnmpCompletion completion;
    int error;
  };
  const Case cases[] = {
      {0, OVSNMP_GET_REQ, kSysName.data(), kSysName.size(), complete, OVSNMP_ERR_BAD_SESSION},
      {s, OVSNMP_GET_REQ, nullptr, 9, complete, OVSNMP_ERR_BAD_ARG},
      {s, OVSNMP_GET_REQ, kSysName.data(), 0, complete, OVSNMP_ERR_BAD_ARG},
      {s, OVSNMP_GET_REQ, tooLong.data(), tooLong.size(), complete, OVSNMP_ERR_BAD_ARG},
      {s, OVSNMP_GET_REQ, kSysName.data(), kSysName.size(), nullptr, OVSNMP_ERR_BAD_ARG},
      {s, OVSNMP_SET_REQ, kSysName.data(), kSysName.size(), complete, OVSNMP_ERR_BAD_PDU},
      {s, OVSNMP_GET_RSP, kSysName.data(), kSysName.size(), complete, OVSNMP_ERR_BAD_PDU},
  };
  for (const Case &c : cases) {
    OVsnmpErrno = 0;
    EXPECT_EQ(-1, OVsnmpSendRequestAsync(c.session, c.type, c.oid, c.count, c.completion, &r));
    EXPECT_EQ(c.error, OVsnmpErrno);
  }
  ASSERT_EQ(0, KestaraFaultAdd("OVsnmpSendRequestAsync", 1, OVSNMP_ERR_NOMEM, 0));
  EXPECT_EQ(-1, OVsnmpSendRequestAsync(s, OVSNMP_GET_REQ, kSysName.data(), kSysName.size(),
                                       complete, &r));
  EXPECT_EQ(OVSNMP_ERR_NOMEM, OVsnmpErrno);
  EXPECT_EQ(0, close(s));
  EXPECT_EQ(0, r.outcome.calls);

  // The session's bound counts both kinds of request.
  kt::ScriptedAgent silent({}, kt::Step{kt::Act::kSilent});
  ASSERT_TRUE(silent.ok());
  timing(5000, 0);
  OVsnmpSession full = open(silent.peer());
  std::vector<std::unique_ptr<Request>> requests;
  for (int j = 0; j < OVSNMP_MAX_SESSION_REQUESTS; ++j) {
    requests.push_back(std::make_unique<Request>());
    ASSERT_TRUE(send(full, kSysName, *requests.back())) << j;
  }
  EXPECT_EQ(-1, OVsnmpSendRequestAsync(full, OVSNMP_GET_REQ, kSysName.data(), kSysName.size(),
                                       complete, &r));
  EXPECT_EQ(OVSNMP_ERR_BUSY, OVsnmpErrno);
  EXPECT_EQ(0, close(full));
  for (const auto &each : requests) EXPECT_EQ(OVSNMP_ERR_CANCELLED, each->outcome.error);
  EXPECT_EQ(0, r.outcome.calls);
}

TEST_F(AsyncTest, FaultSeamCoversTheNewCalls) {
  auto agent = startAgent();
  ASSERT_TRUE(agent);
  OVsnmpSession s = open(agent->peer());
  Request failed;
  ASSERT_EQ(0, KestaraFaultAdd("OVsnmpSendAsync", 1, OVSNMP_ERR_NOMEM, 0));
  EXPECT_FALSE(send(s, kSysName, failed));
  EXPECT_EQ(OVSNMP_ERR_NOMEM, OVsnmpErrno);

  Request r;
  ASSERT_TRUE(send(s, kSysName, r));
  ASSERT_EQ(0, KestaraFaultAdd("OVsnmpGetPollInfo", 1, OVSNMP_ERR_INTERNAL, 0));
  pollfd fds[4];
  int wait = 0;
  EXPECT_EQ(-1, OVsnmpGetPollInfo(fds, 4, &wait));
  EXPECT_EQ(OVSNMP_ERR_INTERNAL, OVsnmpErrno);
  pollLoop([&] { return r.outcome.calls > 0; });
  EXPECT_EQ(OVSNMP_ERR_NONE, r.outcome.error);
  EXPECT_EQ(0, failed.outcome.calls);

  // A failed read on the poll form fails an event session as the select form does.
  const uint16_t port = kt::freeUdpPort();
  setenv("OV_EVENT_ADDRESS", ("udp:127.0.0.1:" + std::to_string(port)).c_str(), 1);
  int codes = 0;
  auto onEvent = [](int code, OVsnmpSession session, OVsnmpPdu *pdu, void *data) {
    OVsnmpFreePdu(pdu);
    if (code == OVSNMP_EVENT_SESSION_ERROR) {
      ++*static_cast<int *>(data);
      OVsnmpClose(session);
    }
  };
  OVsnmpSession events = OVsnmpEventOpen(nullptr, "test", onEvent, &codes, ".1.3.6.1.4.1.1.0.1");
  ASSERT_NE(0u, events);
  ASSERT_EQ(0, KestaraFaultAdd("OVsnmpReadPoll", 1, OVSNMP_ERR_SOCKET, 0));
  kt::UdpClient sender("127.0.0.1");
  ASSERT_TRUE(sender.send("127.0.0.1", port, "anything"));
  pollLoop([&] { return codes > 0; }, 2s);
  EXPECT_EQ(1, codes);
  EXPECT_EQ(-1, OVsnmpClose(events));  // closed by its callback
}

}  // namespace
