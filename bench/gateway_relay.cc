// gateway_relay.cc - the baseline of the gateway benchmark: the least a relay from a UDP
// request to an SNMP get can do. It receives a datagram "getSnmpData#<anything>#<dotted oid>",
// makes one synchronous net-snmp get of that variable from the agent on its command line, and
// replies with the value's text (an OCTET STRING's bytes, or "No Response"/"No Such Object").
// One request at a time, in a process of its own.
//
//   gateway_relay PORT AGENT       prints "ready" on standard output once it listens
#include <arpa/inet.h>
#include <net-snmp/net-snmp-config.h>
#include <net-snmp/net-snmp-includes.h>
#include <sys/socket.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <string_view>

int main(int argc, char **argv) {
  if (argc != 3) {
    std::fprintf(stderr, "usage: gateway_relay PORT AGENT\n");
    return 2;
  }
  netsnmp_ds_set_boolean(NETSNMP_DS_LIBRARY_ID, NETSNMP_DS_LIB_DISABLE_PERSISTENT_LOAD, 1);
  netsnmp_ds_set_boolean(NETSNMP_DS_LIBRARY_ID, NETSNMP_DS_LIB_DISABLE_PERSISTENT_SAVE, 1);
  init_snmp("gateway_relay");
  netsnmp_session settings;
  snmp_sess_init(&settings);
  std::string peer = argv[2];
  settings.peername = peer.data();
  settings.version = SNMP_VERSION_2c;
  settings.community = reinterpret_cast<u_char *>(const_cast<char *>("public"));
  settings.community_len = 6;
  void *session = snmp_sess_open(&settings);
  if (session == nullptr) return 1;

  int fd = socket(AF_INET, SOCK_DGRAM, 0);
  sockaddr_in local{};
  local.sin_family = AF_INET;
  local.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  local.sin_port = htons(static_cast<uint16_t>(std::atoi(argv[1])));
  if (fd < 0 || bind(fd, reinterpret_cast<sockaddr *>(&local), sizeof local) != 0) return 1;
  std::printf("ready\n");
  std::fflush(stdout);

  char request[256];
  char reply[128];
  for (;;) {
    sockaddr_in from{};
    socklen_t length = sizeof from;
    ssize_t n =
        recvfrom(fd, request, sizeof request, 0, reinterpret_cast<sockaddr *>(&from), &length);
    if (n < 0) continue;
    std::string_view text(request, static_cast<size_t>(n));
    const size_t dotted = text.rfind('#');
    oid name[MAX_OID_LEN];
    size_t count = 0;
    for (size_t at = dotted + 1; at < text.size() && count < MAX_OID_LEN;) {
      name[count++] = std::strtoul(text.data() + at, nullptr, 10);
      const size_t dot = text.find('.', at);
      at = dot == std::string_view::npos ? text.size() : dot + 1;
    }
    size_t replyLength = 0;
    netsnmp_pdu *pdu = snmp_pdu_create(SNMP_MSG_GET);
    snmp_add_null_var(pdu, name, count);
    netsnmp_pdu *response = nullptr;
    const int status = snmp_sess_synch_response(session, pdu, &response);
    if (status == STAT_SUCCESS && response != nullptr && response->errstat == 0 &&
        response->variables != nullptr && response->variables->type == ASN_OCTET_STR) {
      replyLength = std::min(response->variables->val_len, sizeof reply - 1);
      std::memcpy(reply, response->variables->val.string, replyLength);
    } else {
      const char *text = status == STAT_TIMEOUT ? "No Response" : "No Such Object";
      replyLength = std::strlen(text);
      std::memcpy(reply, text, replyLength);
    }
    if (response != nullptr) snmp_free_pdu(response);
    (void)sendto(fd, reply, replyLength, 0, reinterpret_cast<sockaddr *>(&from), length);
  }
}
