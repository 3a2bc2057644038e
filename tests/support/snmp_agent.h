// snmp_agent.h - test support: net-snmp's snmpd as a real agent on loopback.
#ifndef KESTARA_TESTS_SUPPORT_SNMP_AGENT_H
#define KESTARA_TESTS_SUPPORT_SNMP_AGENT_H

#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "process.h"

namespace kt {

// The device probe variable that marks a Kestara device.
inline constexpr const char *kProbeOid = "1.3.6.1.4.1.32473.3.1.2.3.1.1.0";

struct AgentOptions {
  std::string address = "127.0.0.1";    // loopback address to listen on
  uint16_t port = 0;                    // 0: a free port
  std::string community = "public";     // read-only community (v1 and v2c)
  bool probe = true;                    // answer the probe variable
  std::string probe_value = "Kestara";  // its OCTET STRING value
  std::string sys_name = "kestara-test-agent";
  std::vector<std::string> extra_config{};  // more snmpd.conf lines (e.g. override ...)
};

// A running snmpd (foreground, own config dir, SNMPCONFPATH pointing only there).
// Stopped and reaped when the object goes.
class SnmpAgent {
 public:
  // Starts the agent and waits until it answers; nothing when it could not be started.
  static std::unique_ptr<SnmpAgent> start(const AgentOptions &options = {});
  ~SnmpAgent();
  uint16_t port() const { return port_; }
  const std::string &address() const { return address_; }
  // "ADDRESS:PORT", as OVsnmpOpen and net-snmp's commands accept it.
  std::string peer() const;
  Process &process() { return *process_; }

 private:
  SnmpAgent() = default;
  std::unique_ptr<TempDir> dir_;
  std::unique_ptr<Process> process_;
  std::string address_;
  uint16_t port_ = 0;
};

// Writes an snmp.conf for client programs into `dir` (give `dir` as SNMPCONFPATH):
// version "1" or "2c", time-out in seconds (fractions allowed), retries, community.
std::string writeClientConfig(const TempDir &dir, const std::string &version = "2c",
                              double timeout_seconds = 0.5, int retries = 0,
                              const std::string &community = "public");

// Environment for a program under test that queries agents: SNMPCONFPATH set to `dir`
// (which must hold an snmp.conf from writeClientConfig), the exact time-out and retries in
// OVSNMP_TIMEOUT_MS and OVSNMP_RETRIES, and MIBS empty, so the machine's
// configuration is never read.
Env clientEnv(const TempDir &dir);

// An SNMPv3 user: on the agent's side (createUser and rouser lines for snmpd) and on the
// client's (the snmp.conf lines of a session). `privType` empty: no privacy.
struct V3User {
  std::string name;
  std::string authType = "SHA-256";
  std::string authPass;
  std::string privType = "AES";
  std::string privPass{};
  std::string level = "authPriv";  // the client's defSecurityLevel
  std::string access = "priv";     // the agent's rouser level (noauth, auth, priv)
};

// snmpd.conf lines that create the user and let it read everything at its access level.
std::vector<std::string> agentUserLines(const V3User &user);

// snmp.conf lines for client sessions as that user: defVersion 3 and its security settings.
std::string clientUserLines(const V3User &user);

// Writes hosts/HOST.conf in `dir` (an SNMPCONFPATH folder): sessions opened to HOST go to `peer`
// ("ADDRESS:PORT") with the settings `lines` (snmp.conf lines).
void writeHostConfig(const TempDir &dir, const std::string &host, const std::string &peer,
                     const std::string &lines);

// Lets a gateway under test open sessions to any agent, not only to the SNMP nodes of an object
// database: for tests of what happens once a session is open.
inline const std::pair<std::string, std::string> kAnyAgent{"TAVRIN_AGENT_NETWORKS", "any"};

}  // namespace kt

#endif  // KESTARA_TESTS_SUPPORT_SNMP_AGENT_H
