// sessions.h - opening the object database, attaching to a map session and leaving it, and the
// selection of the session's open map, for the OVw library.
#ifndef KESTARA_PLATFORM_OVW_SESSIONS_H
#define KESTARA_PLATFORM_OVW_SESSIONS_H

#include "OVw.h"
#include "result.h"

namespace kestara::ovw::library {

// Opens the store at $OVW_DATABASE (or the default) unless it is open already.
Status openDatabase();
// Leaves the session and closes the store; records the caller holds stay valid until freed.
void closeDatabase();

// Attaches this process to the running session `session_name` (null: "<host name>:0") as
// `application`, opening the store first as OVwDbInit does.
Status initSession(int version, const char *application, const char *session_name);
// The attached session's name; null when not attached or when that session has ended (the
// attachment is then left).
Result<const char *> sessionId();

// The selection of the map open in the attached session, kept for the caller.
Result<OVwObjectIdList *> selections(OVwMapInfo *map, const char *reserved);

}  // namespace kestara::ovw::library

#endif  // KESTARA_PLATFORM_OVW_SESSIONS_H
