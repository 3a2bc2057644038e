/* OVw.h - the platform's map and object-database library.
 *
 * The object database and the map sessions live in one SQLite database (WAL mode, with a
 * busy time-out) whose path is $OVW_DATABASE (default /var/lib/kestara/ovw.db). Any number
 * of processes use it at once; the `ovw` tool administers it.
 *
 * Sharing: the users who may use the database are the members of the database file's group
 * (kestara on a station). The library creates the database file and its -wal and -shm files
 * with mode 0660, and the folders it makes (the database's missing folders, the wake folder
 * "<database>-wake") with mode 2770, whatever the caller's umask; the wake-up FIFOs in that
 * folder are 0660 with its group. A process that may not read and write these files is
 * refused by OVwDbInit and _OVwInitSession (OVW_ERR_NO_DATABASE; OVwErrorMsg names the file,
 * its owner, group and mode, and the group to join) before anything is created or changed.
 *
 * Ownership: every list or record returned by a call below belongs to the caller and is
 * given back with the Free call named beside it. Returned texts (const char *) belong to
 * the library: they stay valid until the next call of the same function, and must not be
 * freed.
 *
 * Errors are results: a null pointer, 0 for an id, or a negative number, as each call says.
 * The reason is kept for OVwError (a code, OVW_ERR_*) and OVwErrorMsg (its text, with detail
 * about the last failure). A successful call does not clear them.
 *
 * Thread-safety: none. One thread per process; handlers run on it, inside OVwDispatchMessage.
 */
#ifndef KESTARA_PLATFORM_OVW_H
#define KESTARA_PLATFORM_OVW_H

#include <stdint.h>

