// fake_ovsnmp.h - an OVsnmp stand-in for fuzzing: responses come from the fuzzer's bytes.
#ifndef KESTARA_FUZZ_FAKE_OVSNMP_H
#define KESTARA_FUZZ_FAKE_OVSNMP_H

#include <cstddef>
#include <cstdint>
#include <span>

// Sets the bytes from which the following blocking sends build their outcome.
void fakeSnmpScript(std::span<const uint8_t> bytes);

// PDUs created and not yet freed; must be 0 between requests.
long fakeSnmpLivePdus();

// Completes the oldest asynchronous request in flight with an outcome from the script, as the
// library's event loop would; false when none is in flight.
bool fakeSnmpCompleteOne();
size_t fakeSnmpOutstanding();

#endif
