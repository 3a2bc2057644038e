// trap_sender.cc - traps and informs encoded by net-snmp once, replayed at a high rate.
// clang-format off
#include <net-snmp/net-snmp-config.h>
#include <net-snmp/net-snmp-includes.h>
// clang-format on

#include "trap_sender.h"

#include <arpa/inet.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <array>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <thread>

namespace rel {

namespace {

constexpr const char *kNodeEnterprise = "1.3.6.1.4.1.11.2.17.1";
constexpr const char *kObjectVariable = "1.3.6.1.4.1.11.2.17.2.3.0";

void initNetSnmp() {
  static bool done = false;
  if (done) return;
  done = true;
  // No MIB is needed (identifiers are numeric) and nothing is to be logged.
  snmp_disable_log();
  netsnmp_register_loghandler(NETSNMP_LOGHANDLER_NONE, LOG_DEBUG);
  netsnmp_set_mib_directory("");
  netsnmp_ds_set_boolean(NETSNMP_DS_LIBRARY_ID, NETSNMP_DS_LIB_DISABLE_PERSISTENT_LOAD, 1);
  netsnmp_ds_set_boolean(NETSNMP_DS_LIBRARY_ID, NETSNMP_DS_LIB_DISABLE_PERSISTENT_SAVE, 1);
  netsnmp_ds_set_boolean(NETSNMP_DS_LIBRARY_ID, NETSNMP_DS_LIB_DONT_READ_CONFIGS, 1);
  init_snmp("kestara-reliability");
}

std::vector<oid> parseOid(const std::string &dotted) {
  std::vector<oid> out;
  size_t pos = dotted[0] == '.' ? 1 : 0;
  while (pos < dotted.size()) {
    size_t dot = dotted.find('.', pos);
    if (dot == std::string::npos) dot = dotted.size();
    out.push_back(std::strtoul(dotted.substr(pos, dot - pos).c_str(), nullptr, 10));
    pos = dot + 1;
  }
  return out;
}

bool addVar(netsnmp_pdu *pdu, const VarSpec &var) {
  std::vector<oid> name = parseOid(var.name);
  switch (var.type) {
    case 's':
      return snmp_pdu_add_variable(pdu, name.data(), name.size(), ASN_OCTET_STR, var.value.data(),
                                   var.value.size()) != nullptr;
    case 'i': {
      long v = std::strtol(var.value.c_str(), nullptr, 10);
      return snmp_pdu_add_variable(pdu, name.data(), name.size(), ASN_INTEGER, &v, sizeof v) !=
             nullptr;
    }
    case 't': {
      u_long v = std::strtoul(var.value.c_str(), nullptr, 10);
      return snmp_pdu_add_variable(pdu, name.data(), name.size(), ASN_TIMETICKS, &v, sizeof v) !=
             nullptr;
    }
    case 'o': {
      std::vector<oid> value = parseOid(var.value);
      return snmp_pdu_add_variable(pdu, name.data(), name.size(), ASN_OBJECT_ID, value.data(),
                                   value.size() * sizeof(oid)) != nullptr;
    }
    default:
      return false;
  }
}

// Sends `pdu` (consumed) through net-snmp to a socket of our own and returns the bytes.
Datagram capture(netsnmp_pdu *pdu, long version) {
  initNetSnmp();
  int fd = socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
  sockaddr_in sa{};
  sa.sin_family = AF_INET;
  sa.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  socklen_t len = sizeof sa;
  if (fd < 0 || bind(fd, reinterpret_cast<sockaddr *>(&sa), sizeof sa) != 0 ||
      getsockname(fd, reinterpret_cast<sockaddr *>(&sa), &len) != 0) {
    if (fd >= 0) close(fd);
    snmp_free_pdu(pdu);
    return {};
  }
  std::string peer = "udp:127.0.0.1:" + std::to_string(ntohs(sa.sin_port));
  std::string community = "public";
  netsnmp_session in;
  snmp_sess_init(&in);
  in.peername = peer.data();
  in.version = version;
  in.community = reinterpret_cast<u_char *>(community.data());
  in.community_len = community.size();
  in.retries = 0;
  in.timeout = 100000;
  void *sess = snmp_sess_open(&in);
  Datagram out;
  if (sess != nullptr && snmp_sess_send(sess, pdu) != 0) {
    pdu = nullptr;  // consumed
    pollfd p{fd, POLLIN, 0};
    if (poll(&p, 1, 2000) > 0) {
      std::array<uint8_t, 65536> buffer{};
      ssize_t n = recv(fd, buffer.data(), buffer.size(), 0);
      if (n > 0) out.assign(buffer.begin(), buffer.begin() + n);
    }
  }
  if (pdu != nullptr) snmp_free_pdu(pdu);
  if (sess != nullptr) snmp_sess_close(sess);
  close(fd);
  return out;
}

}  // namespace

Datagram encodeV1Trap(const std::string &enterprise, long specific,
                      const std::vector<VarSpec> &vars) {
  initNetSnmp();
  netsnmp_pdu *pdu = snmp_pdu_create(SNMP_MSG_TRAP);
  std::vector<oid> ent = parseOid(enterprise);
  pdu->enterprise = snmp_duplicate_objid(ent.data(), ent.size());
  pdu->enterprise_length = ent.size();
  pdu->trap_type = SNMP_TRAP_ENTERPRISESPECIFIC;
  pdu->specific_type = specific;
  pdu->time = 0;
  in_addr_t agent = htonl(INADDR_LOOPBACK);
  std::memcpy(pdu->agent_addr, &agent, sizeof agent);
  for (const VarSpec &v : vars) {
    if (!addVar(pdu, v)) {
      snmp_free_pdu(pdu);
      return {};
    }
  }
  return capture(pdu, SNMP_VERSION_1);
}

Datagram encodeV2Notification(const std::string &trapOid, const std::vector<VarSpec> &vars,
                              bool inform) {
  initNetSnmp();
  netsnmp_pdu *pdu = snmp_pdu_create(inform ? SNMP_MSG_INFORM : SNMP_MSG_TRAP2);
  std::vector<VarSpec> all = {{"1.3.6.1.2.1.1.3.0", 't', "0"},
                              {"1.3.6.1.6.3.1.1.4.1.0", 'o', trapOid}};
  all.insert(all.end(), vars.begin(), vars.end());
  for (const VarSpec &v : all) {
    if (!addVar(pdu, v)) {
      snmp_free_pdu(pdu);
      return {};
    }
  }
  return capture(pdu, SNMP_VERSION_2c);
}

Datagram nodeEvent(uint32_t objectId, bool v2) {
  std::vector<VarSpec> vars = {{kObjectVariable, 's', std::to_string(objectId)}};
  if (v2) return encodeV2Notification(std::string(kNodeEnterprise) + ".0.58982403", vars);
  return encodeV1Trap(kNodeEnterprise, 58982403, vars);
}

bool sendOnce(const Datagram &datagram, uint16_t port) {
  int fd = socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
  if (fd < 0) return false;
  sockaddr_in to{};
  to.sin_family = AF_INET;
  to.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  to.sin_port = htons(port);
  ssize_t n =
      sendto(fd, datagram.data(), datagram.size(), 0, reinterpret_cast<sockaddr *>(&to), sizeof to);
  close(fd);
  return n == static_cast<ssize_t>(datagram.size());
}

FloodResult flood(const std::vector<Datagram> &datagrams, uint16_t port, int64_t perSecond,
                  std::chrono::milliseconds duration) {
  FloodResult result;
  if (datagrams.empty() || perSecond <= 0) return result;
  int fd = socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
  if (fd < 0) return result;
  sockaddr_in to{};
  to.sin_family = AF_INET;
  to.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  to.sin_port = htons(port);
  using Clock = std::chrono::steady_clock;
  auto start = Clock::now();
  auto end = start + duration;
  size_t next = 0;
  for (auto now = start; now < end; now = Clock::now()) {
    // As many as the rate allows up to now; then a short sleep.
    auto due = static_cast<int64_t>(std::chrono::duration<double>(now - start).count() *
                                    static_cast<double>(perSecond));
    while (result.sent + result.failed < due) {
      const Datagram &d = datagrams[next++ % datagrams.size()];
      ssize_t n = sendto(fd, d.data(), d.size(), 0, reinterpret_cast<sockaddr *>(&to), sizeof to);
      if (n == static_cast<ssize_t>(d.size())) {
        ++result.sent;
      } else {
        ++result.failed;
      }
    }
    std::this_thread::sleep_for(std::chrono::microseconds(500));
  }
  result.seconds = std::chrono::duration<double>(Clock::now() - start).count();
  close(fd);
  return result;
}

}  // namespace rel
