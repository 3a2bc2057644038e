// library.cc - the OVw library's state for its process, its shared checks and its error texts.
#include "library.h"

#include "PlatformFault.h"

namespace kestara::ovw::library {

namespace {

const char *baseMessage(int code) {
  switch (code) {
    case OVW_ERR_NONE:
      return "no error";
    case OVW_ERR_NO_SESSION:
      return "no map session";
    case OVW_ERR_NO_DATABASE:
      return "object database unavailable";
    case OVW_ERR_DB:
      return "object database operation failed";
    case OVW_ERR_NO_MAP:
      return "no map open";
    case OVW_ERR_NOT_FOUND:
      return "no such object, symbol, submap or field";
    case OVW_ERR_BAD_ARG:
      return "invalid argument";
    case OVW_ERR_NOT_REGISTERED:
      return "application or action not registered";
    case OVW_ERR_NOMEM:
      return "out of memory";
    case OVW_ERR_INJECTED:
      return "injected failure";
    default:
      return nullptr;
  }
}

}  // namespace

Library::~Library() {
  if (attached && store) (void)store->detach(attachment.id);
}

Library &lib() {
  static Library l;
  return l;
}

void fail(const Error &e) noexcept {
  Library &l = lib();
  l.error = e.code;
  try {
    l.detail.assign(e.detail);
  } catch (...) {
    l.detail.clear();
  }
}

Status checkFault(const char *call) {
  int code = KestaraFaultCheck(call);
  if (code == 0) return Status::Ok();
  return makeError(code, std::string(call) + ": injected failure");
}

Result<StoreBackend *> database() {
  Library &l = lib();
  if (!l.store) {
    return makeError(OVW_ERR_NO_DATABASE,
                     "the object database is not open (OVwDbInit or _OVwInitSession)");
  }
  return l.store.get();
}

Status requireSession() {
  if (!lib().attached) return makeError(OVW_ERR_NO_SESSION, "not attached to a session");
  return database().status();
}

Result<SessionRow> currentSession() {
  OVW_TRY(requireSession());
  Library &l = lib();
  OVW_TRY_ASSIGN(std::optional<SessionRow> s, l.store->sessionById(l.attachment.session_id));
  if (!s || !s->running) {
    return makeError(OVW_ERR_NO_SESSION, "session \"" + l.attachment.session_name + "\" has ended");
  }
  return std::move(*s);
}

Result<SessionRow> openMapSession(const OVwMapInfo *map) {
  if (map == nullptr) return makeError(OVW_ERR_BAD_ARG, "no map given");
  OVW_TRY_ASSIGN(SessionRow s, currentSession());
  if (s.map_id == 0 || s.map_id != map->map_id) {
    return makeError(OVW_ERR_NO_MAP, "map " + std::to_string(map->map_id) +
                                         " is not open in session \"" + s.name + "\"");
  }
  return s;
}

Result<Filter> toFilter(const OVwFieldBindList *list) {
  if (list == nullptr) return Filter{};
  if (list->count < 0 || static_cast<size_t>(list->count) > kMaxListItems) {
    return makeError(OVW_ERR_BAD_ARG, "field-value list count out of range");
  }
  if (list->count > 0 && list->fields == nullptr) {
    return makeError(OVW_ERR_BAD_ARG, "field-value list without bindings");
  }
  Filter filter;
  for (int32_t i = 0; i < list->count; ++i) {
    const OVwFieldBinding &b = list->fields[i];
    if (b.field_val == nullptr) {
      return makeError(OVW_ERR_BAD_ARG, "field-value binding without a value");
    }
    const OVwFieldValue &v = *b.field_val;
    if (v.is_list != 0) return makeError(OVW_ERR_BAD_ARG, "list field values are not supported");
    switch (v.field_type) {
      case OVW_FIELD_BOOLEAN:
        filter.push_back(FilterTerm{b.field_id, OVW_FIELD_BOOLEAN, v.value != 0 ? 1 : 0});
        break;
      case OVW_FIELD_INTEGER:
      case OVW_FIELD_ENUM:
        filter.push_back(FilterTerm{b.field_id, v.field_type, v.value});
        break;
      default:
        return makeError(OVW_ERR_BAD_ARG, "unsupported field type " + std::to_string(v.field_type));
    }
  }
  return filter;
}

void detach() {
  Library &l = lib();
  if (!l.attached) return;
  if (l.store) (void)l.store->detach(l.attachment.id);
  l.attached = false;
  l.attachment = Attachment{};
  l.application.clear();
  l.handlers.clear();
  l.taken_event = 0;
  l.wake.reset();  // closes (and for a FIFO removes) the wake-up end
}

std::string errorMessage(int code) {
  Library &l = lib();
  const char *base = baseMessage(code);
  std::string text = base != nullptr ? base : "unknown error " + std::to_string(code);
  if (code == l.error && code != OVW_ERR_NONE && !l.detail.empty()) text += ": " + l.detail;
  return text;
}

}  // namespace kestara::ovw::library
