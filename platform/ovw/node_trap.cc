// node_trap.cc - sending node event traps with net-snmp.
#include "node_trap.h"

// clang-format off
#include <net-snmp/net-snmp-config.h>
#include <net-snmp/net-snmp-includes.h>
// clang-format on

#include <arpa/inet.h>
#include <time.h>

#include <cstdlib>
#include <cstring>
#include <memory>

namespace kestara::ovw {

namespace {

constexpr oid kEnterprise[] = {1, 3, 6, 1, 4, 1, 11, 2, 17, 1};
constexpr oid kObjectVariable[] = {1, 3, 6, 1, 4, 1, 11, 2, 17, 2, 3, 0};

void initSnmpOnce() {
  static bool done = false;
  if (done) return;
  done = true;
  // Nothing of the machine's SNMP configuration, MIB files or persistent state is needed to
  // send one trap.
  netsnmp_ds_set_boolean(NETSNMP_DS_LIBRARY_ID, NETSNMP_DS_LIB_DONT_READ_CONFIGS, 1);
  netsnmp_ds_set_boolean(NETSNMP_DS_LIBRARY_ID, NETSNMP_DS_LIB_DONT_PERSIST_STATE, 1);
  netsnmp_ds_set_boolean(NETSNMP_DS_LIBRARY_ID, NETSNMP_DS_LIB_DISABLE_PERSISTENT_LOAD, 1);
  netsnmp_ds_set_boolean(NETSNMP_DS_LIBRARY_ID, NETSNMP_DS_LIB_DISABLE_PERSISTENT_SAVE, 1);
  setenv("MIBS", "", 1);
  snmp_disable_log();
  init_snmp("ovw");
}

struct SessionCloser {
  void operator()(void *session) const { snmp_sess_close(session); }
};

struct PduFreer {
  void operator()(netsnmp_pdu *pdu) const { snmp_free_pdu(pdu); }
};

// Time since boot in hundredths of a second, for the trap's time stamp.
u_long uptimeTicks() {
  timespec ts{};
  clock_gettime(CLOCK_MONOTONIC, &ts);
  return static_cast<u_long>(ts.tv_sec) * 100 + static_cast<u_long>(ts.tv_nsec / 10000000);
}

}  // namespace

std::string nodeEventAddress() {
  const char *env = std::getenv("OV_EVENT_ADDRESS");
  if (env != nullptr && env[0] != '\0') return env;
  return "udp:127.0.0.1:162";
}

std::string nodeEventCommunity() {
  const char *env = std::getenv("OV_EVENT_COMMUNITY");
  if (env == nullptr || env[0] == '\0' || std::strlen(env) > 255) return "public";
  return env;
}

Status sendNodeEvent(const std::string &address, uint32_t specific, uint32_t object_id) {
  initSnmpOnce();
  netsnmp_session config;
  snmp_sess_init(&config);
  std::string peer = address;
  std::string community = nodeEventCommunity();
  config.peername = peer.data();
  config.version = SNMP_VERSION_1;
  config.community = reinterpret_cast<u_char *>(community.data());
  config.community_len = community.size();
  std::unique_ptr<void, SessionCloser> session(snmp_sess_open(&config));
  if (!session) {
    return makeError(OVW_ERR_BAD_ARG, "cannot open an SNMP session to " + address + ": " +
                                          snmp_api_errstring(snmp_errno));
  }
  std::unique_ptr<netsnmp_pdu, PduFreer> pdu(snmp_pdu_create(SNMP_MSG_TRAP));
  if (!pdu) return makeError(OVW_ERR_NOMEM, "cannot create a trap");
  pdu->enterprise = snmp_duplicate_objid(kEnterprise, std::size(kEnterprise));
  if (pdu->enterprise == nullptr) return makeError(OVW_ERR_NOMEM, "cannot create a trap");
  pdu->enterprise_length = std::size(kEnterprise);
  pdu->trap_type = SNMP_TRAP_ENTERPRISESPECIFIC;
  pdu->specific_type = static_cast<long>(specific);
  pdu->time = uptimeTicks();
  in_addr_t agent = htonl(INADDR_LOOPBACK);
  std::memcpy(pdu->agent_addr, &agent, sizeof agent);
  std::string text = std::to_string(object_id);
  if (snmp_pdu_add_variable(pdu.get(), kObjectVariable, std::size(kObjectVariable), ASN_OCTET_STR,
                            text.data(), text.size()) == nullptr) {
    return makeError(OVW_ERR_NOMEM, "cannot create a trap");
  }
  // On success the library owns and frees the PDU.
  if (snmp_sess_send(session.get(), pdu.get()) == 0) {
    return makeError(OVW_ERR_DB,
                     "cannot send the trap to " + address + ": " +
                         snmp_api_errstring(snmp_sess_session(session.get())->s_snmp_errno));
  }
  (void)pdu.release();
  return Status::Ok();
}

}  // namespace kestara::ovw
