// Tests of the SNMP library's calls that need no agent: handles, PDUs, errors, fault seam.
#include <gtest/gtest.h>

#include <cstdlib>
#include <memory>
#include <set>
#include <string>

#include "OVsnmp.h"
#include "PlatformFault.h"
#include "process.h"

namespace {

// net-snmp reads only an empty configuration folder of the test's own.
class SnmpApi : public testing::Test {
 protected:
  void SetUp() override {
    static kt::TempDir conf;  // read once a process; removed at the exit
    setenv("SNMPCONFPATH", conf.path().c_str(), 1);
    KestaraFaultClear();
    OVsnmpErrno = 0;
  }
  void TearDown() override { KestaraFaultClear(); }

  // Opening sends nothing, so any address serves.
  static OVsnmpSession openLocal() {
    return OVsnmpOpen(nullptr, "127.0.0.1:9", -1, -1, 0xffff, 0xffff, nullptr, nullptr);
  }
};

const OVsnmpOid kSysDescr[] = {1, 3, 6, 1, 2, 1, 1, 1, 0};

TEST_F(SnmpApi, HandlesThatNameNoOpenSessionFailWithoutCrash) {
  const OVsnmpSession bad[] = {0u, 123456789u, 0xffffffffu};
  for (OVsnmpSession handle : bad) {
    OVsnmpErrno = 0;
    EXPECT_EQ(OVsnmpClose(handle), -1);
    EXPECT_EQ(OVsnmpErrno, OVSNMP_ERR_BAD_SESSION);
    EXPECT_EQ(OVsnmpSetSessionFlags(handle, OVSNMP_FLAG_RAW_EXCEPTIONS), -1);
    EXPECT_EQ(OVsnmpGetSessionFlags(handle), -1);
    OVsnmpPdu *pdu = OVsnmpCreatePdu(OVSNMP_GET_REQ);
    ASSERT_NE(OVsnmpAddNullVarBind(pdu, kSysDescr, 9), nullptr);
    OVsnmpErrno = 0;
    EXPECT_EQ(OVsnmpBlockingSend(handle, pdu), nullptr);
    EXPECT_EQ(OVsnmpErrno, OVSNMP_ERR_BAD_SESSION);
    OVsnmpFreePdu(pdu);  // a failed send leaves the request with the caller
  }
}

TEST_F(SnmpApi, ClosedSessionIsGoneAndHandlesAreNotReused) {
  std::set<OVsnmpSession> seen;
  OVsnmpSession previous = 0;
  for (int i = 0; i < 5; ++i) {
    OVsnmpSession s = openLocal();
    ASSERT_NE(s, 0u) << OVsnmpErrString(OVsnmpErrno);
    EXPECT_TRUE(seen.insert(s).second);
    EXPECT_GT(s, previous);
    previous = s;
    EXPECT_EQ(OVsnmpClose(s), 0);
    EXPECT_EQ(OVsnmpClose(s), -1);  // closing twice is a failure, not a crash
    EXPECT_EQ(OVsnmpErrno, OVSNMP_ERR_BAD_SESSION);
    EXPECT_EQ(OVsnmpGetSessionFlags(s), -1);
  }
}

TEST_F(SnmpApi, SessionFlagsAccumulate) {
  OVsnmpSession s = openLocal();
  ASSERT_NE(s, 0u);
  EXPECT_EQ(OVsnmpGetSessionFlags(s), 0);
  EXPECT_EQ(OVsnmpSetSessionFlags(s, OVSNMP_FLAG_RAW_EXCEPTIONS), 0);
  EXPECT_EQ(OVsnmpSetSessionFlags(s, 0x1), 0);
  EXPECT_EQ(OVsnmpGetSessionFlags(s), 0x9);
  EXPECT_EQ(OVsnmpClose(s), 0);
}

TEST_F(SnmpApi, OpenRefusesBadNamesAndArguments) {
  struct Case {
    const char *name;
    int error;
  };
  const Case cases[] = {
      {"", OVSNMP_ERR_OPEN},
      {"../../etc/evil", OVSNMP_ERR_OPEN},     // would name a host file outside hosts/
      {"tcp:127.0.0.1:161", OVSNMP_ERR_OPEN},  // only UDP agents
      {"unix:/tmp/agent", OVSNMP_ERR_OPEN},
      {"host name", OVSNMP_ERR_OPEN},
      {"host\nname", OVSNMP_ERR_OPEN},
  };
  for (const Case &c : cases) {
    OVsnmpErrno = 0;
    EXPECT_EQ(OVsnmpOpen(nullptr, c.name, -1, -1, 0xffff, 0xffff, nullptr, nullptr), 0u) << c.name;
    EXPECT_EQ(OVsnmpErrno, c.error) << c.name;
  }
  EXPECT_EQ(OVsnmpOpen(nullptr, nullptr, -1, -1, 0xffff, 0xffff, nullptr, nullptr), 0u);
  EXPECT_EQ(OVsnmpErrno, OVSNMP_ERR_BAD_ARG);
  auto callback = [](int, OVsnmpSession, OVsnmpPdu *, void *) {};
  EXPECT_EQ(OVsnmpOpen(nullptr, "127.0.0.1", -1, -1, 0xffff, 0xffff, callback, nullptr), 0u);
  EXPECT_EQ(OVsnmpErrno, OVSNMP_ERR_BAD_ARG);
  EXPECT_EQ(OVsnmpOpen(nullptr, "127.0.0.1", -2, -1, 0xffff, 0xffff, nullptr, nullptr), 0u);
  EXPECT_EQ(OVsnmpOpen(nullptr, "127.0.0.1", -1, 0, 0xffff, 0xffff, nullptr, nullptr), 0u);
  EXPECT_EQ(OVsnmpOpen(nullptr, "127.0.0.1", 101, -1, 0xffff, 0xffff, nullptr, nullptr), 0u);
  EXPECT_EQ(OVsnmpOpen(nullptr, "127.0.0.1", -1, -1, 7, 0xffff, nullptr, nullptr), 0u);
  EXPECT_EQ(OVsnmpOpen(nullptr, "127.0.0.1", -1, -1, 0xffff, 0, nullptr, nullptr), 0u);
  EXPECT_EQ(OVsnmpErrno, OVSNMP_ERR_BAD_ARG);
  std::string long_name(400, 'a');
  EXPECT_EQ(OVsnmpOpen(nullptr, long_name.c_str(), -1, -1, 0xffff, 0xffff, nullptr, nullptr), 0u);
}

TEST_F(SnmpApi, OpenAcceptsTheUsualAgentNames) {
  for (const char *name : {"127.0.0.1", "127.0.0.1:1161", "udp:127.0.0.1:1161", "localhost"}) {
    OVsnmpSession s = OVsnmpOpen(nullptr, name, -1, -1, 0xffff, 0xffff, nullptr, nullptr);
    EXPECT_NE(s, 0u) << name << ": " << OVsnmpErrString(OVsnmpErrno);
    if (s != 0) {
      EXPECT_EQ(OVsnmpClose(s), 0);
    }
  }
}

TEST_F(SnmpApi, CreatePduTakesOnlyRequestTypes) {
  for (int type : {int{OVSNMP_GET_REQ}, int{OVSNMP_GETNEXT_REQ}, int{OVSNMP_SET_REQ}}) {
    OVsnmpPdu *pdu = OVsnmpCreatePdu(type);
    ASSERT_NE(pdu, nullptr);
    EXPECT_EQ(pdu->command, type);
    EXPECT_EQ(pdu->variables, nullptr);
    OVsnmpFreePdu(pdu);
  }
  for (int type : {0, int{OVSNMP_GET_RSP}, int{OVSNMP_TRAP}, int{OVSNMP_INFORM}, 0x1A0}) {
    EXPECT_EQ(OVsnmpCreatePdu(type), nullptr);
    EXPECT_EQ(OVsnmpErrno, OVSNMP_ERR_BAD_PDU);
  }
}

TEST_F(SnmpApi, AddNullVarBindCopiesTheNameAndChecksIt) {
  OVsnmpPdu *pdu = OVsnmpCreatePdu(OVSNMP_GET_REQ);
  ASSERT_NE(pdu, nullptr);
  OVsnmpOid name[] = {1, 3, 6, 1, 2, 1, 1, 5, 0};
  OVsnmpVarBind *first = OVsnmpAddNullVarBind(pdu, name, 9);
  ASSERT_NE(first, nullptr);
  name[8] = 77;  // the PDU keeps its own copy
  EXPECT_EQ(first->oid[8], 0u);
  EXPECT_EQ(first->oid_length, 9u);
  EXPECT_EQ(first->type, OVSNMP_NULL);
  EXPECT_EQ(first->val, nullptr);
  OVsnmpVarBind *second = OVsnmpAddNullVarBind(pdu, name, 9);
  ASSERT_NE(second, nullptr);
  EXPECT_EQ(pdu->variables, first);
  EXPECT_EQ(first->next_variable, second);
  EXPECT_EQ(second->next_variable, nullptr);

  OVsnmpOid longest[129] = {};
  EXPECT_NE(OVsnmpAddNullVarBind(pdu, longest, 128), nullptr);
  EXPECT_EQ(OVsnmpAddNullVarBind(pdu, longest, 129), nullptr);
  EXPECT_EQ(OVsnmpErrno, OVSNMP_ERR_BAD_ARG);
  EXPECT_EQ(OVsnmpAddNullVarBind(pdu, name, 0), nullptr);
  EXPECT_EQ(OVsnmpAddNullVarBind(pdu, nullptr, 3), nullptr);
  EXPECT_EQ(OVsnmpAddNullVarBind(nullptr, name, 3), nullptr);
  OVsnmpFreePdu(pdu);
  // A released PDU is unknown from then on: adding to it fails, freeing it again is harmless.
  EXPECT_EQ(OVsnmpAddNullVarBind(pdu, name, 3), nullptr);
  EXPECT_EQ(OVsnmpErrno, OVSNMP_ERR_BAD_ARG);
  OVsnmpFreePdu(pdu);
  OVsnmpFreePdu(nullptr);
}

TEST_F(SnmpApi, FixPduRefusesWhatIsNoErrorResponse) {
  OVsnmpPdu *request = OVsnmpCreatePdu(OVSNMP_GET_REQ);
  ASSERT_NE(OVsnmpAddNullVarBind(request, kSysDescr, 9), nullptr);
  ASSERT_NE(OVsnmpAddNullVarBind(request, kSysDescr, 9), nullptr);
  EXPECT_EQ(OVsnmpFixPdu(request, OVSNMP_GET_REQ), nullptr);
  EXPECT_EQ(OVsnmpErrno, OVSNMP_ERR_BAD_PDU);
  EXPECT_EQ(OVsnmpFixPdu(nullptr, OVSNMP_GET_REQ), nullptr);
  EXPECT_EQ(OVsnmpErrno, OVSNMP_ERR_BAD_ARG);
  // The refused PDU still belongs to the caller and is intact.
  EXPECT_EQ(request->variables->next_variable->oid_length, 9u);
  OVsnmpFreePdu(request);
}

TEST_F(SnmpApi, BlockingSendRefusesUnknownPdus) {
  OVsnmpSession s = openLocal();
  ASSERT_NE(s, 0u);
  OVsnmpPdu bogus{};
  EXPECT_EQ(OVsnmpBlockingSend(s, &bogus), nullptr);
  EXPECT_EQ(OVsnmpErrno, OVSNMP_ERR_BAD_ARG);
  EXPECT_EQ(OVsnmpBlockingSend(s, nullptr), nullptr);
  OVsnmpFreePdu(&bogus);  // not the library's: ignored
  EXPECT_EQ(OVsnmpClose(s), 0);
}

TEST_F(SnmpApi, ErrStringNamesEveryNumber) {
  for (int e = -5; e < 300; ++e) {
    const char *text = OVsnmpErrString(e);
    ASSERT_NE(text, nullptr);
    EXPECT_NE(text[0], '\0');
  }
  EXPECT_STRNE(OVsnmpErrString(OVSNMP_ERR_TIMEOUT), OVsnmpErrString(OVSNMP_ERR_SEND));
}

TEST_F(SnmpApi, FaultSeamFailsCallsWithTheGivenCode) {
  ASSERT_EQ(KestaraFaultAdd("OVsnmpOpen", 1, OVSNMP_ERR_OPEN, 0), 0);
  EXPECT_EQ(openLocal(), 0u);
  EXPECT_EQ(OVsnmpErrno, OVSNMP_ERR_OPEN);
  OVsnmpSession s = openLocal();  // only the first call fails
  ASSERT_NE(s, 0u);

  ASSERT_EQ(KestaraFaultAdd("OVsnmpBlockingSend", 1, OVSNMP_ERR_TIMEOUT, 0), 0);
  OVsnmpPdu *request = OVsnmpCreatePdu(OVSNMP_GET_REQ);
  ASSERT_NE(OVsnmpAddNullVarBind(request, kSysDescr, 9), nullptr);
  EXPECT_EQ(OVsnmpBlockingSend(s, request), nullptr);
  EXPECT_EQ(OVsnmpErrno, OVSNMP_ERR_TIMEOUT);
  EXPECT_NE(request->variables, nullptr);  // still the caller's
  OVsnmpFreePdu(request);

  ASSERT_EQ(KestaraFaultAdd("OVsnmpCreatePdu", 1, OVSNMP_ERR_NOMEM, 0), 0);
  EXPECT_EQ(OVsnmpCreatePdu(OVSNMP_GET_REQ), nullptr);
  EXPECT_EQ(OVsnmpErrno, OVSNMP_ERR_NOMEM);

  ASSERT_EQ(KestaraFaultAdd("OVsnmpClose", 1, 42, 0), 0);
  EXPECT_EQ(OVsnmpClose(s), -1);
  EXPECT_EQ(OVsnmpErrno, 42);
  EXPECT_EQ(OVsnmpClose(s), 0);  // the session was left open by the failed close
}

}  // namespace
