// snmpv3_bench.cc - "getSnmpData" through tavrin over SNMPv3 authPriv (SHA-256, AES-128) against
// the same request over SNMPv2c, to the same snmpd, with the baselines measured in the same run:
//   (a) tavrin, SNMPv2c              (b) tavrin, authPriv
//   (c) net-snmp alone, SNMPv2c      (d) net-snmp alone, authPriv (a synchronous get each)
//   (e) the cryptography alone: what one request and its answer cost in HMAC-SHA-256 and AES-128
//       on both sides (four digests, four ciphers), with net-snmp's own functions.
// The four latencies are measured one request at a time, in short blocks that take turns, so
// that the load of a shared machine falls on all four alike. Printed: b/a (target <= 1.3), its
// floors (a+e)/a (the cryptography alone) and d/c (net-snmp's own SNMPv3 against its SNMPv2c),
// and tavrin's CPU time per request in each version.
//
//   snmpv3_bench [blocks]      (default 250 blocks of 20 requests of each kind)
#include <net-snmp/net-snmp-config.h>
#include <net-snmp/net-snmp-includes.h>

#include <algorithm>
#include <array>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <memory>
#include <string>
#include <vector>

#include "measure.h"
#include "process.h"
#include "snmp_agent.h"

namespace {

using Clock = std::chrono::steady_clock;
using namespace std::chrono_literals;
using bench::cpuNs;
using bench::percentile;

constexpr uint16_t kGatewayPort = 8088;
constexpr const char *kSysName = "1.3.6.1.2.1.1.5.0";
constexpr const char *kSysNameValue = "kestara-test-agent";
constexpr u_int kMacLength = 24;  // HMAC-192-SHA-256: the digest's first 24 bytes
const kt::V3User kUser{.name = "bench",
                       .authType = "SHA-256",
                       .authPass = "bench-auth-pass",
                       .privType = "AES",
                       .privPass = "bench-priv-pass"};

// `n` requests one after the other through the gateway; the latencies in microseconds.
bool gatewayRound(kt::UdpClient &client, const std::string &request, int n,
                  std::vector<double> &latencies) {
  for (int i = 0; i < n; ++i) {
    const auto start = Clock::now();
    auto reply = client.request("127.0.0.1", kGatewayPort, request, 5s);
    if (!reply || *reply != kSysNameValue) {
      std::fprintf(stderr, "unexpected reply: %s\n", reply ? reply->c_str() : "(none)");
      return false;
    }
    latencies.push_back(std::chrono::duration<double, std::micro>(Clock::now() - start).count());
  }
  return true;
}

struct SessionCloser {
  void operator()(void *session) const { snmp_sess_close(session); }
};
using Session = std::unique_ptr<void, SessionCloser>;

// A net-snmp session of its own to `peer`: SNMPv2c, or authPriv as kUser.
Session directSession(const std::string &peer, bool v3) {
  netsnmp_session settings;
  snmp_sess_init(&settings);
  std::string name = peer;
  settings.peername = name.data();
  settings.timeout = 2000000;
  settings.retries = 0;
  std::string community = "public";
  std::string user = kUser.name;
  if (!v3) {
    settings.version = SNMP_VERSION_2c;
    settings.community = reinterpret_cast<u_char *>(community.data());
    settings.community_len = community.size();
  } else {
    settings.version = SNMP_VERSION_3;
    settings.securityModel = SNMP_SEC_MODEL_USM;
    settings.securityName = user.data();
    settings.securityNameLen = user.size();
    settings.securityLevel = SNMP_SEC_LEVEL_AUTHPRIV;
    settings.securityAuthProto = usmHMAC192SHA256AuthProtocol;
    settings.securityAuthProtoLen = OID_LENGTH(usmHMAC192SHA256AuthProtocol);
    settings.securityAuthKeyLen = USM_AUTH_KU_LEN;
    settings.securityPrivProto = usmAESPrivProtocol;
    settings.securityPrivProtoLen = OID_LENGTH(usmAESPrivProtocol);
    settings.securityPrivKeyLen = USM_PRIV_KU_LEN;
    const auto *auth = reinterpret_cast<const u_char *>(kUser.authPass.c_str());
    const auto *priv = reinterpret_cast<const u_char *>(kUser.privPass.c_str());
    if (generate_Ku(settings.securityAuthProto, settings.securityAuthProtoLen, auth,
                    kUser.authPass.size(), settings.securityAuthKey,
                    &settings.securityAuthKeyLen) != SNMPERR_SUCCESS ||
        generate_Ku(settings.securityAuthProto, settings.securityAuthProtoLen, priv,
                    kUser.privPass.size(), settings.securityPrivKey,
                    &settings.securityPrivKeyLen) != SNMPERR_SUCCESS) {
      return nullptr;
    }
  }
  return Session(snmp_sess_open(&settings));
}

// `n` synchronous gets of sysName.0 on a direct session; the latencies in microseconds.
bool directRound(void *session, int n, std::vector<double> &latencies) {
  static const oid name[] = {1, 3, 6, 1, 2, 1, 1, 5, 0};
  for (int i = 0; i < n; ++i) {
    netsnmp_pdu *request = snmp_pdu_create(SNMP_MSG_GET);
    snmp_add_null_var(request, name, OID_LENGTH(name));
    netsnmp_pdu *response = nullptr;
    const auto start = Clock::now();
    const int status = snmp_sess_synch_response(session, request, &response);
    const double us = std::chrono::duration<double, std::micro>(Clock::now() - start).count();
    const bool ok = status == STAT_SUCCESS && response != nullptr &&
                    response->errstat == SNMP_ERR_NOERROR && response->variables != nullptr &&
                    response->variables->type == ASN_OCTET_STR;
    if (response != nullptr) snmp_free_pdu(response);
    if (!ok) {
      std::fprintf(stderr, "direct get failed (status %d)\n", status);
      return false;
    }
    latencies.push_back(us);
  }
  return true;
}

// (e) The cryptography of one request and its answer, both sides: a digest made and checked
// and a scoped PDU encrypted and decrypted, each way. Sizes as on the wire (about 150-byte
// messages, 60- and 80-byte scoped PDUs). Microseconds per request, the median of `n`.
double cryptoCost(int n) {
  std::array<u_char, 32> authKey{}, privKey{};
  for (size_t i = 0; i < authKey.size(); ++i) {
    authKey[i] = static_cast<u_char>(i * 7 + 1);
    privKey[i] = static_cast<u_char>(i * 13 + 5);
  }
  std::array<u_char, 160> message{};
  std::array<u_char, 96> plain{}, cipher{}, back{};
  std::vector<double> samples;
  for (int r = 0; r < n; ++r) {
    const auto start = Clock::now();
    for (size_t side = 0; side < 2; ++side) {
      for (u_int pduLength : {60u, 80u}) {
        std::array<u_char, 64> mac{};
        size_t macLength = mac.size();
        if (sc_generate_keyed_hash(usmHMAC192SHA256AuthProtocol,
                                   OID_LENGTH(usmHMAC192SHA256AuthProtocol), authKey.data(), 32,
                                   message.data(), 150, mac.data(), &macLength) != 0 ||
            sc_check_keyed_hash(usmHMAC192SHA256AuthProtocol,
                                OID_LENGTH(usmHMAC192SHA256AuthProtocol), authKey.data(), 32,
                                message.data(), 150, mac.data(), kMacLength) != 0) {
          return -1;
        }
        std::array<u_char, 16> iv{};
        size_t cipherLength = cipher.size();
        size_t plainLength = back.size();
        if (sc_encrypt(usmAESPrivProtocol, OID_LENGTH(usmAESPrivProtocol), privKey.data(), 16,
                       iv.data(), 16, plain.data(), pduLength, cipher.data(), &cipherLength) != 0 ||
            sc_decrypt(usmAESPrivProtocol, OID_LENGTH(usmAESPrivProtocol), privKey.data(), 16,
                       iv.data(), 16, cipher.data(), static_cast<u_int>(cipherLength), back.data(),
                       &plainLength) != 0) {
          return -1;
        }
      }
    }
    samples.push_back(std::chrono::duration<double, std::micro>(Clock::now() - start).count());
  }
  return percentile(samples, 0.5);
}

}  // namespace

