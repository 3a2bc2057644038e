// Tests of what an SNMPv3 failure means to the programs: every kind of report an agent sends is
// a refusal (answered like no answer), and each reason reads as operators look it up.
#include "security.h"

// clang-format off
#include <net-snmp/net-snmp-config.h>
#include <net-snmp/net-snmp-includes.h>
// clang-format on

#include <gtest/gtest.h>

#include <set>
#include <string>

#include "OVsnmp.h"

namespace {

using ovsnmp::errorOfSnmpError;

TEST(SnmpV3Errors, EveryReportIsARefusalWithItsOwnText) {
  const std::pair<int, const char *> reports[] = {
      {SNMPERR_UNKNOWN_USER_NAME, "unknown user name"},
      {SNMPERR_AUTHENTICATION_FAILURE, "wrong digest"},
      {SNMPERR_DECRYPTION_ERR, "decryption error"},
      {SNMPERR_UNSUPPORTED_SEC_LEVEL, "unsupported security level"},
      {SNMPERR_NOT_IN_TIME_WINDOW, "time window"},
      {SNMPERR_UNKNOWN_ENG_ID, "unknown engine ID"},
      {SNMPERR_BAD_CONTEXT, "unknown context"},
      {SNMPERR_UNKNOWN_SEC_MODEL, "report"},
      {SNMPERR_INVALID_MSG, "report"},
      {SNMPERR_UNKNOWN_REPORT, "report"},
  };
  std::set<std::string> texts;
  for (const auto &[report, words] : reports) {
    SCOPED_TRACE(report);
    const int error = errorOfSnmpError(report);
    EXPECT_TRUE(OVsnmpIsSecurityRefusal(error));
    const std::string text = OVsnmpErrString(error);
    EXPECT_NE(std::string::npos, text.find(words)) << text;
    texts.insert(text);
  }
  EXPECT_EQ(7u, texts.size());  // the last three share one
}

// A time-out, settings net-snmp refuses before sending, and a failed send are no refusal: the
// programs answer them as before ("No Response" for the first only).
TEST(SnmpV3Errors, LocalFailuresAreNoRefusal) {
  EXPECT_EQ(OVSNMP_ERR_TIMEOUT, errorOfSnmpError(SNMPERR_TIMEOUT));
  EXPECT_EQ(OVSNMP_ERR_SECURITY_CONFIG, errorOfSnmpError(SNMPERR_USM_UNKNOWNSECURITYNAME));
  EXPECT_EQ(OVSNMP_ERR_SECURITY_CONFIG, errorOfSnmpError(SNMPERR_USM_ENCRYPTIONERROR));
  EXPECT_EQ(OVSNMP_ERR_SEND, errorOfSnmpError(SNMPERR_BAD_SENDTO));
  for (int error : {OVSNMP_ERR_TIMEOUT, OVSNMP_ERR_SECURITY_CONFIG, OVSNMP_ERR_SEND,
                    OVSNMP_ERR_BAD_PDU, OVSNMP_ERR_EVENT_CONFIG, OVSNMP_ERR_NOT_AUTHORISED}) {
    EXPECT_FALSE(OVsnmpIsSecurityRefusal(error)) << error;
  }
}

}  // namespace
