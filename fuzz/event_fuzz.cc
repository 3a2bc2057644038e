// event_fuzz.cc - the node event path from datagram to probe: each input is sent as one UDP
// datagram to a real event session, where net-snmp parses it, the library filters it and
// converts it to SNMPv1 form, and the daemon's callback takes the object id out of it.
//
// The listener is replaced by a recorder of the object id. Checks: at most one object per
// datagram, and never object 0.
#include <arpa/inet.h>
#include <sys/select.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <string>

#include "OVsnmp.h"
#include "discovery.h"

namespace {

// Stands in for the listener: records what the callback names.
struct Recorder final : NodeEventSink {
  int probes = 0;
  OVwObjectId last = 0;
  bool failed = false;
  void objectNamed(OVwObjectId objectId) override {
    ++probes;
    last = objectId;
  }
  void sessionFailed() override { failed = true; }
};
Recorder g_recorder;
int g_client = -1;
uint16_t g_port = 0;

void setUp() {
  int probe = socket(AF_INET, SOCK_DGRAM, 0);
  sockaddr_in sa{};
  sa.sin_family = AF_INET;
  sa.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  socklen_t len = sizeof sa;
  if (bind(probe, reinterpret_cast<sockaddr *>(&sa), sizeof sa) != 0 ||
      getsockname(probe, reinterpret_cast<sockaddr *>(&sa), &len) != 0) {
    std::abort();
  }
  g_port = ntohs(sa.sin_port);
  close(probe);
  std::string address = "udp:127.0.0.1:" + std::to_string(g_port);
  setenv("OV_EVENT_ADDRESS", address.c_str(), 1);
  if (OVsnmpEventOpen(nullptr, "Kestara Discovery", nodeEventCallback, &g_recorder,
                      kNodeEventFilter) == 0) {
    std::abort();
  }
  g_client = socket(AF_INET, SOCK_DGRAM, 0);
}

// Runs the library over whatever has arrived, as the listener's loop does.
void drain() {
  for (int pass = 0; pass < 4; ++pass) {
    fd_set readSet;
    FD_ZERO(&readSet);
    timeval timeout{};
    int count = OVsnmpGetRetryInfo(&readSet, &timeout);
    if (count == 0) std::abort();  // the event session went away
    timeout = {0, 0};
    if (select(count, &readSet, nullptr, nullptr, &timeout) <= 0) return;
    OVsnmpRead(&readSet);
  }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
  static bool ready = (setUp(), true);
  (void)ready;
  if (size > 8192) return 0;
  g_recorder.probes = 0;
  sockaddr_in to{};
  to.sin_family = AF_INET;
  to.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  to.sin_port = htons(g_port);
  if (sendto(g_client, data, size, 0, reinterpret_cast<sockaddr *>(&to), sizeof to) < 0) return 0;
  drain();
  // Acknowledgements of informs come back to the sender: read them away.
  char ack[65536];
  while (recv(g_client, ack, sizeof ack, MSG_DONTWAIT) > 0) {
  }
  if (g_recorder.probes > 1 || (g_recorder.probes == 1 && g_recorder.last == 0)) std::abort();
  if (g_recorder.failed) std::abort();
  return 0;
}
