// reliability.h - what the reliability tests share: their sizes (short or full form), the
// figures they report and memory readings.
#ifndef KESTARA_TESTS_RELIABILITY_RELIABILITY_H
#define KESTARA_TESTS_RELIABILITY_RELIABILITY_H

#include <sys/types.h>

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "process.h"

namespace rel {

// True when KESTARA_RELIABILITY=full: the long form of every check.
bool fullForm();

// A size of a check: $RELIABILITY_<name> when set, else the full or the short form's value.
int64_t knob(const std::string &name, int64_t shortValue, int64_t fullValue);

// Reports one figure: a line "FIGURE name = value" on standard output, a property of the
// running test, and a line appended to $RELIABILITY_FIGURES when that names a file.
void figure(const std::string &name, const std::string &value);
void figure(const std::string &name, double value);

// Resident memory of a process in KiB (VmRSS), nothing when it can't be read.
std::optional<int64_t> rssKiB(pid_t pid);

// True when `program` (a path) was built with AddressSanitizer.
bool sanitized(const std::string &program);

}  // namespace rel

#endif  // KESTARA_TESTS_RELIABILITY_RELIABILITY_H
