// ovw_error.h - the one-line report of a failed OVw call.
#ifndef KESTARA_SHARED_OVW_ERROR_H
#define KESTARA_SHARED_OVW_ERROR_H

// Reads OVwError() once and prints "%s failed, error %d, %s\n" with `callName`, the code and
// OVwErrorMsg(code) on standard output.
void printOVwError(const char *callName);

#endif  // KESTARA_SHARED_OVW_ERROR_H
