// ovw_error.cc - the one-line report of a failed OVw call.
#include "ovw_error.h"

#include <cstdio>

#include "OVw.h"

void printOVwError(const char *callName) {
  int code = OVwError();
  std::printf("%s failed, error %d, %s\n", callName != nullptr ? callName : "(null)", code,
              OVwErrorMsg(code));
}
