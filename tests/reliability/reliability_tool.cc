// reliability_tool.cc - the reliability checks' tools by hand, for reproducing a finding.
//
//   reliability_tool storm PORT COUNT [SEED]    random and mutated datagrams to 127.0.0.1:PORT,
//                                               one at a time, and the reply counts
//   reliability_tool agent ACT [SECONDS]        a scripted agent on 127.0.0.1 (its port is
//                                               printed) answering every request with ACT:
//                                               answer silent late wrongid truncated overlength
//                                               hugelength error duplicate nobinding exception
//   reliability_tool flood PORT RATE SECONDS    node events for objects that don't exist, at
//                                               RATE a second, to 127.0.0.1:PORT
//
// Everything goes to loopback only, and every command ends by itself. Run a storm and the server
// it aims at inside a network namespace of their own (`unshare -n`, then `ip link set lo up`):
// mutated node names make the gateway look names up, and such look-ups must not leave it.
#include <cstdio>
#include <cstdlib>
#include <map>
#include <string>
#include <thread>

#include "scripted_agent.h"
#include "storm.h"
#include "trap_sender.h"

namespace {

int usage() {
  std::fprintf(stderr,
               "usage: reliability_tool storm PORT COUNT [SEED]\n"
               "       reliability_tool agent ACT [SECONDS]\n"
               "       reliability_tool flood PORT RATE SECONDS\n");
  return 2;
}

int storm(int argc, char **argv) {
  if (argc < 4) return usage();
  auto port = static_cast<uint16_t>(std::atoi(argv[2]));
  int64_t count = std::atoll(argv[3]);
  uint64_t seed = argc > 4 ? std::strtoull(argv[4], nullptr, 10) : 1;
  rel::DatagramMaker maker(
      {"openSnmpSession#127.0.0.1:161", "getSnmpData#1#1.3.6.1.2.1.1.5.0",
       "getIpAddress#1#1.3.6.1.2.1.2.2.1.6.1", "closeSession#1", "getHostName", "hello#there", ""},
      seed);
  kt::UdpClient client("127.0.0.1");
  rel::StormResult r = rel::runStorm(maker, {&client}, port, count, std::chrono::seconds(12),
                                     std::chrono::milliseconds(500), [] { return true; });
  std::printf(
      "sent %lld (over 256 bytes: %lld), replies due %lld, in step %lld, late %lld, "
      "missing %lld, over 128 bytes %lld, with NUL %lld, largest ratio %.3g (%s -> %s), "
      "%.1f s\n",
      static_cast<long long>(r.sent), static_cast<long long>(r.oversize),
      static_cast<long long>(r.due), static_cast<long long>(r.replies),
      static_cast<long long>(r.late), static_cast<long long>(r.missing),
      static_cast<long long>(r.tooLong), static_cast<long long>(r.withNul), r.maxRatio,
      rel::printable(r.maxRatioRequest).c_str(), rel::printable(r.maxRatioReply).c_str(),
      r.seconds);
  return r.due == r.replies + r.late && r.tooLong == 0 && r.withNul == 0 ? 0 : 1;
}

int agent(int argc, char **argv) {
  if (argc < 3) return usage();
  const std::map<std::string, kt::Act> acts = {{"answer", kt::Act::kAnswer},
                                               {"silent", kt::Act::kSilent},
                                               {"late", kt::Act::kLate},
                                               {"wrongid", kt::Act::kWrongId},
                                               {"truncated", kt::Act::kTruncated},
                                               {"overlength", kt::Act::kOverLength},
                                               {"hugelength", kt::Act::kHugeLength},
                                               {"error", kt::Act::kErrorStatus},
                                               {"duplicate", kt::Act::kDuplicate},
                                               {"nobinding", kt::Act::kNoBinding},
                                               {"exception", kt::Act::kException}};
  auto it = acts.find(argv[2]);
  if (it == acts.end()) return usage();
  kt::Step step;
  step.act = it->second;
  if (step.act == kt::Act::kLate) step.delay = std::chrono::seconds(5);
  if (step.act == kt::Act::kErrorStatus) {
    step.errorStatus = 2;
    step.errorIndex = 1;
  }
  if (step.act == kt::Act::kException) step.valueTag = 0x80;
  int seconds = argc > 3 ? std::atoi(argv[3]) : 60;
  kt::ScriptedAgent a({}, step);
  if (!a.ok()) return 1;
  std::printf("%s\n", a.peer().c_str());
  std::fflush(stdout);
  std::this_thread::sleep_for(std::chrono::seconds(seconds));
  std::printf("requests: %d\n", a.requests());
  return 0;
}

int flood(int argc, char **argv) {
  if (argc < 5) return usage();
  auto port = static_cast<uint16_t>(std::atoi(argv[2]));
  std::vector<rel::Datagram> events;
  for (uint32_t k = 0; k < 16; ++k) events.push_back(rel::nodeEvent(1000000 + k, k % 2 == 1));
  rel::FloodResult r =
      rel::flood(events, port, std::atoll(argv[3]), std::chrono::seconds(std::atoll(argv[4])));
  std::printf("sent %lld (refused %lld) in %.1f s\n", static_cast<long long>(r.sent),
              static_cast<long long>(r.failed), r.seconds);
  return 0;
}

}  // namespace

int main(int argc, char **argv) {
  if (argc < 2) return usage();
  std::string command = argv[1];
  if (command == "storm") return storm(argc, argv);
  if (command == "agent") return agent(argc, argv);
  if (command == "flood") return flood(argc, argv);
  return usage();
}
