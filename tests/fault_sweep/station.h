// station.h - what the fault sweep's stories run against: an object database prepared once
// with the `ovw` tool and copied for every run, and what `ovw list` says of it.
#ifndef KESTARA_TESTS_FAULT_SWEEP_STATION_H
#define KESTARA_TESTS_FAULT_SWEEP_STATION_H

#include <cstdint>
#include <map>
#include <string>
#include <vector>

#include "process.h"
#include "sweep.h"
#include "test_database.h"

namespace fault_sweep {

// An object database filled with `ovw` as an operator would (fields defined), then frozen
// into a copy from which every run starts. It lies in memory, as the runs' copies do.
class Database {
 public:
  // Runs `ovw ARGS` against the database being prepared, or against `path`; a failure fails
  // the test. Returns the tool's output without its last newline.
  std::string ovw(std::vector<std::string> args, const std::string &path = "") const;
  // Adds an SNMP node without node events; returns its id.
  uint32_t addNode(const std::string &host, const std::string &selection, bool flagged) const;

  // Makes the copy that runs start from (`ovw backup`); the database is not changed after.
  void freeze() const { ovw({"backup", dir_.file("frozen.db")}); }
  // A fresh copy of the frozen database in `dir`; returns its path.
  std::string copyTo(const kt::TempDir &dir) const;

 private:
  kt::TempDir dir_{kt::TempDir::InMemory{}};
  kt::TestDatabase db_{dir_.path()};
};

// What `ovw list` shows of objects and symbols.
struct Listing {
  struct Symbol {
    uint32_t id = 0;
    uint32_t object = 0;
  };
  std::map<uint32_t, bool> flags;  // every object, with its isKestaraDevice
  std::vector<Symbol> symbols;

  size_t symbolsOf(uint32_t object) const;
};
Listing list(const Database &db, const std::string &path);

}  // namespace fault_sweep

#endif  // KESTARA_TESTS_FAULT_SWEEP_STATION_H
