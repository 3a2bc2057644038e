// System tests of "getIpAddress": the real tavrin asks real snmpd agents, each running in a
// network namespace of its own whose veth interfaces, MAC addresses and IPv4 addresses the
// test makes. The test process itself (already in a namespace of its own) plays the station:
// each node is joined to it by a veth link, and tavrin reaches the node's agent over it.
#include <gtest/gtest.h>
#include <unistd.h>

#include <filesystem>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "gateway.h"
#include "snmp_agent.h"

namespace {

using namespace std::chrono_literals;

using kt::kGatewayPort;
constexpr const char *kIfPhysAddress = "1.3.6.1.2.1.2.2.1.6.";
constexpr const char *kNoAddress = "0.0.0.0";

std::string ipTool() {
  for (const char *path : {"/usr/sbin/ip", "/sbin/ip", "/usr/bin/ip", "/bin/ip"}) {
    if (access(path, X_OK) == 0) return path;
  }
  return "";
}

std::string netnsOf(const std::string &pid) {
  std::error_code ec;
  return std::filesystem::read_symlink("/proc/" + pid + "/ns/net", ec).string();
}

size_t countOf(const std::string &text, std::string_view what) {
  size_t n = 0;
  for (size_t at = text.find(what); at != std::string::npos; at = text.find(what, at + 1)) ++n;
  return n;
}

// A managed node: a network namespace held open by a sleeping process, a veth link to the
// station, more veth interfaces made by the test, and net-snmp's snmpd serving them on port
// 161. Node number k owns the link 203.0.113.(4k+1)/30 (station) - 203.0.113.(4k+2)/30 (node),
// or 2001:db8:k::1/64 - 2001:db8:k::2/64 when the node is to have no IPv4 address at all.
class Node {
 public:
  // Makes the namespace and the link. On failure returns null and says why in `why`.
  static std::unique_ptr<Node> create(int k, std::string &why, bool ipv6_link = false) {
    std::unique_ptr<Node> node(new Node());
    node->k_ = k;
    node->ip_ = ipTool();
    node->ipv6_ = ipv6_link;
    if (node->ip_.empty()) {
      why = "the ip tool (iproute2) is not installed";
      return nullptr;
    }
    if (!kt::networkIsolated()) {
      why = "the test has no network namespace of its own, so it must not add interfaces";
      return nullptr;
    }
    node->holder_ = std::make_unique<kt::Process>(
        kt::Process::start({"/usr/bin/unshare", "--net", "--", "/bin/sleep", "300"}));
    node->pid_ = std::to_string(node->holder_->pid());
    std::string own = netnsOf("self");
    bool apart = kt::eventually(
        [&] {
          std::string theirs = netnsOf(node->pid_);
          return !theirs.empty() && theirs != own;
        },
        5s);
    if (!apart) {
      why = "no network namespace could be made for a node (unshare --net): " +
            node->holder_->errors();
      return nullptr;
    }
    // Station-side names are never reused within a process: a link of an earlier node goes
    // only when the kernel has finished tearing down that node's namespace.
    static int links = 0;
    std::string station = "st" + std::to_string(k) + "n" + std::to_string(links++);
    auto r = kt::run({node->ip_, "link", "add", "name", station, "type", "veth", "peer", "name",
                      "up0", "netns", node->pid_});
    if (r.status != 0) {
      why = "no veth pair could be made: " + r.err;
      return nullptr;
    }
    bool ok = true;
    if (ipv6_link) {
      ok = kt::run({node->ip_, "-6", "addr", "add", node->stationAddress() + "/64", "dev", station,
                    "nodad"})
                   .status == 0 &&
           node->ip({"-6", "addr", "add", node->address() + "/64", "dev", "up0", "nodad"});
    } else {
      ok = kt::run({node->ip_, "addr", "add", node->stationAddress() + "/30", "dev", station})
                   .status == 0 &&
           node->ip({"addr", "add", node->address() + "/30", "dev", "up0"});
    }
    ok = ok && kt::run({node->ip_, "link", "set", "dev", station, "up"}).status == 0 &&
         node->ip({"link", "set", "dev", "up0", "up"});
    if (!ok) {
      why = "the link to the node could not be set up";
      return nullptr;
    }
    return node;
  }

  ~Node() {
    agent_.reset();
    holder_.reset();  // the namespace and its interfaces go with its last process
  }

