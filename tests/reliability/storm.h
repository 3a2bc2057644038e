// storm.h - a datagram storm: random and mutated requests sent one after another to a UDP
// server that promises one reply of at most 128 bytes per datagram of at most 256 bytes.
#ifndef KESTARA_TESTS_RELIABILITY_STORM_H
#define KESTARA_TESTS_RELIABILITY_STORM_H

#include <chrono>
#include <cstdint>
#include <functional>
#include <random>
#include <string>
#include <vector>

#include "process.h"

namespace rel {

// Makes datagrams: wholly random bytes, structured texts of request words, and mutations of a
// corpus of valid requests. Deterministic for a seed.
class DatagramMaker {
 public:
  DatagramMaker(std::vector<std::string> corpus, uint64_t seed);
  std::string next();
  // One to four mutations of `text` (bit flips, inserted, removed and repeated bytes, '#', '.',
  // NUL, long runs, huge numbers, case changes, splices with another corpus entry).
  std::string mutate(std::string text);

 private:
  std::string randomBytes(size_t length);
  std::string structured();
  size_t below(size_t n) {
    return n == 0 ? 0 : std::uniform_int_distribution<size_t>(0, n - 1)(rng_);
  }

  std::vector<std::string> corpus_;
  std::mt19937_64 rng_;
};

struct StormResult {
  int64_t sent = 0;             // datagrams sent
  int64_t oversize = 0;         // of them longer than 256 bytes: no reply is due
  int64_t due = 0;              // replies due (datagrams of at most 256 bytes)
  int64_t replies = 0;          // replies received in step
  int64_t late = 0;             // replies received only after the storm (drained)
  int64_t missing = 0;          // datagrams whose reply did not come within the wait
  int64_t tooLong = 0;          // replies longer than 128 bytes
  int64_t withNul = 0;          // replies holding a NUL byte
  double maxRatio = 0;          // largest reply bytes / request bytes (requests of >= 1 byte)
  std::string maxRatioRequest;  // the request and reply of that ratio
  std::string maxRatioReply;
  double seconds = 0;
};

// Sends `count` datagrams to 127.0.0.1:`port`, each from one of `clients` (chosen at random),
// waiting up to `wait` for each reply before the next; stops early when `alive` says the
// server has gone. Afterwards waits `drain` for replies still on their way.
StormResult runStorm(DatagramMaker &maker, std::vector<kt::UdpClient *> clients, uint16_t port,
                     int64_t count, std::chrono::milliseconds wait, std::chrono::milliseconds drain,
                     const std::function<bool()> &alive);

// A datagram as a C-like literal for messages (non-printable bytes as \xNN).
std::string printable(const std::string &bytes, size_t limit = 80);

}  // namespace rel

#endif  // KESTARA_TESTS_RELIABILITY_STORM_H
