// agent_fault_test.cc - the gateway and the discovery daemon against agents that misbehave:
// silence, late answers, wrong request ids, broken BER, error status, duplicates. Every request
// ends within the configured time-out x (retries + 1) with the reply text the programs give.
#include <gtest/gtest.h>

#include <chrono>
#include <memory>

#include "gateway.h"
#include "reliability.h"
#include "scripted_agent.h"
#include "snmp_agent.h"
#include "station.h"

namespace {

using namespace std::chrono_literals;
using Clock = std::chrono::steady_clock;
using kt::Act;
using kt::Step;

constexpr auto kTimeout = 300ms;
constexpr int kRetries = 1;
constexpr auto kBound = kTimeout * (kRetries + 1);
// What a loaded machine may add to a bound: scheduling, process start-up of nothing.
constexpr auto kSlack = 700ms;
constexpr const char *kSysName = "1.3.6.1.2.1.1.5.0";

Step answer(std::string value, std::chrono::milliseconds delay = 0ms) {
  Step s;
  s.act = Act::kAnswer;
  s.value = std::move(value);
  s.delay = delay;
  return s;
}

Step act(Act a) {
  Step s;
  s.act = a;
  return s;
}

Step errorStatus(int status, int index) {
  Step s;
  s.act = Act::kErrorStatus;
  s.errorStatus = status;
  s.errorIndex = index;
  return s;
}

Step exception(uint8_t tag) {
  Step s;
  s.act = Act::kException;
  s.valueTag = tag;
  return s;
}

struct Timed {
  std::optional<std::string> reply;
  std::chrono::milliseconds elapsed;
};

// The gateway with a time-out of 300 ms and one retry, and a session to the scripted agent.
class GatewayToAgent : public kt::Gateway {
 public:
  explicit GatewayToAgent(const kt::ScriptedAgent &agent)
      : kt::Gateway({.timeout = kTimeout, .retries = kRetries}) {
    if (kt::Gateway::ready()) session_ = open(agent.peer());
  }
  bool ready() const {
    return kt::Gateway::ready() && !session_.empty() && session_.find("failed") != 0;
  }
  const std::string &session() const { return session_; }

  Timed ask(const std::string &request) {
    auto start = Clock::now();
    auto reply = kt::Gateway::ask(request, 10s);
    return {reply, std::chrono::duration_cast<std::chrono::milliseconds>(Clock::now() - start)};
  }
  Timed get(const std::string &oid = kSysName) {
    return ask("getSnmpData#" + session_ + "#" + oid);
  }