  // The node's address on its link, as tavrin's "openSnmpSession" names the node.
  std::string address() const {
    return ipv6_ ? "2001:db8:" + std::to_string(k_ + 1) + "::2"
                 : "203.0.113." + std::to_string(4 * k_ + 2);
  }
  std::string stationAddress() const {
    return ipv6_ ? "2001:db8:" + std::to_string(k_ + 1) + "::1"
                 : "203.0.113." + std::to_string(4 * k_ + 1);
  }
  std::string agentName() const { return ipv6_ ? "udp6:[" + address() + "]:161" : address(); }

  // Runs "ip ARGS" inside the node; true on success (failures are reported to the test).
  bool ip(std::vector<std::string> args) {
    std::vector<std::string> argv = {"/usr/bin/nsenter", "-t", pid_, "-n", ip_};
    argv.insert(argv.end(), args.begin(), args.end());
    auto r = kt::run(argv);
    EXPECT_EQ(0, r.status) << "ip command failed: " << r.err;
    return r.status == 0;
  }

  // A veth pair inside the node: two interfaces with the given MAC addresses, both up.
  bool addPair(const std::string &a, const std::string &mac_a, const std::string &b,
               const std::string &mac_b) {
    return ip({"link", "add", "name", a, "address", mac_a, "type", "veth", "peer", "name", b,
               "address", mac_b}) &&
           ip({"link", "set", "dev", a, "up"}) && ip({"link", "set", "dev", b, "up"});
  }
  bool setMac(const std::string &dev, const std::string &mac) {
    return ip({"link", "set", "dev", dev, "address", mac});
  }
  bool addAddress(const std::string &dev, const std::string &cidr) {
    return ip({"addr", "add", cidr, "dev", dev});
  }

  // The interface's index, which is its instance in ifTable.
  std::optional<int> ifIndex(const std::string &dev) {
    auto r = kt::run({"/usr/bin/nsenter", "-t", pid_, "-n", ip_, "-o", "link", "show", "dev", dev});
    if (r.status != 0) return std::nullopt;
    return std::stoi(r.out);
  }
  // The identifier of the interface's ifPhysAddress, the variable the applet names.
  std::string physAddressOid(const std::string &dev) {
    auto index = ifIndex(dev);
    EXPECT_TRUE(index) << dev;
    return kIfPhysAddress + std::to_string(index.value_or(0));
  }

  // Starts snmpd inside the node, on its link address, port 161, once the interfaces are made.
  bool startAgent(const std::vector<std::string> &extra_config = {}) {
    std::string conf = "rocommunity public default\nrocommunity6 public default\n";
    conf += "sysname node" + std::to_string(k_) + "\n";
    for (const std::string &line : extra_config) conf += line + "\n";
    std::string path = dir_.write("snmpd.conf", conf);
    std::string endpoint = (ipv6_ ? "udp6:[" + address() + "]" : "udp:" + address()) + ":161";
    kt::Env env = {
        {"SNMPCONFPATH", dir_.path()}, {"SNMP_PERSISTENT_DIR", dir_.path()}, {"MIBS", ""}};
    agent_ = std::make_unique<kt::Process>(
        kt::Process::start({"/usr/bin/nsenter", "-t", pid_, "-n", "/usr/sbin/snmpd", "-f", "-Lo",
                            "-C", "-c", path, "-I", "-smux", endpoint},
                           env));
    bool up = agent_->waitForOutput("NET-SNMP version", 10s) && agent_->running();
    EXPECT_TRUE(up) << agent_->output() << agent_->errors();
    return up;
  }

  // The number of requests the agent has received so far (it logs one line for each).
  size_t requests() const { return agent_ ? countOf(agent_->output(), "Connection from") : 0; }

