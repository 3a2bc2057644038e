// sweep.h - the fault sweep: a program's story run clean once to count its platform calls, then
// again with each call failed, once and from then on, until the story runs clean.
//
// The programs report their calls through the fault seam (KESTARA_FAULT_REPORT) and fail the
// Nth call of all through the rule "*" (see PlatformFault.h). Each story starts the real
// program, drives it as a user would, and returns the rules the run broke.
#ifndef KESTARA_TESTS_FAULT_SWEEP_SWEEP_H
#define KESTARA_TESTS_FAULT_SWEEP_SWEEP_H

#include <cstddef>
#include <functional>
#include <optional>
#include <string>
#include <vector>

#include "process.h"

namespace fault_sweep {

// A run's platform calls, as the fault seam's report gives them.
struct CallReport {
  struct Operation {
    std::string name;
    long first = 0;  // position of its first call among all calls, from 1
    long count = 0;
  };
  long calls = 0;
  std::vector<Operation> operations;  // in the order of their first calls

  long countOf(const std::string &name) const;
};

// The report in `path`; nothing when the file is missing or not a report.
std::optional<CallReport> readCallReport(const std::string &path);

// One call failed: the `call`th platform call of the run, once or from then on, with `code`.
struct Fault {
  long call = 0;
  bool fromThenOn = false;
  int code = 0;
  std::string rule() const;      // the KESTARA_FAULTS text
  std::string describe() const;  // "call 12 once"
};

// What a story is given for one run.
struct StoryRun {
  std::optional<Fault> fault;  // none: the clean run
  std::string reportPath;      // where the program reports its calls
  // KESTARA_FAULTS (when there is a fault) and KESTARA_FAULT_REPORT for the program.
  kt::Env env() const;
  bool clean() const { return !fault.has_value(); }
  bool fromThenOn() const { return fault && fault->fromThenOn; }
};

// The rules a run broke, one text each; empty when it ran as it should.
using Problems = std::vector<std::string>;
using Story = std::function<Problems(const StoryRun &)>;

struct SweepOptions {
  // The code of every injected failure. 3 is OVW_ERR_DB for OVw calls and OVSNMP_ERR_BAD_ARG
  // for OVsnmp calls: a local failure in both libraries, never an agent's answer.
  int code = 3;
  // At most this many calls are failed (each once and from then on). A story with more calls
  // is sampled: see callsToFail.
  size_t maxCalls = 40;
  // The first calls, always failed: start-up, where most exits are decided.
  size_t firstCalls = 12;
  // Runs made at the same time. The story must then keep each run to itself (its own
  // database, ports and files) and touch shared things only to read them.
  size_t parallel = 1;
};

// The calls to fail, in increasing order. Every call 1..calls when there are at most maxCalls;
// otherwise the first `firstCalls` calls, the first call of each operation, and calls taken at
// a fixed stride from the rest, so that at most maxCalls calls are failed in all (a few more
// when the operations' first calls alone exceed that).
std::vector<long> callsToFail(const CallReport &report, const SweepOptions &options);

// Runs the clean story (which must break no rule), then the story with each call of
// callsToFail failed once and from then on (options.parallel runs at a time). Every broken rule
// fails the current test, with the run that broke it. Prints one summary line: calls counted, calls
// failed, runs, time.
void sweep(const std::string &program, const Story &story, const SweepOptions &options = {});

// Adds to `problems` what is wrong with how a program ended: no end at all, a death by a
// signal other than `sentSignal` (the test's own stop request, when it sent one), or a
// sanitizer's report in its standard error.
void checkEnd(std::optional<int> status, const std::string &errors, std::optional<int> sentSignal,
              Problems &problems);

// Waits until the report in `path` names `operation`, or `process` ends. True in the first case.
bool waitForCall(const std::string &path, const std::string &operation, kt::Process &process);

bool contains(const std::string &text, const std::string &what);
// The last lines of a program's output, for a failure message.
std::string tail(const std::string &text, size_t lines = 12);

}  // namespace fault_sweep

#endif  // KESTARA_TESTS_FAULT_SWEEP_SWEEP_H