 private:
  std::string session_;
};

void expectWithinBound(const Timed &t) { EXPECT_LE(t.elapsed, kBound + kSlack); }

TEST(AgentFaults, SilenceIsNoResponseAfterEveryRetry) {
  kt::ScriptedAgent agent({}, act(Act::kSilent));
  ASSERT_TRUE(agent.ok());
  GatewayToAgent gw(agent);
  ASSERT_TRUE(gw.ready()) << gw.process().output();

  Timed t = gw.get();
  EXPECT_EQ("No Response", t.reply);
  expectWithinBound(t);
  EXPECT_GE(t.elapsed, kBound - 50ms);  // it did wait for the retry
  EXPECT_EQ(kRetries + 1, agent.requests());
  rel::figure("agent.silence.elapsed_ms", std::to_string(t.elapsed.count()));

  // The address lookup gives up at its first unanswered get.
  Timed ip = gw.ask("getIpAddress#" + gw.session() + "#1.3.6.1.2.1.2.2.1.6.1");
  EXPECT_EQ("0.0.0.0", ip.reply);
  expectWithinBound(ip);
}

// An answer that comes after the gateway has given up reaches it while it waits for the next
// request's answer: it must be dropped, not taken as that answer.
TEST(AgentFaults, LateAnswerIsNotTakenForTheNextRequest) {
  kt::ScriptedAgent agent(
      {answer("LATE", kBound + 150ms), act(Act::kSilent), answer("FRESH", 100ms), answer("THIRD")},
      act(Act::kSilent));
  ASSERT_TRUE(agent.ok());
  GatewayToAgent gw(agent);
  ASSERT_TRUE(gw.ready()) << gw.process().output();

  Timed first = gw.get();
  EXPECT_EQ("No Response", first.reply);
  expectWithinBound(first);
  Timed second = gw.get();
  EXPECT_EQ("FRESH", second.reply);
  expectWithinBound(second);
  EXPECT_EQ("THIRD", gw.get().reply);
}

TEST(AgentFaults, WrongRequestIdIsNeverTheAnswer) {
  // The first try is answered with a wrong id, the retry properly.
  kt::ScriptedAgent agent({act(Act::kWrongId), answer("RIGHT")}, act(Act::kWrongId));
  ASSERT_TRUE(agent.ok());
  GatewayToAgent gw(agent);
  ASSERT_TRUE(gw.ready()) << gw.process().output();

  Timed retried = gw.get();
  EXPECT_EQ("RIGHT", retried.reply);
  expectWithinBound(retried);
  Timed wrong = gw.get();
  EXPECT_EQ("No Response", wrong.reply);
  expectWithinBound(wrong);
}

// Answers that can't be decoded are dropped: the request ends as if the agent were silent, and
// the gateway goes on serving.
TEST(AgentFaults, BrokenEncodingsAreDropped) {
  kt::ScriptedAgent agent({}, act(Act::kSilent));
  ASSERT_TRUE(agent.ok());
  GatewayToAgent gw(agent);
  ASSERT_TRUE(gw.ready()) << gw.process().output();

  const std::pair<Act, const char *> broken[] = {{Act::kTruncated, "truncated"},
                                                 {Act::kOverLength, "outer length too long"},
                                                 {Act::kHugeLength, "value length 2^31-1"}};
  for (const auto &[a, name] : broken) {
    SCOPED_TRACE(name);
    agent.setScript({}, act(a));
    Timed t = gw.get();
    EXPECT_EQ("No Response", t.reply);
    expectWithinBound(t);
    agent.setScript({}, answer("after"));
    EXPECT_EQ("after", gw.get().reply);
  }
  // A well-formed message of the wrong kind (a GetRequest carrying the request's id) is no
  // value: net-snmp's client matches it by id, and the get reports no such object.
  agent.setScript({}, act(Act::kNotResponse));
  Timed t = gw.get();
  EXPECT_EQ("No Such Object", t.reply);
  expectWithinBound(t);
  EXPECT_TRUE(gw.process().running());
}

TEST(AgentFaults, ErrorStatusAndExceptionsAreNoSuchObject) {
  kt::ScriptedAgent agent({}, act(Act::kSilent));
  ASSERT_TRUE(agent.ok());
  GatewayToAgent gw(agent);
  ASSERT_TRUE(gw.ready()) << gw.process().output();

  const std::pair<Step, const char *> cases[] = {
      {errorStatus(2, 1), "noSuchName at the only binding (no correction possible)"},
      {errorStatus(5, 0), "genErr without index"},
      {errorStatus(2, 9), "index past the bindings"},
      {errorStatus(-1, -1), "negative status and index"},
      {act(Act::kNoBinding), "no binding"},
      {exception(0x80), "noSuchObject"},
      {exception(0x81), "noSuchInstance"},
      {exception(0x82), "endOfMibView"},
  };
  for (const auto &[step, name] : cases) {
    SCOPED_TRACE(name);
    agent.setScript({}, step);
    Timed t = gw.get();
    EXPECT_EQ("No Such Object", t.reply);
    EXPECT_LE(t.elapsed, kTimeout + kSlack);  // answered: no waiting for a time-out
  }
  EXPECT_TRUE(gw.process().running());
}

// An agent that answers every request with an error index and a binding more than asked must
// not be able to keep the correction loop going: the answer does not answer the request.
TEST(AgentFaults, ErrorResponseWithMoreBindingsEndsTheGet) {
  Step grow = errorStatus(2, 1);
  grow.extraBindings = 1;
  kt::ScriptedAgent agent({}, grow);
  ASSERT_TRUE(agent.ok());
  GatewayToAgent gw(agent);
  ASSERT_TRUE(gw.ready()) << gw.process().output();

  Timed t = gw.get();
  EXPECT_EQ("No Such Object", t.reply);
  EXPECT_LE(t.elapsed, kTimeout + kSlack);
  EXPECT_EQ(1, agent.requests());
  Timed ip = gw.ask("getIpAddress#" + gw.session() + "#1.3.6.1.2.1.2.2.1.6.1");
  EXPECT_EQ("0.0.0.0", ip.reply);
  EXPECT_EQ(2, agent.requests());
  // The gateway still answers others at once.
  EXPECT_EQ("hello", gw.ask("hello").reply);
}

// Counter64 values are rendered whole, not as their high 32 bits.
TEST(AgentFaults, Counter64IsRenderedWhole) {
  kt::ScriptedAgent agent({}, act(Act::kSilent));
  ASSERT_TRUE(agent.ok());
  GatewayToAgent gw(agent);
  ASSERT_TRUE(gw.ready()) << gw.process().output();
  for (const char *value : {"72623859790382856", "18446744073709551615", "0", "4294967296"}) {
    Step c = answer(value);
    c.valueTag = 0x46;
    agent.setScript({}, c);
    EXPECT_EQ(value, gw.get().reply);
  }
}

TEST(AgentFaults, DuplicateAnswerIsTakenOnce) {
  kt::ScriptedAgent agent({[] {
                             Step s = act(Act::kDuplicate);
                             s.value = "ONE";
                             return s;
                           }(),
                           answer("TWO", 100ms)},
                          answer("MORE"));
  ASSERT_TRUE(agent.ok());
  GatewayToAgent gw(agent);
  ASSERT_TRUE(gw.ready()) << gw.process().output();
  EXPECT_EQ("ONE", gw.get().reply);
  EXPECT_EQ("TWO", gw.get().reply);
  EXPECT_EQ("MORE", gw.get().reply);
  EXPECT_EQ(3, agent.requests());
}

// Values longer than the reply buffer are cut to its 127 characters.
TEST(AgentFaults, OverlongValuesAreCutToTheReply) {
  kt::ScriptedAgent agent({}, answer(std::string(1000, 'v')));
  ASSERT_TRUE(agent.ok());
  GatewayToAgent gw(agent);
  ASSERT_TRUE(gw.ready()) << gw.process().output();
  EXPECT_EQ(std::string(127, 'v'), gw.get().reply);
  agent.setScript({}, answer(std::string(60000, 'w')));
  Timed big = gw.get();
  EXPECT_EQ(std::string(127, 'w'), big.reply);
  expectWithinBound(big);
  agent.setScript({}, answer("small"));
  EXPECT_EQ("small", gw.get().reply);
}

// The sweep meets one misbehaving agent per node: a flag is set only on an answer, cleared only
// on a definite "no such variable", and kept when no usable answer came.
TEST(AgentFaults, SweepKeepsOrClearsFlagsByTheAnswer) {
  struct Node {
    const char *name;
    Step step;
    bool flagBefore;
    bool flagAfter;
  };
  Step dup = act(Act::kDuplicate);
  Step grow = errorStatus(2, 1);
  grow.extraBindings = 2;
  const Node nodes[] = {
      {"errorgrows", grow, true, false},
      {"silent", act(Act::kSilent), true, true},
      {"wrongid", act(Act::kWrongId), true, true},
      {"truncated", act(Act::kTruncated), true, true},
      {"errorstatus", errorStatus(2, 1), true, false},
      {"nosuchobject", exception(0x80), true, false},
      {"duplicate", dup, false, true},
      {"late", answer("late", kBound + 200ms), false, false},
  };
  std::vector<std::unique_ptr<kt::ScriptedAgent>> agents;
  kt::Station station({.timeout = kTimeout, .retries = kRetries});
  kt::TestDatabase &db = station.db();
  std::vector<uint32_t> ids;
  for (const Node &node : nodes) {
    agents.push_back(std::make_unique<kt::ScriptedAgent>(std::vector<Step>{}, node.step));
    ASSERT_TRUE(agents.back()->ok());
    uint32_t id = db.addQuietNode(agents.back()->peer(), agents.back()->peer());
    ASSERT_NE(0u, id);
    ASSERT_TRUE(db.setFlag(id, node.flagBefore));
    ids.push_back(id);
  }
  auto start = Clock::now();
  kt::RunResult r = station.run("ferrow", {"-sa"});
  auto elapsed = std::chrono::duration_cast<std::chrono::milliseconds>(Clock::now() - start);
  ASSERT_EQ(0, r.status) << r.out << r.err;
  // Every probe ends within its bound; the sweep is their sum.
  EXPECT_LE(elapsed, kBound * std::size(nodes) + 3s);
  rel::figure("agent.sweep_of_7_faulty_agents_ms", std::to_string(elapsed.count()));
  for (size_t i = 0; i < std::size(nodes); ++i) {
    SCOPED_TRACE(nodes[i].name);
    EXPECT_EQ(nodes[i].flagAfter, db.flag(ids[i])) << r.out;
  }
}

}  // namespace