 private:
  Node() = default;
  int k_ = 0;
  bool ipv6_ = false;
  std::string ip_;
  std::string pid_;
  kt::TempDir dir_;
  std::unique_ptr<kt::Process> holder_;
  std::unique_ptr<kt::Process> agent_;
};

// Makes node k or skips the test with the reason.
#define MAKE_NODE(var, k, ...)                                      \
  std::string var##_why;                                            \
  auto var = Node::create(k, var##_why __VA_OPT__(, ) __VA_ARGS__); \
  if (!var) GTEST_SKIP() << "veth interfaces can't be made here: " << var##_why

// tavrin with the interface trace on (-di), and an applet.
class Gateway : public kt::Gateway {
 public:
  explicit Gateway(const std::string &version = "2c", std::chrono::milliseconds timeout = 2s,
                   bool trace = true)
      : kt::Gateway({.version = version, .timeout = timeout, .args = traceArgs(trace)}) {}

  std::string open(const std::string &node) {
    auto reply = ask("openSnmpSession#" + node, 10s);
    EXPECT_TRUE(reply && !reply->empty() && reply->find("failed") == std::string::npos)
        << reply.value_or("(no reply)");
    return reply.value_or("");
  }

  // One "getIpAddress"; returns the reply and leaves the trace lines it caused in trace().
  std::string lookup(const std::string &session, const std::string &oid) {
    size_t mark = process().output().size();
    auto reply = ask("getIpAddress#" + session + "#" + oid, 20s);
    trace_ = process().output().substr(mark);
    EXPECT_TRUE(reply) << "no reply to getIpAddress#" << session << "#" << oid;
    return reply.value_or("(no reply)");
  }
  const std::string &trace() const { return trace_; }

 private:
  static std::vector<std::string> traceArgs(bool trace) {
    return trace ? std::vector<std::string>{"-di"} : std::vector<std::string>{};
  }
  std::string trace_;
};

std::string macLine(const char *bytes) { return std::string("   MAC Addr = ") + bytes + "\n"; }
std::string foundLine(const std::string &address, int if_index) {
  return "    IpAddress: " + address + "   on SNMP Interface " + std::to_string(if_index) + "\n";
}
const std::string kExhausted = "    Exhausted list of IfIndexes - non-IP interface ...\n";
const std::string kNotFound = "   Didn't find ipAddrIndex to match Interface\n";

// Requests one lookup costs: the wanted value, then a GetNext and a GetRequest per entry
// examined, and one more GetNext when the walk runs off the end of the column.
constexpr size_t requestsFor(size_t entries, bool ran_off_the_end = false) {
  return 1 + 2 * entries + (ran_off_the_end ? 1 : 0);
}

class IpAddressLookup : public ::testing::TestWithParam<std::string> {};

// A node with six address entries, in the agent's order (ascending address):
//   198.51.100.1 a1, .17 a2, .33 a3, .50 a4, .60 a4, 203.0.113.2 up0 (the link);
// a5 and a6 have no IPv4 address. Every MAC holds zero bytes, and those of a1..a6 differ only
// in their last byte.
TEST_P(IpAddressLookup, AnswersTheFirstEntryOfTheInterface) {
  MAKE_NODE(node, 0);
  ASSERT_TRUE(node->setMac("up0", "02:00:5e:0a:00:a0"));
  ASSERT_TRUE(node->addPair("a1", "02:00:5e:0a:00:01", "a2", "02:00:5e:0a:00:02"));
  ASSERT_TRUE(node->addPair("a3", "02:00:5e:0a:00:03", "a4", "02:00:5e:0a:00:04"));
  ASSERT_TRUE(node->addPair("a5", "02:00:5e:0a:00:05", "a6", "02:00:5e:0a:00:06"));
  ASSERT_TRUE(node->addAddress("a1", "198.51.100.1/28"));
  ASSERT_TRUE(node->addAddress("a2", "198.51.100.17/28"));
  ASSERT_TRUE(node->addAddress("a3", "198.51.100.33/28"));
  // Two addresses on a4, the higher one first: the lower one is still the one answered.
  ASSERT_TRUE(node->addAddress("a4", "198.51.100.60/28"));
  ASSERT_TRUE(node->addAddress("a4", "198.51.100.50/28"));
  ASSERT_TRUE(node->startAgent());
  Gateway gw(GetParam());
  ASSERT_TRUE(gw.ready()) << gw.process().output();
  std::string session = gw.open(node->agentName());

  struct Case {
    std::string dev;
    std::string answer;
    const char *mac;
    size_t requests;
    std::string trace_end;
  };
  const int a3 = node->ifIndex("a3").value_or(-1);
  const int a4 = node->ifIndex("a4").value_or(-1);
  const Case cases[] = {
      // The third entry: answered after three steps.
      {"a3", "198.51.100.33", " 2  0 5e  a  0  3", requestsFor(3), foundLine("198.51.100.33", a3)},
      {"a1", "198.51.100.1", " 2  0 5e  a  0  1", requestsFor(1), ""},
      {"a2", "198.51.100.17", " 2  0 5e  a  0  2", requestsFor(2), ""},
      {"a4", "198.51.100.50", " 2  0 5e  a  0  4", requestsFor(4), foundLine("198.51.100.50", a4)},
      {"up0", "203.0.113.2", " 2  0 5e  a  0 a0", requestsFor(6), ""},
      // No IPv4 address: the walk runs to the end of the column.
      {"a5", kNoAddress, " 2  0 5e  a  0  5", requestsFor(6, true), kExhausted},
      {"a6", kNoAddress, " 2  0 5e  a  0  6", requestsFor(6, true), kExhausted},
      // After a walk that left the column, the next one starts at its head again.
      {"a3", "198.51.100.33", " 2  0 5e  a  0  3", requestsFor(3), foundLine("198.51.100.33", a3)},
  };
  for (const Case &c : cases) {
    SCOPED_TRACE("interface " + c.dev);
    size_t before = node->requests();
    EXPECT_EQ(c.answer, gw.lookup(session, node->physAddressOid(c.dev)));
    EXPECT_EQ(c.requests, node->requests() - before);
    EXPECT_EQ(0u, gw.trace().find(macLine(c.mac))) << gw.trace();
    if (!c.trace_end.empty()) {
      EXPECT_EQ(macLine(c.mac) + c.trace_end, gw.trace());
    }
  }
  EXPECT_TRUE(gw.process().running());
}

// Six bytes are compared whatever they hold: a MAC that differs from an earlier entry's only
// after a run of zero bytes is not taken for it.
TEST_P(IpAddressLookup, ComparesAllSixBytesZerosIncluded) {
  MAKE_NODE(node, 0);
  ASSERT_TRUE(node->addPair("z1", "02:00:00:00:00:00", "z2", "02:00:00:00:00:01"));
  ASSERT_TRUE(node->addPair("z3", "02:00:00:00:01:00", "z4", "02:00:00:01:00:00"));
  ASSERT_TRUE(node->addAddress("z1", "198.51.100.1/32"));
  ASSERT_TRUE(node->addAddress("z2", "198.51.100.2/32"));
  ASSERT_TRUE(node->addAddress("z3", "198.51.100.3/32"));
  ASSERT_TRUE(node->addAddress("z4", "198.51.100.4/32"));
  ASSERT_TRUE(node->startAgent());
  {
    Gateway gw(GetParam());
    ASSERT_TRUE(gw.ready());
    std::string session = gw.open(node->agentName());
    EXPECT_EQ("198.51.100.4", gw.lookup(session, node->physAddressOid("z4")));
    EXPECT_EQ(
        macLine(" 2  0  0  1  0  0") + foundLine("198.51.100.4", node->ifIndex("z4").value_or(-1)),
        gw.trace());
    EXPECT_EQ("198.51.100.2", gw.lookup(session, node->physAddressOid("z2")));
    EXPECT_EQ("198.51.100.3", gw.lookup(session, node->physAddressOid("z3")));
    EXPECT_EQ("198.51.100.1", gw.lookup(session, node->physAddressOid("z1")));
    EXPECT_EQ(0u, gw.trace().find(macLine(" 2  0  0  0  0  0")));
  }
  // Without -di the same lookups trace nothing.
  Gateway quiet(GetParam(), 2s, false);
  ASSERT_TRUE(quiet.ready());
  std::string session = quiet.open(node->agentName());
  EXPECT_EQ("198.51.100.4", quiet.lookup(session, node->physAddressOid("z4")));
  EXPECT_EQ("", quiet.trace());
  EXPECT_EQ(kNoAddress, quiet.lookup(session, kIfPhysAddress + std::string("999")));
  EXPECT_EQ("", quiet.trace());
}

// At most 16 entries are examined: the 16th is answered, the 17th is not.
//   198.51.100.1-14 d0, .100 t0 (15th), .101 t1 (16th), .102 t2 (17th), 203.0.113.2 up0 (18th).
TEST_P(IpAddressLookup, ExaminesAtMostSixteenEntries) {
  MAKE_NODE(node, 0);
  ASSERT_TRUE(node->setMac("up0", "02:00:5e:0d:00:a0"));
  ASSERT_TRUE(node->addPair("d0", "02:00:5e:0d:00:00", "t0", "02:00:5e:0d:00:01"));
  ASSERT_TRUE(node->addPair("t1", "02:00:5e:0d:00:02", "t2", "02:00:5e:0d:00:03"));
  for (int i = 1; i <= 14; ++i) {
    ASSERT_TRUE(node->addAddress("d0", "198.51.100." + std::to_string(i) + "/32"));
  }
  ASSERT_TRUE(node->addAddress("t0", "198.51.100.100/32"));
  ASSERT_TRUE(node->addAddress("t1", "198.51.100.101/32"));
  ASSERT_TRUE(node->addAddress("t2", "198.51.100.102/32"));
  ASSERT_TRUE(node->startAgent());
  Gateway gw(GetParam());
  ASSERT_TRUE(gw.ready());
  std::string session = gw.open(node->agentName());

  size_t before = node->requests();
  EXPECT_EQ("198.51.100.101", gw.lookup(session, node->physAddressOid("t1")));
  EXPECT_EQ(requestsFor(16), node->requests() - before);
  EXPECT_EQ(
      macLine(" 2  0 5e  d  0  2") + foundLine("198.51.100.101", node->ifIndex("t1").value_or(-1)),
      gw.trace());

  for (const char *dev : {"t2", "up0"}) {
    SCOPED_TRACE(dev);
    before = node->requests();
    EXPECT_EQ(kNoAddress, gw.lookup(session, node->physAddressOid(dev)));
    EXPECT_EQ(requestsFor(16), node->requests() - before);  // 33: the bound
    EXPECT_NE(std::string::npos, gw.trace().find(kNotFound)) << gw.trace();
    EXPECT_EQ(std::string::npos, gw.trace().find("IpAddress:"));
  }
  EXPECT_EQ("198.51.100.100", gw.lookup(session, node->physAddressOid("t0")));
  EXPECT_EQ("198.51.100.1", gw.lookup(session, node->physAddressOid("d0")));
}

std::string versionName(const ::testing::TestParamInfo<std::string> &info) {
  return "v" + info.param;
}

INSTANTIATE_TEST_SUITE_P(Versions, IpAddressLookup, ::testing::Values("1", "2c"), versionName);

// Lookups on two nodes, one after the other, in every order of how the previous walk ended:
// each starts again at the head of the column.
//   node A: 198.51.100.1-16 ad (16 entries), ax without address, 203.0.113.2 up0.
//   node B: 198.51.100.3 b1, b2 without address, 203.0.113.6 up0.
TEST(IpAddressLookupNodes, TwoNodesInARowGiveIndependentAnswers) {
  MAKE_NODE(a, 0);
  MAKE_NODE(b, 1);
  ASSERT_TRUE(a->addPair("ad", "02:00:5e:0a:00:01", "ax", "02:00:5e:0a:00:02"));
  for (int i = 1; i <= 16; ++i) {
    ASSERT_TRUE(a->addAddress("ad", "198.51.100." + std::to_string(i) + "/32"));
  }
  ASSERT_TRUE(b->addPair("b1", "02:00:5e:0b:00:01", "b2", "02:00:5e:0b:00:02"));
  ASSERT_TRUE(b->addAddress("b1", "198.51.100.3/32"));
  ASSERT_TRUE(a->startAgent());
  // Node B also holds node A's first MAC in a private variable: B must not answer for it.
  ASSERT_TRUE(b->startAgent({"override .1.3.6.1.4.1.32473.9.1.0 octet_str 0x02005e0a0001"}));
  Gateway gw;
  ASSERT_TRUE(gw.ready());
  std::string sa = gw.open(a->agentName());
  std::string sb = gw.open(b->agentName());
  ASSERT_NE(sa, sb);

  // A match on A leaves A's first entry behind.
  EXPECT_EQ("198.51.100.1", gw.lookup(sa, a->physAddressOid("ad")));
  EXPECT_EQ("198.51.100.3", gw.lookup(sb, b->physAddressOid("b1")));
  // A walk that ends after 16 steps leaves A's 16th entry (above B's only one) behind.
  size_t before = a->requests();
  EXPECT_EQ(kNoAddress, gw.lookup(sa, a->physAddressOid("ax")));
  EXPECT_EQ(requestsFor(16), a->requests() - before);
  EXPECT_NE(std::string::npos, gw.trace().find(kNotFound));
  before = b->requests();
  EXPECT_EQ("198.51.100.3", gw.lookup(sb, b->physAddressOid("b1")));
  EXPECT_EQ(requestsFor(1), b->requests() - before);
  // A walk that runs off the end of B's column.
  EXPECT_EQ(kNoAddress, gw.lookup(sb, b->physAddressOid("b2")));
  EXPECT_NE(std::string::npos, gw.trace().find(kExhausted));
  EXPECT_EQ("198.51.100.1", gw.lookup(sa, a->physAddressOid("ad")));
  EXPECT_EQ("203.0.113.6", gw.lookup(sb, b->physAddressOid("up0")));
  // A's MAC, asked of B, is not found on B.
  EXPECT_EQ(kNoAddress, gw.lookup(sb, "1.3.6.1.4.1.32473.9.1.0"));
  EXPECT_EQ(macLine(" 2  0 5e  a  0  1") + kExhausted, gw.trace());
}

// A node whose address table is empty (it has no IPv4 address; its agent is reached over
// IPv6) but which routes IPv4 out of an interface. The GetNext after the empty table answers
// from ipRouteTable, whose second column holds interface indexes too: that must neither be
// taken for an address entry nor steer later lookups on other nodes into the route table.
TEST(IpAddressLookupNodes, LeavingTheAddressTableEndsTheWalk) {
  MAKE_NODE(v6, 0, true);
  MAKE_NODE(v4, 1);
  ASSERT_TRUE(v6->addPair("r1", "02:00:5e:0c:00:01", "r2", "02:00:5e:0c:00:02"));
  ASSERT_TRUE(v6->ip({"route", "add", "198.51.100.0/24", "dev", "r1"}));
  ASSERT_TRUE(v4->addPair("e1", "02:00:5e:0e:00:01", "e2", "02:00:5e:0e:00:02"));
  ASSERT_TRUE(v4->addAddress("e1", "198.51.100.35/28"));
  ASSERT_TRUE(v6->startAgent());
  ASSERT_TRUE(v4->startAgent());
  Gateway gw;
  ASSERT_TRUE(gw.ready());
  std::string s6 = gw.open(v6->agentName());
  std::string s4 = gw.open(v4->agentName());

  size_t before = v6->requests();
  EXPECT_EQ(kNoAddress, gw.lookup(s6, v6->physAddressOid("r1")));
  EXPECT_EQ(macLine(" 2  0 5e  c  0  1") + kExhausted, gw.trace());
  EXPECT_EQ(2u, v6->requests() - before);  // the wanted value, one GetNext
  // The next lookup walks the address table of the other node, not its route table
  // (whose entry for e1 is 198.51.100.32).
  EXPECT_EQ("198.51.100.35", gw.lookup(s4, v4->physAddressOid("e1")));
  EXPECT_EQ("198.51.100.35", gw.lookup(s4, v4->physAddressOid("e1")));
}

// Failures that need no made interfaces: an agent on loopback and a silent peer.
class IpAddressFailures : public ::testing::TestWithParam<std::string> {};

TEST_P(IpAddressFailures, MissingVariableSilentNodeAndBadSession) {
  auto agent = kt::SnmpAgent::start();
  ASSERT_NE(nullptr, agent);
  Gateway gw(GetParam(), 300ms);
  ASSERT_TRUE(gw.ready());
  std::string session = gw.open(agent->peer());
  auto agentRequests = [&] { return countOf(agent->process().output(), "Connection from"); };

  // The wanted value does not exist: nothing more is asked, nothing is traced.
  for (std::string oid :
       {std::string(kIfPhysAddress) + "999999", std::string("1.3.6.1.4.1.32473.99.0"),
        std::string("1.3.6.1.2.1.2.2.1.6")}) {
    SCOPED_TRACE(oid);
    size_t before = agentRequests();
    EXPECT_EQ(kNoAddress, gw.lookup(session, oid));
    EXPECT_EQ("", gw.trace());
    EXPECT_EQ(1u, agentRequests() - before);
  }
  // No identifier at all, and a session number that names no session.
  EXPECT_EQ(kNoAddress, gw.lookup(session, ""));
  EXPECT_EQ(kNoAddress, gw.lookup("4000000000", std::string(kIfPhysAddress) + "1"));
  EXPECT_EQ("", gw.trace());

  // A node that never answers.
  kt::UdpClient silent("127.0.0.1");
  std::string quiet = gw.open("127.0.0.1:" + std::to_string(silent.localPort()));
  EXPECT_EQ(kNoAddress, gw.lookup(quiet, std::string(kIfPhysAddress) + "1"));
  EXPECT_EQ("", gw.trace());
  // The gateway still serves the live agent afterwards.
  auto reply =
      kt::UdpClient("127.0.0.1")
          .request("127.0.0.1", kGatewayPort, "getSnmpData#" + session + "#1.3.6.1.2.1.1.5.0", 5s);
  EXPECT_EQ("kestara-test-agent", reply.value_or(""));
  EXPECT_TRUE(gw.process().running());
}

INSTANTIATE_TEST_SUITE_P(Versions, IpAddressFailures, ::testing::Values("1", "2c"), versionName);

}  // namespace
