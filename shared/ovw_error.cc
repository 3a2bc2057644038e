// ovw_error.cc - the one-line report of a failed OVw call.
#include "ovw_error.h"

#include <cstdio>

#include "OVw.h"
#include "log_text.h"

void printOVwError(const char *callName) {
  int code = OVwError();
  // The library's text may name objects of the database.
  std::printf("%s failed, error %d, %s\n", callName != nullptr ? callName : "(null)", code,
              LogText(OVwErrorMsg(code)).c_str());
}
