// sweep.cc - the fault sweep's driver: counting, choosing the calls to fail, running, judging.
#include "sweep.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <set>
#include <sstream>
#include <thread>

namespace fault_sweep {

namespace {

using namespace std::chrono_literals;

// Statuses 129 .. 128 + kLastSignal are deaths by a signal (kt::Process::wait); 255 is exit(-1).
constexpr int kLastSignal = 64;

// Broken rules shown in full; the rest are counted.
constexpr size_t kShownProblems = 20;

// Texts that the sanitizers write when they find something.
constexpr const char *kSanitizerReports[] = {"AddressSanitizer", "LeakSanitizer",
                                             "UndefinedBehaviorSanitizer", "runtime error:"};

}  // namespace

long CallReport::countOf(const std::string &name) const {
  for (const Operation &op : operations) {
    if (op.name == name) return op.count;
  }
  return 0;
}

std::optional<CallReport> readCallReport(const std::string &path) {
  if (!std::filesystem::exists(path)) return std::nullopt;
  std::istringstream in(kt::readFile(path));
  CallReport report;
  std::string word;
  if (!(in >> word >> report.calls) || word != "calls") return std::nullopt;
  CallReport::Operation op;
  while (in >> op.name >> op.first >> op.count) report.operations.push_back(op);
  return report;
}

std::string Fault::rule() const {
  return "*:" + std::to_string(call) + ":" + std::to_string(code) + (fromThenOn ? "+" : "");
}

std::string Fault::describe() const {
  return "call " + std::to_string(call) + (fromThenOn ? " from then on" : " once");
}

kt::Env StoryRun::env() const {
  kt::Env env = {{"KESTARA_FAULT_REPORT", reportPath}};
  if (fault) env.emplace_back("KESTARA_FAULTS", fault->rule());
  return env;
}

std::vector<long> callsToFail(const CallReport &report, const SweepOptions &options) {
  const long total = report.calls;
  std::set<long> calls;
  if (total <= static_cast<long>(options.maxCalls)) {
    for (long k = 1; k <= total; ++k) calls.insert(k);
    return {calls.begin(), calls.end()};
  }
  for (long k = 1; k <= std::min(static_cast<long>(options.firstCalls), total); ++k) {
    calls.insert(k);
  }
  for (const CallReport::Operation &op : report.operations) calls.insert(op.first);
  // The rest evenly spread over the calls not chosen yet, the last call included.
  std::vector<long> rest;
  for (long k = total; k >= 1; --k) {
    if (calls.count(k) == 0) rest.push_back(k);
  }
  const size_t room = options.maxCalls > calls.size() ? options.maxCalls - calls.size() : 0;
  for (size_t i = 0; i < room && i < rest.size(); ++i) calls.insert(rest[i * rest.size() / room]);
  return {calls.begin(), calls.end()};
}

void checkEnd(std::optional<int> status, const std::string &errors, std::optional<int> sentSignal,
              Problems &problems) {
  if (!status) {
    problems.push_back("did not end");
  } else if (*status > 128 && *status <= 128 + kLastSignal &&
             (!sentSignal || *status != 128 + *sentSignal)) {
    problems.push_back("died of signal " + std::to_string(*status - 128));
  }
  for (const char *report : kSanitizerReports) {
    if (contains(errors, report)) {
      problems.push_back(std::string("sanitizer report (") + report + "):\n" + tail(errors, 30));
      break;
    }
  }
}

bool waitForCall(const std::string &path, const std::string &operation, kt::Process &process) {
  return kt::eventually(
             [&] {
               if (!process.running()) return true;
               std::optional<CallReport> report = readCallReport(path);
               return report && report->countOf(operation) > 0;
             },
             20s) &&
         process.running();
}

bool contains(const std::string &text, const std::string &what) {
  return text.find(what) != std::string::npos;
}

std::string tail(const std::string &text, size_t lines) {
  size_t at = text.size();
  for (size_t n = 0; n <= lines && at > 0; ++n) {
    size_t nl = text.rfind('\n', at - 1);
    if (nl == std::string::npos) return text;
    at = nl;
  }
  return text.substr(at == 0 ? 0 : at + 1);
}

void sweep(const std::string &program, const Story &story, const SweepOptions &options) {
  const auto start = std::chrono::steady_clock::now();
  kt::TempDir dir(kt::TempDir::InMemory{});
  size_t runs = 0;

  StoryRun clean;
  clean.reportPath = dir.file("clean.calls");
  Problems cleanProblems = story(clean);
  ++runs;
  for (const std::string &p : cleanProblems) ADD_FAILURE() << program << ", clean run: " << p;
  std::optional<CallReport> report = readCallReport(clean.reportPath);
  ASSERT_TRUE(report) << program << " wrote no report of its calls";
  ASSERT_GT(report->calls, 0) << program << " made no platform call";
  if (!cleanProblems.empty()) return;

  // Every call once and from then on; `parallel` runs at a time, each taking the next.
  const std::vector<long> calls = callsToFail(*report, options);
  std::vector<StoryRun> planned;
  for (long call : calls) {
    for (bool fromThenOn : {false, true}) {
      StoryRun run;
      run.fault = Fault{call, fromThenOn, options.code};
      run.reportPath = dir.file(std::to_string(planned.size()) + ".calls");
      planned.push_back(run);
    }
  }
  std::vector<Problems> found(planned.size());
  std::atomic<size_t> next = 0;
  auto worker = [&] {
    for (size_t i = next++; i < planned.size(); i = next++) found[i] = story(planned[i]);
  };
  {
    std::vector<std::jthread> workers;
    for (size_t w = 1; w < std::max<size_t>(options.parallel, 1); ++w) workers.emplace_back(worker);
    worker();
  }
  runs += planned.size();

  size_t shown = 0;
  size_t broken = 0;
  for (size_t i = 0; i < planned.size(); ++i) {
    for (const std::string &p : found[i]) {
      ++broken;
      if (shown++ < kShownProblems) {
        ADD_FAILURE() << program << ", " << planned[i].fault->describe()
                      << " (KESTARA_FAULTS=" << planned[i].fault->rule() << "): " << p;
      }
    }
  }
  if (broken > shown) ADD_FAILURE() << program << ": " << broken - shown << " more broken rules";

  const double seconds =
      std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
  std::printf(
      "%s: %ld platform calls in the clean run, %zu of them failed once and from then "
      "on, %zu runs in %.1f s\n",
      program.c_str(), report->calls, calls.size(), runs, seconds);
}

}  // namespace fault_sweep
