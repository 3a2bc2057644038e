// Tests of the event configuration's lines and of the decision on each event.
#include "event_access.h"

// clang-format off
#include <net-snmp/net-snmp-config.h>
#include <net-snmp/net-snmp-includes.h>
// clang-format on

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "OVsnmp.h"

namespace {

using ovsnmp::Decision;
using ovsnmp::EventAccess;
using ovsnmp::EventCredentials;
using ovsnmp::Verdict;

std::span<const unsigned char> bytes(const std::string &text) {
  return {reinterpret_cast<const unsigned char *>(text.data()), text.size()};
}

TEST(EventConfigLines, CommunitiesAreSingleBoundedWords) {
  EventAccess access;
  EXPECT_EQ("", addCommunityLine(access, "public"));
  EXPECT_EQ("", addCommunityLine(access, "\"with blanks\""));
  EXPECT_NE("", addCommunityLine(access, ""));
  EXPECT_NE("", addCommunityLine(access, "two words"));
  EXPECT_NE("", addCommunityLine(access, std::string(256, 'c').c_str()));
  EXPECT_EQ("", addCommunityLine(access, std::string(255, 'c').c_str()));
  ASSERT_EQ(3u, access.communities.size());
  EXPECT_EQ("with blanks", access.communities[1]);
  while (access.communities.size() < ovsnmp::kMaxCommunities) {
    ASSERT_EQ("", addCommunityLine(access, "more"));
  }
  EXPECT_NE("", addCommunityLine(access, "one-too-many"));
  EXPECT_EQ(ovsnmp::kMaxCommunities, access.communities.size());
}

TEST(EventConfigLines, UsersTakeAuthOrPriv) {
  EventAccess access;
  EXPECT_EQ("", addUserLine(access, "alice"));
  EXPECT_EQ("", addUserLine(access, "bob priv"));
  EXPECT_EQ("", addUserLine(access, "carol AUTH"));
  EXPECT_NE("", addUserLine(access, "dave noauth"));
  EXPECT_NE("", addUserLine(access, "erin priv extra"));
  EXPECT_NE("", addUserLine(access, ""));
  EXPECT_NE("", addUserLine(access, std::string(33, 'u').c_str()));
  EXPECT_EQ(SNMP_SEC_LEVEL_AUTHNOPRIV, access.users.at("alice"));
  EXPECT_EQ(SNMP_SEC_LEVEL_AUTHPRIV, access.users.at("bob"));
  EXPECT_EQ(SNMP_SEC_LEVEL_AUTHNOPRIV, access.users.at("carol"));
  EXPECT_FALSE(access.users.contains("dave"));
  EXPECT_EQ("", addUserLine(access, "alice priv"));  // a later line wins
  EXPECT_EQ(SNMP_SEC_LEVEL_AUTHPRIV, access.users.at("alice"));
}

// Every usable form of createUser is kept; every unusable one is refused with a text that
// repeats none of the line's secrets.
TEST(EventConfigLines, CreateUserTakesPassPhrasesAndOfferedTypesOnly) {
  EventAccess access;
  for (const char *good : {
           "-e 0x8000000001020304 trapper SHA-256 \"auth secret 1\" AES \"priv secret 1\"",
           "-e 8000000001020304 trapper2 SHA authsecret2",
           "informer SHA-512 authsecret3 AES-256",  // the privacy pass phrase is the other one
           "informer2 MD5 authsecret4 AES-192 privsecret4",
       }) {
    SCOPED_TRACE(good);
    EXPECT_EQ("", addCreateUserLine(access, good));
  }
  EXPECT_EQ(4u, access.createUsers.size());
  for (const char *bad : {
           "trapper SHA-256 short7x",                                // a pass phrase of 7
           "trapper SHA-256 authsecret5 DES privsecret5",            // DES
           "trapper SHA-999 authsecret6",                            // no such type
           "trapper SHA-256 -l 0x00112233445566778899aabbccddeeff",  // a key, not a pass phrase
           "-e 0x800000000102030 trapper SHA-256 authsecret7",       // an odd number of digits
           "-e 0x80000001 trapper SHA-256 authsecret8",              // an engine ID of 4 bytes
           "-e 0x80000000zz020304 trapper SHA-256 authsecret9",      // not hexadecimal
           "trapper SHA-256 authsecret10 AES privsecret10 extra",    // one word too many
           "trapper SHA-256",                                        // no pass phrase
           "trapper SHA-256 authsecret11 AES short7y",               // a privacy pass phrase of 7
           "",
       }) {
    SCOPED_TRACE(bad);
    const std::string problem = addCreateUserLine(access, bad);
    ASSERT_NE("", problem);
    EXPECT_EQ(0u, problem.rfind("createUser:", 0));
    for (const char *secret : {"short7x", "authsecret", "privsecret", "short7y", "00112233"}) {
      EXPECT_EQ(std::string::npos, problem.find(secret)) << problem;
    }
  }
  EXPECT_EQ(4u, access.createUsers.size());
}

// Only complaints about the library's own files are kept, with the file and the line; a text
// that is not the library's own (it could repeat a secret) is replaced. The first one stays.
TEST(EventConfigLines, ProblemsKeepTheFileAndLineNeverForeignWords) {
  EventAccess access;
  noteConfigMessage(access, "ovsnmp", "/etc/snmp/snmp.conf: line 3: Error: Unknown token\n");
  EXPECT_EQ("", access.problem);
  noteConfigMessage(access, "ovsnmp", "not a configuration message");
  EXPECT_EQ("", access.problem);
  noteConfigMessage(access, "ovsnmp",
                    "/etc/snmp/ovsnmp.conf: line 7: Warning: Unknown token: \"my-secret.\n");
  EXPECT_EQ("/etc/snmp/ovsnmp.conf: line 7: this line can't be used", access.problem);
  EXPECT_EQ(std::string::npos, access.problem.find("my-secret"));
  noteConfigMessage(access, "ovsnmp",
                    "/etc/snmp/ovsnmp.conf: line 9: Error: eventUser: the level is auth or priv\n");
  EXPECT_EQ("/etc/snmp/ovsnmp.conf: line 7: this line can't be used", access.problem);

  EventAccess own;
  noteConfigMessage(own, "ovsnmp",
                    "/x/ovsnmp.local.conf: line 12: Error: eventUser: the level is auth or priv");
  EXPECT_EQ("/x/ovsnmp.local.conf: line 12: eventUser: the level is auth or priv", own.problem);
}

TEST(EventDecision, CommunitiesAndUsersDecide) {
  EventAccess open;
  EventAccess listed;
  ASSERT_EQ("", addCommunityLine(listed, "public"));
  ASSERT_EQ("", addCommunityLine(listed, "station-two"));
  ASSERT_EQ("", addUserLine(listed, "alice"));
  ASSERT_EQ("", addUserLine(listed, "bob priv"));

  auto v2c = [](const std::string &community) {
    EventCredentials e;
    e.version = SNMP_VERSION_2c;
    static std::string kept;
    kept = community;
    e.community = bytes(kept);
    return e;
  };
  auto v3 = [](std::string_view user, int level, int model = SNMP_SEC_MODEL_USM) {
    EventCredentials e;
    e.version = SNMP_VERSION_3;
    e.securityModel = model;
    e.securityLevel = level;
    e.user = user;
    return e;
  };
  auto verdict = [](const EventAccess &a, const EventCredentials &e) {
    return checkEvent(a, e).verdict;
  };

  // Without communities every SNMPv1/v2c event is accepted, as without a configuration.
  EXPECT_EQ(Verdict::kAccepted, verdict(open, v2c("anything")));
  EXPECT_EQ(Verdict::kAccepted, verdict(listed, v2c("public")));
  EXPECT_EQ(Verdict::kAccepted, verdict(listed, v2c("station-two")));
  EXPECT_EQ(Verdict::kUnauthorised, verdict(listed, v2c("publi")));
  EXPECT_EQ(Verdict::kUnauthorised, verdict(listed, v2c("public ")));
  EXPECT_EQ(Verdict::kUnauthorised, verdict(listed, v2c("")));
  EXPECT_EQ(OVSNMP_ERR_NOT_AUTHORISED, checkEvent(listed, v2c("x")).reason);
  EventCredentials v1 = v2c("station-two");
  v1.version = SNMP_VERSION_1;
  EXPECT_EQ(Verdict::kAccepted, verdict(listed, v1));

  // SNMPv3: authenticated, by a listed user, at its level.
  EXPECT_EQ(Verdict::kAccepted, verdict(listed, v3("alice", SNMP_SEC_LEVEL_AUTHNOPRIV)));
  EXPECT_EQ(Verdict::kAccepted, verdict(listed, v3("alice", SNMP_SEC_LEVEL_AUTHPRIV)));
  EXPECT_EQ(Verdict::kAccepted, verdict(listed, v3("bob", SNMP_SEC_LEVEL_AUTHPRIV)));
  const Decision low = checkEvent(listed, v3("bob", SNMP_SEC_LEVEL_AUTHNOPRIV));
  EXPECT_EQ(Verdict::kUnauthorised, low.verdict);
  EXPECT_EQ(OVSNMP_ERR_SECURITY_LEVEL, low.reason);
  const Decision noAuth = checkEvent(listed, v3("alice", SNMP_SEC_LEVEL_NOAUTH));
  EXPECT_EQ(Verdict::kUnauthenticated, noAuth.verdict);
  EXPECT_EQ(OVSNMP_ERR_SECURITY_LEVEL, noAuth.reason);
  EXPECT_EQ(Verdict::kUnauthenticated,
            verdict(listed, v3("alice", SNMP_SEC_LEVEL_AUTHPRIV, SNMP_SEC_MODEL_TSM)));
  EXPECT_EQ(Verdict::kUnauthorised, verdict(listed, v3("carol", SNMP_SEC_LEVEL_AUTHPRIV)));
  EXPECT_EQ(Verdict::kUnauthorised, verdict(listed, v3("alic", SNMP_SEC_LEVEL_AUTHPRIV)));
  // No user is accepted without an eventUser line, whatever the communities.
  EXPECT_EQ(Verdict::kUnauthorised, verdict(open, v3("alice", SNMP_SEC_LEVEL_AUTHPRIV)));
}

}  // namespace
