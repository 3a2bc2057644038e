// sessions.cc - the object database and map sessions of the OVw library.
#include "sessions.h"

#include <unistd.h>

#include <memory>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "handles.h"
#include "library.h"
#include "store_backend.h"

namespace kestara::ovw::library {

namespace {

std::string localSessionName() {
  char host[256] = {};
  if (gethostname(host, sizeof host - 1) != 0 || host[0] == '\0') return "localhost:0";
  return std::string(host) + ":0";
}

}  // namespace

Status openDatabase() {
  Library &l = lib();
  if (l.store) return Status::Ok();
  OVW_TRY_ASSIGN(l.store, openStore(databasePath()));
  return Status::Ok();
}

void closeDatabase() {
  detach();
  lib().store.reset();
}

Status initSession(int version, const char *application, const char *session_name) {
  Library &l = lib();
  if (version != 5) {
    return makeError(OVW_ERR_BAD_ARG, "unsupported interface version " + std::to_string(version));
  }
  if (application == nullptr || application[0] == '\0') {
    return makeError(OVW_ERR_BAD_ARG, "no application name");
  }
  if (l.attached) {
    return makeError(OVW_ERR_BAD_ARG,
                     "already attached to session \"" + l.attachment.session_name + "\"");
  }
  std::string name = session_name != nullptr ? session_name : localSessionName();
  // Opening the store counts as the OVwDbInit call it stands for.
  OVW_TRY(checkFault("OVwDbInit"));
  OVW_TRY(openDatabase());
  (void)l.store->reclaimDeadAttachments();
  OVW_TRY_ASSIGN(std::unique_ptr<WakeSource> wake, l.store->wakeSource());
  // On failure the wake-up end (a FIFO) goes with `wake`.
  OVW_TRY_ASSIGN(Attachment a,
                 l.store->attach(name, application, wake->token(), static_cast<int64_t>(getpid())));
  l.attached = true;
  l.attachment = std::move(a);
  l.application = application;
  l.wake = std::move(wake);
  l.taken_event = 0;
  return Status::Ok();
}

Result<const char *> sessionId() {
  Library &l = lib();
  if (!l.attached) return nullptr;
  // An attachment to a session that has ended is no attachment: leave it, so that the caller
  // can attach to the session that runs now.
  Result<std::optional<SessionRow>> s = l.store->sessionById(l.attachment.session_id);
  if (s && (!*s || !(*s)->running)) {
    detach();
    return nullptr;
  }
  return l.attachment.session_name.c_str();
}

Result<OVwObjectIdList *> selections(OVwMapInfo *map, const char *reserved) {
  if (reserved != nullptr) return makeError(OVW_ERR_BAD_ARG, "the second argument must be null");
  OVW_TRY_ASSIGN(SessionRow s, openMapSession(map));
  OVW_TRY_ASSIGN(std::vector<uint32_t> ids, lib().store->selection(s.id));
  return idList(ids);
}

}  // namespace kestara::ovw::library
