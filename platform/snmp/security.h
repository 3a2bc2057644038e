// security.h - SNMPv3 for the library's sessions: the library-wide defaults a session's open may
// change, the check of a client session's security settings, engine-ID discovery, the errors an
// agent's report stands for, and this process's own engine.
//
// net-snmp keeps its configured defaults in one library-wide store, and reads a host's
// hosts/NAME.conf into that store while a session to NAME opens. Everything here works on
// net-snmp's own records; nothing is printed.
#ifndef KESTARA_PLATFORM_SNMP_SECURITY_H
#define KESTARA_PLATFORM_SNMP_SECURITY_H

#include <optional>
#include <string>
#include <vector>

struct snmp_session;  // net-snmp's session, known only inside the library
struct snmp_pdu;

namespace ovsnmp {

// Saves, on construction, every default of net-snmp's store that a session's open takes (and
// that a host file may set): version, community, port, time-out, retries, and the SNMPv3 user,
// level, context, pass phrases and keys, authentication and privacy types. Puts them all back
// on destruction, so that a host file's settings apply to its own sessions only. The secrets
// it holds meanwhile are wiped when it goes.
class LibraryDefaults {
 public:
  LibraryDefaults();
  ~LibraryDefaults();
  LibraryDefaults(const LibraryDefaults &) = delete;
  LibraryDefaults &operator=(const LibraryDefaults &) = delete;

 private:
  std::vector<int> ints_;
  std::vector<std::optional<std::string>> strings_;
  std::vector<unsigned long> authType_;
  std::vector<unsigned long> privType_;
};

// The protocol version that the store's defVersion names: SNMP_VERSION_1, SNMP_VERSION_2c (also
// when nothing is configured) or SNMP_VERSION_3.
[[nodiscard]] long configuredVersion();

// True when an SNMPv3 client session, as net-snmp opened it, can be used: a security name,
// and for its level an authentication type that net-snmp knows with a key made from a pass
// phrase, and for authPriv privacy AES, AES-192 or AES-256 with its key.
[[nodiscard]] bool usableSecurity(const snmp_session &session);

// True once the session knows its agent's engine ID and its user is set up for that engine.
[[nodiscard]] bool engineKnown(const snmp_session &session);

// Sets the session's user up for the engine ID its discovery found (keys localised to that
// engine). False when that can't be done.
[[nodiscard]] bool setUpUser(snmp_session &session);

// Forgets the session's engine ID (the agent no longer knows it), so that the next request
// discovers it again.
void forgetEngine(snmp_session &session);

// The request that discovers an agent's engine ID (RFC 3414 section 4): an empty GetRequest,
// without authentication, from the empty user; the agent answers with a report that carries its
// engine ID. Null without memory.
[[nodiscard]] snmp_pdu *makeDiscoveryRequest();

// The library's error (OVSNMP_ERR_*) for net-snmp's error number after a request: the reason
// of an agent's report (a refusal for every kind of report), a time-out, a security setting
// net-snmp refused, or a send failure.
[[nodiscard]] int errorOfSnmpError(int snmp_errno);

// Gives this process's SNMPv3 engine (the one that receives informs) an engine ID that stays
// the same from one start to the next when none is configured (engineID TEXT, engineIDType):
// net-snmp's text form of the host name. Its boots value is the number of seconds from
// 2024-01-01 to now, so that it grows at every start without state on disk. Call once, after
// init_snmp.
void setUpLocalEngine();

}  // namespace ovsnmp

#endif  // KESTARA_PLATFORM_SNMP_SECURITY_H
