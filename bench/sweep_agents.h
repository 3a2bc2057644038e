// sweep_agents.h - what the sweep benchmarks share: snmpds answering on many loopback addresses,
// and net-snmp's own probe of one node, the baseline the sweep is compared with.
#ifndef KESTARA_BENCH_SWEEP_AGENTS_H
#define KESTARA_BENCH_SWEEP_AGENTS_H

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "process.h"

namespace bench {

// One snmpd answering on every address of `hosts` at `port`; with `probe`, a Kestara device
// (it holds the probe variable). Nothing when it did not start.
std::unique_ptr<kt::Process> startAgent(const kt::TempDir &dir,
                                        const std::vector<std::string> &hosts, uint16_t port,
                                        bool probe);

// net-snmp alone, as the sweep probes a node: open a session to `peer` (SNMPv2c, community
// public, time-out 1 s, no retries), get the probe variable, close. False when the node did
// not answer; the reason is printed on standard error.
bool probeDirectly(const std::string &peer);

}  // namespace bench

#endif  // KESTARA_BENCH_SWEEP_AGENTS_H