#ifdef __cplusplus
extern "C" {
#endif

typedef uint32_t OVwObjectId; /* 0 is "no object" */
typedef uint32_t OVwFieldId;  /* 0 is "no such field" */
typedef uint32_t OVwSubmapId; /* 0 is "no submap" */
typedef uint32_t OVwSymbolId; /* 0 is "no symbol" */
typedef int32_t OVwMapId;

/* Error codes of OVwError. */
enum {
  OVW_ERR_NONE = 0,
  OVW_ERR_NO_SESSION = 1,     /* no session attached, or the named session is not running */
  OVW_ERR_NO_DATABASE = 2,    /* the database cannot be opened, or has the wrong schema */
  OVW_ERR_DB = 3,             /* a database statement failed (locked, full, read-only ...) */
  OVW_ERR_NO_MAP = 4,         /* no map is open in the session */
  OVW_ERR_NOT_FOUND = 5,      /* no such object, symbol, submap or field */
  OVW_ERR_BAD_ARG = 6,        /* a null or invalid argument */
  OVW_ERR_NOT_REGISTERED = 7, /* the application or its action is not registered */
  OVW_ERR_NOMEM = 8,
  OVW_ERR_INJECTED = 9 /* a failure made by the fault-injection seam */
};

/* Events that handlers can be registered for. */
enum {
  OVW_EVENT_END_SESSION = 1,
  OVW_EVENT_MAP_OPEN = 3,
  OVW_EVENT_MAP_CLOSE = 4,
  OVW_EVENT_OBJECTS_DELETED = 15,
  OVW_EVENT_OBJECT_CREATED = 18,
  OVW_EVENT_SUBMAP_OPEN = 30
};

/* Field types of a field value record. */
enum { OVW_FIELD_INTEGER = 1, OVW_FIELD_BOOLEAN = 2, OVW_FIELD_STRING = 3, OVW_FIELD_ENUM = 4 };

/* --- Records ---------------------------------------------------------------------------- */

/* A list of object ids (OVwGetSelections, OVwDbListObjectsByFieldValues); freed with
 * OVwDbFreeObjectIdList. object_ids is null when count is 0. */
typedef struct OVwObjectIdList {
  int32_t count;
  OVwObjectId *object_ids;
} OVwObjectIdList;

/* Field-value record: a query or filter term. For a boolean, field_type is
 * OVW_FIELD_BOOLEAN and value 1 asks that the field be true (0: false). */
typedef struct OVwFieldValue {
  int32_t is_list;    /* always 0 */
  int32_t field_type; /* OVW_FIELD_* */
  int32_t value;      /* stored for OVW_FIELD_BOOLEAN and OVW_FIELD_ENUM */
  int32_t reserved;
} OVwFieldValue;

typedef struct OVwFieldBinding {
  OVwFieldId field_id;
  OVwFieldValue *field_val;
} OVwFieldBinding;

/* Field-value list: every binding must hold for an object to match. */
typedef struct OVwFieldBindList {
  int32_t count;
  OVwFieldBinding *fields;
} OVwFieldBindList;

/* Description of an object (OVwGetObjectInfo; entries of an OVwObjectList). */
typedef struct OVwObjectInfo {
  OVwObjectId object_id;
  OVwSubmapId child_submap_id; /* the object's own submap, 0 for none */
  const char *selection_name;  /* may be null */
  const char *hostname;        /* may be null */
  int32_t is_node;
  int32_t is_snmp_supported;
  int32_t reserved;
} OVwObjectInfo;

/* Objects (OVwListObjectsOnMap, and the value of events 18 and 15); freed with
 * OVwFreeObjectList. */
typedef struct OVwObjectList {
  int32_t count;
  OVwObjectInfo *objects;
} OVwObjectList;

/* Description of a symbol (OVwGetSymbolInfo; entries of an OVwSymbolList). */
typedef struct OVwSymbolInfo {
  OVwSymbolId symbol_id;
  OVwSubmapId submap_id;   /* the submap the symbol lies on */
  OVwObjectId object_id;   /* the object the symbol is drawn for */
  const char *symbol_type; /* such as "Software:Varnis" */
  int32_t status;
  int32_t variety;
  int32_t flags;
  const char *application; /* application that created it, or null */
  int32_t behavior;        /* OVW_BEHAVIOR_* */
  const char *label;
  const char *action;             /* action name, or null */
  OVwObjectIdList target_objects; /* objects the action is aimed at */
} OVwSymbolInfo;

typedef struct OVwSymbolList {
  int32_t count;
  OVwSymbolInfo *symbols;
} OVwSymbolList;

/* Description of a submap (OVwGetSubmapInfo, and the value of event 30). */
typedef struct OVwSubmapInfo {
  OVwSubmapId submap_id;
  OVwMapId map_id;
  const char *submap_name;
  int32_t layout;
  int32_t is_root;
  OVwObjectId parent_object_id; /* the object that owns the submap, 0 for the root */
} OVwSubmapInfo;

/* Description of a map (OVwGetMapInfo); passed back to the library as a handle. */
typedef struct OVwMapInfo {
  OVwMapId map_id;
  const char *map_name;
  const char *session_name;
  OVwSubmapId root_submap_id;
  int32_t read_only;
} OVwMapInfo;

/* Value of event 4 (map close): passed back unchanged to OVwAckMapClose. */
typedef struct OVwMapCloseInfo {
  OVwMapId map_id;
  int64_t close_id;
} OVwMapCloseInfo;

/* A handler. Called with the registration's client data, the event, the map the event
 * concerns (null when none is open) and the event's value:
 *   18, 15: const OVwObjectList *   30: const OVwSubmapInfo *
 *    4: const OVwMapCloseInfo *      1, 3: null
 * The value and the map belong to the library and are valid only during the call. The
 * result is ignored except for event 4, where it is the acknowledgement's result. */
typedef int (*OVwCallbackProc)(void *client_data, int event, OVwMapInfo *map, void *value);

/* --- Sessions ----------------------------------------------------------------------------- */

/* Attaches the process, as `application`, to the running session `session_name`, or to
 * "<local host name>:0" when it is null. version must be 5. Also opens the database
 * (OVwDbInit). Returns 0, or -1 with OVW_ERR_NO_SESSION when that session is not running
 * (OVwErrorMsg names it), OVW_ERR_NO_DATABASE when the database can't be used. */
int _OVwInitSession(int version, const char *application, const char *session_name);

/* The attached session's name, or null when the process is not attached. An attachment to a
 * session that has since ended counts as none: it is left (as OVwDone), so that the next
 * _OVwInitSession can attach to the session that runs now. */
const char *OVwSessionId(void);

/* Detaches from the session: handlers are dropped and queued events for this process are
 * discarded. Safe to call when not attached. */
void OVwDone(void);

/* Opens the object database without attaching to a session, creating it when missing.
 * Returns 0, or -1 with OVW_ERR_NO_DATABASE when it can't be used (see "Sharing" above). */
int OVwDbInit(void);

/* Closes the object database (and detaches if attached). */
void OVwDbDone(void);

/* Registers `handler` for `event`: events of that kind posted from the first registration on
 * are delivered to this process. For event 18, `filter` (copied; may be null) limits the
 * delivered object list to objects that match it at delivery; events whose list would be
 * empty are not delivered. Registering the same event again replaces the handler.
 * Returns 0, or -1 (OVW_ERR_NO_SESSION, OVW_ERR_BAD_ARG). */
int OVwAddCallback(int event, const OVwFieldBindList *filter, OVwCallbackProc handler,
                   void *client_data);

/* --- Message loop ------------------------------------------------------------------------ */

typedef struct OVwMessage {
  int64_t event_id; /* internal sequence number of the event, 0 when none */
  int32_t event;
} OVwMessage;

/* Waits, sleeping in the kernel, for the next event for this process. Returns 1 with the
 * message filled, 0 when the session has ended or the process is not attached (the loop
 * should end), -1 on failure. */
int OVwGetMessage(OVwMessage *message);

/* Nothing to translate; kept so that the loop reads like the platform's. Returns 0. */
int OVwTranslateMessage(const OVwMessage *message);

/* Runs the handler registered for the message's event, on the calling thread. Events of
 * kinds with no handler are consumed silently. Returns 0, or -1 when the event's data are
 * gone. */
int OVwDispatchMessage(const OVwMessage *message);

/* The descriptor that becomes readable when an event may be waiting (for poll loops);
 * -1 when not attached. */
int OVwEventDescriptor(void);

/* --- Maps, submaps and symbols ------------------------------------------------------------ */

/* The map open in the attached session, or null (OVW_ERR_NO_MAP). Free with OVwFreeMapInfo. */
OVwMapInfo *OVwGetMapInfo(void);
void OVwFreeMapInfo(OVwMapInfo *map);

/* Brackets a batch of map changes. Return 0, or -1 when the map is not open any more. */
int OVwBeginMapSync(OVwMapInfo *map);
int OVwEndMapSync(OVwMapInfo *map);

/* Acknowledges a map close event (value as received). Returns 0, or -1. */
int OVwAckMapClose(OVwMapInfo *map, const OVwMapCloseInfo *close_info);

/* The map's selection in selection order; `reserved` must be null. A list with count 0 and
 * null object_ids when nothing is selected. Null on failure. Free with OVwDbFreeObjectIdList. */
OVwObjectIdList *OVwGetSelections(OVwMapInfo *map, const char *reserved);

/* Symbols of an object on the map, oldest first. Null on failure; free with
 * OVwFreeSymbolList. */
OVwSymbolList *OVwGetSymbolsByObject(OVwMapInfo *map, OVwObjectId object);

/* Symbols on `submap`. kind selects which: OVW_LIST_ALL, or OVW_LIST_BY_APPLICATION (7) for
 * those created by `application`. count is 0 when there are none; null on failure. */
#define OVW_LIST_ALL 0
#define OVW_LIST_BY_APPLICATION 7
OVwSymbolList *OVwListSymbols(OVwMapInfo *map, OVwSubmapId submap, int kind,
                              const char *application);
void OVwFreeSymbolList(OVwSymbolList *list);

OVwSymbolInfo *OVwGetSymbolInfo(OVwMapInfo *map, OVwSymbolId symbol);
void OVwFreeSymbolInfo(OVwSymbolInfo *info);

OVwSubmapInfo *OVwGetSubmapInfo(OVwMapInfo *map, OVwSubmapId submap);
void OVwFreeSubmapInfo(OVwSubmapInfo *info);

OVwObjectInfo *OVwGetObjectInfo(OVwMapInfo *map, OVwObjectId object);
void OVwFreeObjectInfo(OVwObjectInfo *info);

/* Objects that have a symbol on the map and match `filter` (null: all). Null on failure;
 * free with OVwFreeObjectList. */
OVwObjectList *OVwListObjectsOnMap(OVwMapInfo *map, const OVwFieldBindList *filter);
void OVwFreeObjectList(OVwObjectList *list);

/* Creates a symbol for `object` on `submap`, recorded as created by the attached
 * application. status: 1 normal; variety: 3 icon; position: 0 automatic; flags: 2 plain.
 * Returns the symbol id, or 0 on failure. */
OVwSymbolId OVwCreateSymbol(OVwMapInfo *map, OVwSubmapId submap, OVwObjectId object,
                            const char *symbol_type, const char *label, int status, int variety,
                            int position, int flags);

/* Behaviours of a symbol. */
#define OVW_BEHAVIOR_NONE 0
#define OVW_BEHAVIOR_EXPLODE 1
#define OVW_BEHAVIOR_ACTION 2

/* Makes the symbol execute `action` of `application` on `targets` when activated. The
 * application and the action must be registered (`ovw -fields`). Returns 0, or -1
 * (OVW_ERR_NOT_REGISTERED, OVW_ERR_NOT_FOUND ...). */
int OVwSetSymbolBehavior(OVwMapInfo *map, OVwSymbolId symbol, int behavior, const char *application,
                         const char *action, const OVwObjectIdList *targets);

/* Removes a symbol from the map. Returns 0, or -1. */
int OVwDeleteSymbol(OVwMapInfo *map, OVwSymbolId symbol);

/* --- Object database -------------------------------------------------------------------- */

/* The id of the field `name`, or 0 when it is not defined. */
OVwFieldId OVwDbFieldNameToFieldId(const char *name);

/* 1 when the boolean field is set on the object, 0 when it is clear or has no value, -1 on
 * failure. */
int OVwDbGetFieldBooleanValue(OVwObjectId object, OVwFieldId field);

/* Sets (value non-zero) or clears a boolean field. Returns 0, or -1. */
int OVwDbSetFieldBooleanValue(OVwObjectId object, OVwFieldId field, int value);

/* Write groups: the database writes of this process from OVwDbBeginWriteGroup to
 * OVwDbEndWriteGroup are one transaction. They become visible to other processes together, at
 * the end; a process that stops before the end (killed, or OVwDbDone) loses them all, so
 * every value written in a group is either its old or its new one. Events the writes post
 * wake their parties at the end. While a group is open no other process can write the
 * database: keep groups short, and end them before waiting for anything. Groups don't nest.
 * Begin returns 0, or -1 (OVW_ERR_NO_DATABASE, OVW_ERR_DB, OVW_ERR_BAD_ARG when a group is
 * open already). End returns 0 when every write of the group is committed, or -1: none is
 * (the commit failed), or a failure inside the group rolled back the writes before it
 * (OVW_ERR_DB), or no group is open (OVW_ERR_BAD_ARG). A write inside a group that reports
 * success is committed only by a successful end. */
int OVwDbBeginWriteGroup(void);
int OVwDbEndWriteGroup(void);

/* Ids of all objects that match every binding of `filter`, ascending. Null on failure (and
 * for a null filter); free with OVwDbFreeObjectIdList. */
OVwObjectIdList *OVwDbListObjectsByFieldValues(const OVwFieldBindList *filter);
void OVwDbFreeObjectIdList(OVwObjectIdList *list);

/* The object's selection name or host name; null when it has none or does not exist. */
const char *OVwDbObjectIdToSelectionName(OVwObjectId object);
const char *OVwDbObjectIdToHostname(OVwObjectId object);

/* The id of an object whose host name (selection name) is exactly `name`, the lowest when
 * several have it; 0 when there is none, and 0 with the error set on failure (null name, no
 * database). */
OVwObjectId OVwDbHostnameToObjectId(const char *name);
OVwObjectId OVwDbSelectionNameToObjectId(const char *name);

/* Creates an object with the given field values (null: none). Returns its id, or 0. */
OVwObjectId OVwDbCreateObject(const OVwFieldBindList *fields);

/* Deletes an object, its field values and its symbols. Returns 0, or -1. */
int OVwDbDeleteObject(OVwObjectId object);

/* --- Errors ----------------------------------------------------------------------------- */

/* The code of the last failure (OVW_ERR_*). */
int OVwError(void);

/* The text for `code`; for the code of the last failure, with its detail. Never null. */
const char *OVwErrorMsg(int code);

#ifdef __cplusplus
}
#endif

#endif /* KESTARA_PLATFORM_OVW_H */
