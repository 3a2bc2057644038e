// sweep_agents.cc - what the sweep benchmarks share.
#include "sweep_agents.h"

#include <net-snmp/net-snmp-config.h>
#include <net-snmp/net-snmp-includes.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>

namespace bench {

using namespace std::chrono_literals;

std::unique_ptr<kt::Process> startAgent(const kt::TempDir &dir,
                                        const std::vector<std::string> &hosts, uint16_t port,
                                        bool probe) {
  std::string conf = "rocommunity public default\nsysname bench-agent\n";
  if (probe) conf += "override .1.3.6.1.4.1.32473.3.1.2.3.1.1.0 octet_str \"Kestara\"\n";
  const std::string confPath = dir.write(probe ? "device.conf" : "plain.conf", conf);
  std::string endpoints;
  for (const std::string &host : hosts) {
    if (!endpoints.empty()) endpoints += ",";
    endpoints += "udp:" + host + ":" + std::to_string(port);
  }
  kt::Env env = {{"SNMPCONFPATH", dir.path()}, {"SNMP_PERSISTENT_DIR", dir.path()}, {"MIBS", ""}};
  auto agent = std::make_unique<kt::Process>(kt::Process::start(
      {"/usr/sbin/snmpd", "-f", "-Lo", "-C", "-c", confPath, "-I", "-smux", endpoints}, env));
  if (!agent->waitForOutput("NET-SNMP version", 20s) || !agent->running()) {
    std::fprintf(stderr, "snmpd did not start:\n%s\n", agent->output().c_str());
    return nullptr;
  }
  return agent;
}

bool probeDirectly(const std::string &peer) {
  static const oid probe[] = {1, 3, 6, 1, 4, 1, 32473, 3, 1, 2, 3, 1, 1, 0};
  netsnmp_session settings;
  snmp_sess_init(&settings);
  settings.peername = const_cast<char *>(peer.c_str());
  settings.version = SNMP_VERSION_2c;
  settings.community = reinterpret_cast<u_char *>(const_cast<char *>("public"));
  settings.community_len = 6;
  settings.timeout = 1000000;
  settings.retries = 0;
  void *session = snmp_sess_open(&settings);
  if (session == nullptr) return false;
  netsnmp_pdu *pdu = snmp_pdu_create(SNMP_MSG_GET);
  snmp_add_null_var(pdu, probe, OID_LENGTH(probe));
  netsnmp_pdu *response = nullptr;
  const int status = snmp_sess_synch_response(session, pdu, &response);
  if (response != nullptr) snmp_free_pdu(response);
  if (status != STAT_SUCCESS) {
    char *text = nullptr;
    snmp_sess_error(session, nullptr, nullptr, &text);
    std::fprintf(stderr, "no answer from %s: %s\n", peer.c_str(), text != nullptr ? text : "?");
    std::free(text);
  }
  snmp_sess_close(session);
  return status == STAT_SUCCESS;
}

}  // namespace bench
