// Tests of snmpOpen, snmpClose and snmpGet against a real snmpd.
#include "snmp_ops.h"

#include <gtest/gtest.h>
#include <stdlib.h>

#include <array>
#include <string>
#include <vector>

#include "snmp_agent.h"

namespace {

using kt::AgentOptions;
using kt::SnmpAgent;

class SnmpGetTest : public ::testing::TestWithParam<std::string> {
 protected:
  void SetUp() override {
    kt::writeClientConfig(conf_, GetParam(), 0.3, 0);
    for (const auto &[k, v] : kt::clientEnv(conf_)) setenv(k.c_str(), v.c_str(), 1);
    AgentOptions options;
    options.extra_config = {
        "override .1.3.6.1.4.1.32473.9.1.0 integer -1",
        "override .1.3.6.1.4.1.32473.9.2.0 counter 5",
        "override .1.3.6.1.4.1.32473.9.4.0 object_id .1.3.6.1.4.1.77.5",
        "override .1.3.6.1.4.1.32473.9.6.0 octet_str \"\"",
        "override .1.3.6.1.4.1.32473.9.7.0 timeticks 12345",
        "override .1.3.6.1.4.1.32473.9.8.0 octet_str \"" + std::string(200, 'L') + "\"",
    };
    agent_ = SnmpAgent::start(options);
    ASSERT_NE(nullptr, agent_);
    session_ = snmpOpen(agent_->peer().c_str());
    ASSERT_NE(0u, session_);
  }
  void TearDown() override {
    if (session_ != 0) {
      EXPECT_TRUE(snmpClose(session_));
    }
  }

  // Gets `name` into a buffer of `size` bytes; returns the result and the text.
  std::pair<bool, std::string> get(std::vector<OVsnmpOid> name, size_t size = 128,
                                   int type = OVSNMP_GET_REQ) {
    std::vector<char> out(size, 'x');
    bool ok = snmpGet(session_, name.size(), name, type, out);
    last_name_ = name;
    return {ok, std::string(out.data())};
  }

