// in_process_database.h - test support: a test's object database opened in the test process
// itself, for tests that call the platform library or the programs' shared code directly. Header
// only: tests that include it link the platform library themselves.
#ifndef KESTARA_TESTS_SUPPORT_IN_PROCESS_DATABASE_H
#define KESTARA_TESTS_SUPPORT_IN_PROCESS_DATABASE_H

#include <stdlib.h>

#include <optional>

#include "OVw.h"
#include "process.h"

namespace kt {

// Opened (OVwDbInit) for the life of the object and closed (OVwDbDone) after it.
class InProcessDatabase {
 public:
  // Sets this process's environment to `env` (a station's or a database's: OVW_DATABASE names
  // the database), then opens it.
  explicit InProcessDatabase(const Env &env) {
    for (const auto &[name, value] : env) setenv(name.c_str(), value.c_str(), 1);
    open_ = OVwDbInit() >= 0;
    if (open_) field_ = OVwDbFieldNameToFieldId("isKestaraDevice");
  }
  ~InProcessDatabase() {
    if (open_) OVwDbDone();
  }
  InProcessDatabase(const InProcessDatabase &) = delete;
  InProcessDatabase &operator=(const InProcessDatabase &) = delete;

  // True when it is open and isKestaraDevice is defined.
  bool ok() const { return open_ && field_ != 0; }
  OVwFieldId field() const { return field_; }
  // A node's isKestaraDevice; nothing when it can't be read.
  std::optional<bool> flag(OVwObjectId object) const {
    const int value = ok() ? OVwDbGetFieldBooleanValue(object, field_) : -1;
    return value < 0 ? std::nullopt : std::optional<bool>(value > 0);
  }
  bool setFlag(OVwObjectId object, bool value) const {
    return ok() && OVwDbSetFieldBooleanValue(object, field_, value ? 1 : 0) >= 0;
  }

 private:
  bool open_ = false;
  OVwFieldId field_ = 0;
};

}  // namespace kt

#endif  // KESTARA_TESTS_SUPPORT_IN_PROCESS_DATABASE_H
