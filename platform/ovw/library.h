// library.h - what the OVw library keeps for its process (the open store, the attachment to a
// session, the last error), the checks its calls share, and the one conversion of an inner
// result to the C convention of the entry points.
#ifndef KESTARA_PLATFORM_OVW_LIBRARY_H
#define KESTARA_PLATFORM_OVW_LIBRARY_H

#include <map>
#include <memory>
#include <new>
#include <optional>
#include <string>
#include <utility>

#include "OVw.h"
#include "result.h"
#include "store_backend.h"

namespace kestara::ovw::library {

struct Handler {
  OVwCallbackProc proc = nullptr;
  void *client_data = nullptr;
  bool filtered = false;
  Filter filter;
};

struct Library {
  // A process that ends without OVwDone leaves its session here.
  ~Library();

  std::unique_ptr<StoreBackend> store;
  // Attachment to a session.
  bool attached = false;
  Attachment attachment;
  std::string application;
  std::unique_ptr<WakeSource> wake;
  std::map<int, Handler> handlers;
  int64_t taken_event = 0;  // taken by OVwGetMessage and not yet dispatched
  // Last failure.
  int error = OVW_ERR_NONE;
  std::string detail;
  // Texts returned by the functions of the same name.
  std::string error_text;
  std::string selection_name_text;
  std::string hostname_text;
};

Library &lib();

// Records a failure for OVwError and OVwErrorMsg.
void fail(const Error &e) noexcept;

// The fault-injection seam: an Error when the call named `call` is to fail.
Status checkFault(const char *call);

// --- Preconditions the calls share ---

// The open store; OVW_ERR_NO_DATABASE before OVwDbInit or _OVwInitSession.
Result<StoreBackend *> database();
// Attached to a session, with the store open.
Status requireSession();
// The attached session, running.
Result<SessionRow> currentSession();
// The attached session, when `map` is the map open in it.
Result<SessionRow> openMapSession(const OVwMapInfo *map);
// A caller's field-value list as a filter. Boolean terms ask for true (value non-zero) or false;
// integer and enumeration terms for equality; text terms are not supported. Null: no terms.
Result<Filter> toFilter(const OVwFieldBindList *list);

// Leaves the attached session (nothing when not attached).
void detach();

// The text of OVwErrorMsg for `code`, with the last failure's detail when it is that code.
std::string errorMessage(int code);

// --- The C convention ---

// Turns an inner result into what a C caller gets: the value on success; on failure the error is
// recorded and the failure value chosen by `failure(error)` is returned.
template <typename T, typename Failure>
T toC(Result<T> result, Failure &&failure) noexcept {
  if (result.ok()) return std::move(result.value());
  fail(result.error());
  return failure(result.error());
}

// A Status is 0 on success.
template <typename Failure>
int toC(const Status &status, Failure &&failure) noexcept {
  if (status.ok()) return 0;
  fail(status.error());
  return failure(status.error());
}

// Runs an entry point's inner body (which returns a Result or a Status) and converts its outcome
// with toC(). C callers never see an exception: running out of memory and anything unexpected
// are failures too.
template <typename T, typename Failure, typename Body>
T runC(Failure &&failure, Body &&body) noexcept {
  try {
    return toC(body(), failure);
  } catch (const std::bad_alloc &) {
    return toC(Result<T>(makeError(OVW_ERR_NOMEM, "out of memory")), failure);
  } catch (...) {
    return toC(Result<T>(makeError(OVW_ERR_DB, "unexpected internal failure")), failure);
  }
}

// An entry point: the fault-injection seam is asked first (under the entry point's own name),
// then the body runs as runC() runs it. An injected failure gives `on_injected`; a failure of the
// body gives `failure(error)`.
template <typename T, typename Failure, typename Body>
T entry(const char *name, T on_injected, Failure &&failure, Body &&body) noexcept {
  bool injected = false;
  return runC<T>([&](const Error &e) { return injected ? on_injected : failure(e); },
                 [&]() -> decltype(body()) {
                   if (Status fault = checkFault(name); !fault) {
                     injected = true;
                     return fault.error();
                   }
                   return body();
                 });
}

// An entry point whose every failure gives `failure`.
template <typename T, typename Body>
T entry(const char *name, T failure, Body &&body) noexcept {
  return entry(
      name, failure, [failure](const Error &) { return failure; }, body);
}

// An entry point that the fault-injection seam does not count.
template <typename T, typename Body>
T entryUnchecked(T failure, Body &&body) noexcept {
  return runC<T>([failure](const Error &) { return failure; }, std::forward<Body>(body));
}

}  // namespace kestara::ovw::library

#endif  // KESTARA_PLATFORM_OVW_LIBRARY_H
