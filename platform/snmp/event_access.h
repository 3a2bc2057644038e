// event_access.h - which events an event session accepts: the lines of ovsnmp.conf that name
// the accepted communities and SNMPv3 users (see "Event access" in OVsnmp.h), and the check of
// each received event against them.
//
// The lines are read by net-snmp's configuration reader, once per process, with the other
// files; what can't be used is kept as the configuration's problem (a file and a line, never
// the line's words: they may hold a pass phrase or a community) and fails the event session's
// open.
#ifndef KESTARA_PLATFORM_SNMP_EVENT_ACCESS_H
#define KESTARA_PLATFORM_SNMP_EVENT_ACCESS_H

#include <cstddef>
#include <map>
#include <span>
#include <string>
#include <string_view>
#include <vector>

namespace ovsnmp {

inline constexpr size_t kMaxCommunities = 64;
inline constexpr size_t kMaxEventCommunityLength = 255;
inline constexpr size_t kMaxUsers = 4096;
inline constexpr size_t kMaxUserNameLength = 32;  // RFC 3414: SnmpAdminString of 1..32

struct EventAccess {
  std::vector<std::string> communities;  // accepted SNMPv1/v2c communities; none: every one
  std::map<std::string, int> users;      // eventUser lines: name -> least SNMP_SEC_LEVEL_*
  std::vector<std::string> createUsers;  // createUser lines, applied by the first event open
  bool usersCreated = false;
  std::string problem;  // the first line that can't be used ("FILE: line N: what"), or ""

  EventAccess() = default;
  ~EventAccess();
  EventAccess(const EventAccess &) = delete;
  EventAccess &operator=(const EventAccess &) = delete;
};

// The process's event configuration.
EventAccess &eventAccess();

// Registers the handlers of eventCommunity, eventUser and createUser for configuration files of
// type `type` (the library's "ovsnmp": ovsnmp.conf). Call before init_snmp.
void registerEventConfig(const char *type);

// While it lives, net-snmp's complaints about lines of files of type `type` are kept as the
// configuration's problem: wrap init_snmp in one.
class ConfigProblems {
 public:
  explicit ConfigProblems(const char *type);
  ~ConfigProblems();
  ConfigProblems(const ConfigProblems &) = delete;
  ConfigProblems &operator=(const ConfigProblems &) = delete;
};

// Creates the users of the createUser lines, once per process; the local engine ID must be
// final. False, with the problem set, when one could not be created.
[[nodiscard]] bool createEventUsers();

// What an event carries that decides whether it is accepted.
struct EventCredentials {
  long version = 0;                          // SNMP_VERSION_1, _2c or _3
  int securityModel = 0;                     // SNMPv3: SNMP_SEC_MODEL_USM
  int securityLevel = 0;                     // SNMPv3: SNMP_SEC_LEVEL_*
  std::string_view user;                     // SNMPv3: the (authenticated) user name
  std::span<const unsigned char> community;  // SNMPv1/v2c
};

enum class Verdict { kAccepted, kUnauthenticated, kUnauthorised };

struct Decision {
  Verdict verdict = Verdict::kAccepted;
  int reason = 0;  // OVSNMP_ERR_* when not accepted
};

// Decides on one event that net-snmp has parsed (and, for SNMPv3, authenticated as far as its
// level says). SNMPv3 events without authentication are unauthenticated; from a user without an
// eventUser line, or below its level, unauthorised. SNMPv1/v2c events are unauthorised when
// communities are listed and theirs is not one of them (compared in constant time).
[[nodiscard]] Decision checkEvent(const EventAccess &access, const EventCredentials &event);

// The handlers' own checks, for tests: each returns "" for a usable line (the words after the
// keyword, as net-snmp hands them over) and adds it to `access`, or says what is wrong without
// repeating the line's words.
[[nodiscard]] std::string addCommunityLine(EventAccess &access, const char *line);
[[nodiscard]] std::string addUserLine(EventAccess &access, const char *line);
[[nodiscard]] std::string addCreateUserLine(EventAccess &access, const char *line);

// Keeps net-snmp's complaint `message` ("FILE: line N: Error: text") about a line of a file of
// type `type` as the configuration's first problem. Only the file and the line are kept, with
// the text only when it is one of this library's own (which never repeat a line's words).
void noteConfigMessage(EventAccess &access, std::string_view type, std::string_view message);

}  // namespace ovsnmp

#endif  // KESTARA_PLATFORM_SNMP_EVENT_ACCESS_H