int main(int argc, char **argv) {
  const int rounds = std::max(2, argc > 1 ? std::atoi(argv[1]) : 250);
  const int perRound = 20;
  if (!kt::isolateNetwork()) {
    std::fprintf(stderr, "note: no network namespace; port 8088 must be free\n");
  }
  kt::AgentOptions options;
  options.extra_config = kt::agentUserLines(kUser);
  auto agent = kt::SnmpAgent::start(options);
  if (!agent) return 1;

  // The station's configuration: SNMPv2c by default; "localhost" is the agent over authPriv.
  kt::TempDir conf;
  kt::writeClientConfig(conf, "2c", 3.0, 0);
  kt::writeHostConfig(conf, "localhost", agent->peer(), kt::clientUserLines(kUser));
  auto env = kt::clientEnv(conf);
  for (const auto &[k, v] : env) setenv(k.c_str(), v.c_str(), 1);
  env.push_back(kt::kAnyAgent);
  auto tavrin = kt::Process::start({kt::binPath("tavrin")}, env);
  if (!tavrin.waitForOutput("Will wait on select", 10s)) {
    std::fprintf(stderr, "tavrin did not start\n");
    return 1;
  }
  // The direct sessions' library stays quiet (without a handler it writes to standard error).
  snmp_disable_log();
  netsnmp_register_loghandler(NETSNMP_LOGHANDLER_NONE, LOG_DEBUG);
  netsnmp_ds_set_boolean(NETSNMP_DS_LIBRARY_ID, NETSNMP_DS_LIB_DISABLE_PERSISTENT_LOAD, 1);
  netsnmp_ds_set_boolean(NETSNMP_DS_LIBRARY_ID, NETSNMP_DS_LIB_DISABLE_PERSISTENT_SAVE, 1);
  init_snmp("snmpv3_bench");

  kt::UdpClient client("127.0.0.1");
  auto open = [&](const std::string &node) {
    auto reply = client.request("127.0.0.1", kGatewayPort, "openSnmpSession#" + node, 5s);
    if (!reply || reply->empty() || reply->find("failed") == 0) {
      std::fprintf(stderr, "no session to %s\n", node.c_str());
      std::exit(1);
    }
    return "getSnmpData#" + *reply + "#" + kSysName;
  };
  const std::string v2cGet = open(agent->peer());
  const std::string v3Get = open("localhost");
  Session directV2c = directSession(agent->peer(), false);
  Session directV3 = directSession(agent->peer(), true);
  if (!directV2c || !directV3) {
    std::fprintf(stderr, "no direct session\n");
    return 1;
  }

  std::vector<double> a, b, c, d;
  int64_t cpuV2c = 0, cpuV3 = 0;
  // A warm-up of each first (the SNMPv3 sessions discover the engine ID here).
  if (!gatewayRound(client, v2cGet, 50, a) || !gatewayRound(client, v3Get, 50, b) ||
      !directRound(directV2c.get(), 50, c) || !directRound(directV3.get(), 50, d)) {
    std::fprintf(stderr, "tavrin's output:\n%s\n", tavrin.output().c_str());
    return 1;
  }
  a.clear();
  b.clear();
  c.clear();
  d.clear();
  for (int r = 0; r < rounds; ++r) {
    int64_t before = cpuNs(tavrin.pid());
    if (!gatewayRound(client, v2cGet, perRound, a)) return 1;
    cpuV2c += cpuNs(tavrin.pid()) - before;
    before = cpuNs(tavrin.pid());
    if (!gatewayRound(client, v3Get, perRound, b)) return 1;
    cpuV3 += cpuNs(tavrin.pid()) - before;
    if (!directRound(directV2c.get(), perRound, c) || !directRound(directV3.get(), perRound, d)) {
      return 1;
    }
  }
  const double crypto = cryptoCost(rounds * perRound);
  if (crypto < 0) {
    std::fprintf(stderr, "the cryptography could not be measured\n");
    return 1;
  }
  const double n = static_cast<double>(rounds) * perRound;
  const double ma = percentile(a, 0.5), mb = percentile(b, 0.5);
  const double mc = percentile(c, 0.5), md = percentile(d, 0.5);
  std::printf("getSnmpData of sysName.0, one request at a time, %d blocks of %d, taking turns\n",
              rounds, perRound);
  std::printf("  (a) tavrin, SNMPv2c            median %7.1f us  p99 %7.1f us  cpu %5.1f us\n", ma,
              percentile(a, 0.99), static_cast<double>(cpuV2c) / n / 1000);
  std::printf("  (b) tavrin, authPriv           median %7.1f us  p99 %7.1f us  cpu %5.1f us\n", mb,
              percentile(b, 0.99), static_cast<double>(cpuV3) / n / 1000);
  std::printf("  (c) net-snmp alone, SNMPv2c    median %7.1f us  p99 %7.1f us\n", mc,
              percentile(c, 0.99));
  std::printf("  (d) net-snmp alone, authPriv   median %7.1f us  p99 %7.1f us\n", md,
              percentile(d, 0.99));
  std::printf("  (e) HMAC-SHA-256 and AES-128 of one request and its answer, both sides: %.1f us\n",
              crypto);
  std::printf("  b/a      %.3f   (target <= 1.3)\n", mb / ma);
  std::printf("  floors   (a+e)/a %.3f (the cryptography alone), d/c %.3f (net-snmp's own)\n",
              (ma + crypto) / ma, md / mc);
  std::printf("  tavrin's cost of SNMPv3: b-a %.1f us, net-snmp's: d-c %.1f us\n", mb - ma,
              md - mc);
  return 0;
}