  kt::TempDir conf_;
  std::unique_ptr<SnmpAgent> agent_;
  OVsnmpSession session_ = 0;
  std::vector<OVsnmpOid> last_name_;
};

TEST_P(SnmpGetTest, RendersEveryValueType) {
  EXPECT_EQ(std::make_pair(true, std::string("kestara-test-agent")),
            get({1, 3, 6, 1, 2, 1, 1, 5, 0}));
  EXPECT_EQ(std::make_pair(true, std::string("4294967295")),
            get({1, 3, 6, 1, 4, 1, 32473, 9, 1, 0}));
  EXPECT_EQ(std::make_pair(true, std::string("5")), get({1, 3, 6, 1, 4, 1, 32473, 9, 2, 0}));
  // An OBJECT IDENTIFIER shows its first sub-identifier.
  EXPECT_EQ(std::make_pair(true, std::string("1")), get({1, 3, 6, 1, 4, 1, 32473, 9, 4, 0}));
  EXPECT_EQ(std::make_pair(true, std::string("")), get({1, 3, 6, 1, 4, 1, 32473, 9, 6, 0}));
  EXPECT_EQ(std::make_pair(true, std::string("12345")), get({1, 3, 6, 1, 4, 1, 32473, 9, 7, 0}));
  EXPECT_EQ(std::make_pair(true, std::string("Kestara")),
            get({1, 3, 6, 1, 4, 1, 32473, 3, 1, 2, 3, 1, 1, 0}));
}

TEST_P(SnmpGetTest, MissingVariableIsNoSuchObject) {
  // v1 answers noSuchName with an index (the fix path); v2c answers noSuchObject.
  EXPECT_EQ(std::make_pair(false, std::string("No Such Object")),
            get({1, 3, 6, 1, 2, 1, 1, 99, 0}));
  EXPECT_EQ(std::make_pair(false, std::string("No Such Object")), get({1, 3, 6, 1, 4, 1, 9999, 0}));
}

TEST_P(SnmpGetTest, LongOctetStringIsCutToTheBuffer) {
  auto [ok, text] = get({1, 3, 6, 1, 4, 1, 32473, 9, 8, 0});
  EXPECT_TRUE(ok);
  EXPECT_EQ(std::string(127, 'L'), text);
  auto [ok52, text52] = get({1, 3, 6, 1, 4, 1, 32473, 9, 8, 0}, 52);
  EXPECT_TRUE(ok52);
  EXPECT_EQ(std::string(51, 'L'), text52);
}

TEST_P(SnmpGetTest, GetNextWritesTheAnsweredName) {
  auto [ok, text] = get({1, 3, 6, 1, 2, 1, 1, 5}, 128, OVSNMP_GETNEXT_REQ);
  // sysName.0 is an OCTET STRING: the name is left alone.
  EXPECT_TRUE(ok);
  EXPECT_EQ("kestara-test-agent", text);
  std::array<OVsnmpOid, 256> walk{1, 3, 6, 1, 2, 1, 1, 3};  // sysUpTime: TimeTicks
  std::array<char, 52> out{};
  ASSERT_TRUE(snmpGet(session_, 8, walk, OVSNMP_GETNEXT_REQ, out));
  EXPECT_EQ(0u, walk[8]);  // sysUpTime.0 answered, written back
  EXPECT_EQ(3u, walk[7]);
}

TEST_P(SnmpGetTest, AnsweredNameLongerThanTheArrayIsCut) {
  std::array<OVsnmpOid, 9> small{1, 3, 6, 1, 2, 1, 1, 3, 0};
  std::array<char, 128> out{};
  ASSERT_TRUE(snmpGet(session_, 8, small, OVSNMP_GETNEXT_REQ, out));  // answers 9 sub-ids
  std::array<OVsnmpOid, 2> tiny{1, 3};
  ASSERT_TRUE(snmpGet(session_, 2, tiny, OVSNMP_GETNEXT_REQ, out));
  EXPECT_EQ(1u, tiny[0]);  // the name 1.3.6.1.2.1.1.1.0 is cut to the array's 2 slots
}

TEST_P(SnmpGetTest, BadCountsAndSessions) {
  std::array<OVsnmpOid, 2> name{1, 3};
  std::array<char, 128> out{};
  EXPECT_FALSE(snmpGet(session_, 3, name, OVSNMP_GET_REQ, out));  // count beyond the array
  EXPECT_STREQ("No Such Object", out.data());
  EXPECT_FALSE(snmpGet(session_, 0, name, OVSNMP_GET_REQ, out));
  EXPECT_STREQ("No Such Object", out.data());
  EXPECT_FALSE(snmpGet(0xdeadbeef, 2, name, OVSNMP_GET_REQ, out));
  EXPECT_STREQ("No Such Object", out.data());
  EXPECT_FALSE(snmpClose(0xdeadbeef));
}

INSTANTIATE_TEST_SUITE_P(Versions, SnmpGetTest, ::testing::Values("1", "2c"));

TEST(SnmpGetSilent, SilentAgentIsNoResponse) {
  kt::TempDir conf;
  kt::writeClientConfig(conf, "2c", 0.2, 1);
  for (const auto &[k, v] : kt::clientEnv(conf)) setenv(k.c_str(), v.c_str(), 1);
  kt::UdpClient silent("127.0.0.1");  // bound, never answers
  std::string peer = "127.0.0.1:" + std::to_string(silent.localPort());
  OVsnmpSession s = snmpOpen(peer.c_str());
  ASSERT_NE(0u, s);
  std::array<OVsnmpOid, 9> name{1, 3, 6, 1, 2, 1, 1, 5, 0};
  std::array<char, 128> out{};
  EXPECT_FALSE(snmpGet(s, 9, name, OVSNMP_GET_REQ, out));
  EXPECT_STREQ("No Response", out.data());
  EXPECT_TRUE(snmpClose(s));
  EXPECT_FALSE(snmpClose(s));  // closed twice: refused, not a crash
}

TEST(SnmpOpen, UnknownHostFails) {
  testing::internal::CaptureStderr();
  EXPECT_EQ(0u, snmpOpen("no-such-host.invalid"));
  std::string err = testing::internal::GetCapturedStderr();
  EXPECT_EQ(0u, err.find("OVsnmpOpen failed: ")) << err;
}

}  // namespace
