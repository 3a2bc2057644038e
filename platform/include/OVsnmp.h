/* OVsnmp.h - the platform's SNMP library: client sessions, PDUs and event sessions.
 *
 * Implemented on net-snmp (real SNMPv1, v2c and v3 over UDP). Programs include only this header,
 * never net-snmp's: every record below is the library's own and is converted to and from
 * net-snmp inside the library.
 *
 * Errors are results. A call that fails returns a null pointer, a zero session or -1, and
 * leaves the reason in OVsnmpErrno (one of the OVSNMP_ERR_* codes); OVsnmpErrString turns a
 * code into a text. Nothing here calls exit() or prints, except where a call says so.
 *
 * Configuration: OVsnmpOpen with default arguments takes version, community, port, time-out
 * and retries from net-snmp's own configuration (snmp.conf found through SNMPCONFPATH:
 * defVersion, defCommunity, defaultPort, timeout, retries, and per-host files under
 * hosts/). With nothing configured it uses SNMPv2c, community "public", port 161.
 * SNMPv3 (defVersion 3) takes the user-based security settings from the same files:
 * defSecurityName, defSecurityLevel (noAuthNoPriv, authNoPriv, authPriv), defAuthType (MD5,
 * SHA, SHA-224, SHA-256, SHA-384, SHA-512), defAuthPassphrase, defPrivType (AES, AES-192,
 * AES-256; DES is refused), defPrivPassphrase (defPassphrase for both) and defContext. The
 * agent's engine ID is discovered, and its clock followed, by net-snmp at the session's first
 * request, never inside OVsnmpOpen: opening an SNMPv3 session sends nothing, and an
 * asynchronous request's discovery is asynchronous too. The settings of a hosts/NAME.conf file
 * apply to sessions opened to NAME only, not to later sessions.
 * snmp.conf's `timeout` takes whole seconds (net-snmp ignores a fraction with a complaint).
 * Setting OVSNMP_TIMEOUT_MS (milliseconds, 1..3600000) and OVSNMP_RETRIES (0..100) in the
 * environment overrides the time-out and retries of every client session; tests use it
 * for sub-second time-outs. The library reads no MIB (identifiers are numeric), loads and
 * saves no persistent state, and silences net-snmp's own log output.
 *
 * Requests are sent either blocking (OVsnmpBlockingSend) or asynchronously
 * (OVsnmpSendAsync, or OVsnmpSendRequestAsync for one variable; completed from the caller's
 * event loop: OVsnmpGetRetryInfo, OVsnmpRead and OVsnmpDoRetry around select(), or
 * OVsnmpGetPollInfo, OVsnmpReadPoll and OVsnmpDoRetry around poll()).
 *
 * Thread-safety: none. All calls come from one thread; event callbacks and completions run
 * inside OVsnmpRead, OVsnmpReadPoll, OVsnmpDoRetry and OVsnmpClose on that thread.
 */
#ifndef KESTARA_PLATFORM_OVSNMP_H
#define KESTARA_PLATFORM_OVSNMP_H

#include <poll.h>
#include <stddef.h>
#include <stdint.h>
#include <sys/select.h>
#include <sys/time.h>

#ifdef __cplusplus
extern "C" {
#endif

/* One sub-identifier of an object identifier. */
typedef uint32_t OVsnmpOid;

/* A session handle: a 32-bit number issued by OVsnmpOpen or OVsnmpEventOpen. 0 is "no
 * session". Every call that takes a handle checks it first: a number that names no open
 * session (never issued, already closed, or random) fails with OVSNMP_ERR_BAD_SESSION and
 * is never dereferenced. Handles are not reused within a process. */
typedef uint32_t OVsnmpSession;

/* PDU tags (the SNMP PDU type byte). */
enum {
  OVSNMP_GET_REQ = 0xA0,     /* 160 */
  OVSNMP_GETNEXT_REQ = 0xA1, /* 161 */
  OVSNMP_GET_RSP = 0xA2,     /* 162 */
  OVSNMP_SET_REQ = 0xA3,     /* 163 */
  OVSNMP_TRAP = 0xA4,        /* 164: SNMPv1 trap, and the code of a trap event */
  OVSNMP_INFORM = 0xA6,      /* 166: inform, and the code of an inform event */
  OVSNMP_V2TRAP = 0xA7       /* 167 */
};

/* Value type tags (ASN.1/SMI). */
enum {
  OVSNMP_INTEGER = 0x02,
  OVSNMP_OCTETSTRING = 0x04,
  OVSNMP_NULL = 0x05,
  OVSNMP_OBJECTID = 0x06,
  OVSNMP_IPADDRESS = 0x40,
  OVSNMP_COUNTER = 0x41,
  OVSNMP_GAUGE = 0x42,
  OVSNMP_TIMETICKS = 0x43,
  OVSNMP_OPAQUE = 0x44,
  OVSNMP_COUNTER64 = 0x46,
  OVSNMP_NOSUCHOBJECT = 0x80,
  OVSNMP_NOSUCHINSTANCE = 0x81,
  OVSNMP_ENDOFMIBVIEW = 0x82
};

/* Error numbers left in OVsnmpErrno. */
enum {
  OVSNMP_ERR_NONE = 0,
  OVSNMP_ERR_NOMEM = 1,       /* out of memory */
  OVSNMP_ERR_BAD_SESSION = 2, /* the handle names no open session */
  OVSNMP_ERR_BAD_ARG = 3,     /* a null or out-of-range argument */
  OVSNMP_ERR_OPEN = 4,        /* the session could not be opened (name, transport) */
  OVSNMP_ERR_SEND = 5,        /* the request could not be encoded or sent */
  OVSNMP_ERR_TIMEOUT = 6,     /* the agent did not answer in time */
  OVSNMP_ERR_NO_VARBIND = 7,  /* a fix would leave the PDU without a binding */
  OVSNMP_ERR_BAD_PDU = 8,     /* the PDU is of the wrong kind for this call */
  OVSNMP_ERR_FILTER = 9,      /* the event filter text could not be parsed */
  OVSNMP_ERR_SOCKET = 10,     /* a socket call failed */
  OVSNMP_ERR_INTERNAL = 11,   /* anything else net-snmp reported */
  OVSNMP_ERR_CANCELLED = 12,  /* the session was closed while the request was in flight */
  OVSNMP_ERR_BUSY = 13,       /* too many requests in flight (see OVsnmpSendAsync) */
  /* SNMPv3: the agent refused the request's security with a report (RFC 3414). A request
   * that ends so was not answered; OVsnmpIsSecurityRefusal is true for these. The same codes
   * say why an event session dropped an SNMPv3 event (OVsnmpEventDrops). */
  OVSNMP_ERR_UNKNOWN_USER = 14,       /* usmStatsUnknownUserNames: no such user (for the engine) */
  OVSNMP_ERR_WRONG_DIGEST = 15,       /* usmStatsWrongDigests: authentication pass phrase or type */
  OVSNMP_ERR_DECRYPTION = 16,         /* usmStatsDecryptionErrors: privacy pass phrase or type */
  OVSNMP_ERR_SECURITY_LEVEL = 17,     /* usmStatsUnsupportedSecLevels: level not for this user */
  OVSNMP_ERR_NOT_IN_TIME_WINDOW = 18, /* usmStatsNotInTimeWindows, after resynchronising */
  OVSNMP_ERR_UNKNOWN_ENGINE = 19,     /* usmStatsUnknownEngineIDs: the agent's engine ID changed */
  /* SNMPv3 settings of a client session that can't be used: no security name, a pass phrase
   * missing or shorter than 8 characters, an unknown type, or privacy DES. */
  OVSNMP_ERR_SECURITY_CONFIG = 20,
  /* The event configuration (ovsnmp.conf) has a line that can't be used; OVsnmpErrString
   * names the file and the line. */
  OVSNMP_ERR_EVENT_CONFIG = 21,
  /* An event whose community or user the event configuration does not accept (see
   * OVsnmpGetEventDrops). */
  OVSNMP_ERR_NOT_AUTHORISED = 22,
  /* SNMPv3: the agent refused the request with another report (an unknown context, ...);
   * OVsnmpIsSecurityRefusal is true for it too. */
  OVSNMP_ERR_REPORT = 23
};

/* True for the errors by which an agent refused an SNMPv3 request's security. Programs treat
 * such a request like one the agent did not answer. */
static inline int OVsnmpIsSecurityRefusal(int error_number) {
  return (error_number >= OVSNMP_ERR_UNKNOWN_USER && error_number <= OVSNMP_ERR_UNKNOWN_ENGINE) ||
         error_number == OVSNMP_ERR_REPORT;
}

/* The library's last error number. Set by every failing call; not cleared on success. */
extern int OVsnmpErrno;

/* Event callback codes besides OVSNMP_TRAP and OVSNMP_INFORM. */
enum {
  OVSNMP_EVENT_SESSION_ERROR = 57, /* the event session failed */
  OVSNMP_EVENT_LOST_CONNECTION = 63
};

/* One variable binding. The value storage belongs to the PDU; it is aligned for 32-bit
 * words whatever the type.
 * - INTEGER, Counter, Gauge, TimeTicks: val points at one 32-bit word holding the number
 *   (a negative INTEGER as its two's complement); val_len is 4.
 * - Counter64: two 32-bit words, high then low; val_len is 8.
 * - OBJECT IDENTIFIER: an array of OVsnmpOid; val_len is 4 times the count (at most 128).
 * - OCTET STRING, IpAddress, Opaque and any other type: the bytes; val_len is their number
 *   (0 for an empty string). val is never null for these, and the bytes are followed by a
 *   NUL that val_len does not count. IpAddress bytes are in network order.
 * - NULL and the exceptions 0x80, 0x81, 0x82: val is null and val_len is 0.
 * Names and identifier values longer than 128 sub-identifiers are refused: a response or
 * event that holds one is not delivered. */
typedef struct OVsnmpVarBind {
  struct OVsnmpVarBind *next_variable; /* next binding, or null */
  OVsnmpOid *oid;                      /* the binding's name */
  size_t oid_length;                   /* number of sub-identifiers in the name */
  uint8_t type;                        /* the value's type tag */
  void *val;                           /* the value's storage, or null */
  size_t val_len;                      /* the value's length in bytes */
} OVsnmpVarBind;

/* A PDU. Programs read these members; they change them only through the calls below. */
typedef struct OVsnmpPdu {
  int command;              /* PDU tag (OVSNMP_GET_REQ, ...) */
  int32_t error_status;     /* the agent's error status, 0 for none */
  int32_t error_index;      /* 1-based index of the binding in error, 0 for none */
  OVsnmpOid *enterprise;    /* trap enterprise (v1 form for every trap and inform), or null */
  size_t enterprise_length; /* its number of sub-identifiers */
  int32_t generic_type;     /* trap generic type (0..6), 6 for enterprise-specific */
  int32_t specific_type;    /* trap specific type */
  OVsnmpVarBind *variables; /* first binding, or null */
} OVsnmpPdu;

/* The callback of a session: code is OVSNMP_TRAP or OVSNMP_INFORM for an event,
 * OVSNMP_EVENT_SESSION_ERROR or OVSNMP_EVENT_LOST_CONNECTION when the session fails.
 * The callback owns pdu (which may be null) and releases it with OVsnmpFreePdu. */
typedef void (*OVsnmpCallback)(int code, OVsnmpSession session, OVsnmpPdu *pdu, void *data);

/* Arguments of OVsnmpOpen that ask for the configured default. */
#define OVSNMP_DEFAULT_RETRIES (-1)
#define OVSNMP_DEFAULT_TIMEOUT (-1)
#define OVSNMP_DEFAULT_PORT 0xffff

/* Opens a client session to `peername` (an agent name as net-snmp accepts it: "host",
 * "host:port", "udp:host:port", "udp6:[addr]:port"). The name comes from the network: only
 * letters, digits and . - _ : [ ] % are taken, at most 300 of them, and only UDP transports
 * (no path, no TCP or Unix socket); anything else, and the empty name, is OVSNMP_ERR_OPEN.
 * community null and the OVSNMP_DEFAULT_* values take the configured defaults (see the top
 * of this header); timeout is in tenths of a second (1..36000) and retries 0..100 when
 * given; local_port must be OVSNMP_DEFAULT_PORT or 0 (any local port); remote_port, when
 * given (1..65535), stands in for the configured default port. callback and data must be
 * null: a client session has no callback of its own (asynchronous requests carry their
 * completion, OVsnmpSendAsync).
 * An SNMPv3 session is opened without sending anything; its user, level, types and pass
 * phrases are checked here (OVSNMP_ERR_SECURITY_CONFIG), and the agent's engine ID is
 * discovered by the first request (see OVsnmpBlockingSend and OVsnmpSendAsync).
 * Returns the new handle, or 0 with OVsnmpErrno set (OVSNMP_ERR_OPEN for an unknown host,
 * OVSNMP_ERR_BAD_ARG for an argument out of range, OVSNMP_ERR_SECURITY_CONFIG). */
OVsnmpSession OVsnmpOpen(const char *community, const char *peername, int retries, int timeout,
                         int local_port, int remote_port, OVsnmpCallback callback, void *data);

/* Closes a client or event session. Requests of the session that are not completed yet get
 * their completions with OVSNMP_ERR_CANCELLED before it returns; events read but not yet
 * handed to an event session's callback are dropped. Returns 0, or -1 with
 * OVSNMP_ERR_BAD_SESSION when the handle names no open session (closing twice is that
 * failure, not a crash). */
int OVsnmpClose(OVsnmpSession session);

/* Session option bits, set with OVsnmpSetSessionFlags before a request.
 * OVSNMP_FLAG_RAW_EXCEPTIONS asks that SNMPv2 exception values (0x80..0x82) be handed to
 * the caller as bindings of that type rather than turned into an error status. This
 * library always does so; the bit is checked and recorded, and read back by
 * OVsnmpGetSessionFlags. */
#define OVSNMP_FLAG_RAW_EXCEPTIONS 0x08u

/* ORs `flags` into the session's option bits. Returns 0, or -1 with OVSNMP_ERR_BAD_SESSION. */
int OVsnmpSetSessionFlags(OVsnmpSession session, uint32_t flags);

/* Returns the session's option bits, or -1 with OVSNMP_ERR_BAD_SESSION. */
int64_t OVsnmpGetSessionFlags(OVsnmpSession session);

/* Creates an empty request PDU of the given tag (GET, GETNEXT or SET). The caller owns it.
 * Returns null with OVSNMP_ERR_BAD_PDU for another tag, OVSNMP_ERR_NOMEM without memory. */
OVsnmpPdu *OVsnmpCreatePdu(int type);

/* Appends one binding with name oid[0..count) and a NULL value. The PDU keeps its own copy of
 * the name. Returns the new binding (owned by the PDU), or null with OVsnmpErrno set
 * (OVSNMP_ERR_BAD_ARG for a null pointer or a count of 0 or over 128). */
OVsnmpVarBind *OVsnmpAddNullVarBind(OVsnmpPdu *pdu, const OVsnmpOid *oid, size_t count);

/* Sends `pdu` on a client session and waits for the response, with the session's time-out
 * and retries. On success the request is consumed (freed by the library) and the response
 * is returned; the caller owns it. On failure returns null, sets OVsnmpErrno
 * (OVSNMP_ERR_TIMEOUT when the agent did not answer), and the request still belongs to the
 * caller. A reply that does not match the request id is never taken as the response.
 * Other failures: OVSNMP_ERR_BAD_SESSION (also for an event session), OVSNMP_ERR_BAD_ARG
 * (a PDU the library did not hand out), OVSNMP_ERR_BAD_PDU (no request, or a response that
 * can't be represented), OVSNMP_ERR_SEND, OVSNMP_ERR_BUSY (the session has asynchronous
 * requests that are not completed yet: a session is used one way at a time).
 * SNMPv3: the first request of a session first discovers the agent's engine ID (one more
 * exchange, with the same time-out and retries); an agent that refuses the request's security
 * fails it with one of the OVsnmpIsSecurityRefusal errors, and OVSNMP_ERR_SECURITY_CONFIG
 * means the user could not be set up for the discovered engine. */
OVsnmpPdu *OVsnmpBlockingSend(OVsnmpSession session, OVsnmpPdu *pdu);

/* Turns a response with a non-zero error index into a request of tag `type` (GET, GETNEXT
 * or SET) without the binding in error; the other bindings keep their names, with NULL
 * values. On success the response is consumed and the new request returned (the caller
 * owns it). Returns null, leaving the response with the caller, when it is no response or
 * `type` no request tag (OVSNMP_ERR_BAD_PDU), the response has no error index or the index
 * names no binding (OVSNMP_ERR_BAD_ARG), or no binding would remain
 * (OVSNMP_ERR_NO_VARBIND). */
OVsnmpPdu *OVsnmpFixPdu(OVsnmpPdu *response, int type);

/* Releases a PDU and everything it holds. Null, and a pointer that the library did not
 * hand out or has already released, are ignored. */
void OVsnmpFreePdu(OVsnmpPdu *pdu);

/* The text for an error number; never null, valid for the life of the process. */
const char *OVsnmpErrString(int error_number);

/* Compares two identifiers lexicographically, sub-identifier by sub-identifier, the
 * shorter first when one is a prefix of the other. Returns 0 when equal, below 0 when the
 * first sorts before the second, above 0 otherwise. `mode` must be 0. A null pointer is the
 * empty identifier whatever its count. */
int OVsnmpOidCompare(const OVsnmpOid *first, size_t first_count, const OVsnmpOid *second,
                     size_t second_count, int mode);

/* Opens an event session named `name`. Events are SNMP traps and informs received at
 * $OV_EVENT_ADDRESS (default "udp:127.0.0.1:162"). `filter` lists the wanted events as
 * dotted identifiers with a leading dot, separated by ';'. An SNMPv1 trap is matched by
 * enterprise.0.specific (for enterprise-specific traps, RFC 3584) or by the standard
 * snmpTraps identifier of its generic type; an SNMPv2c trap or inform by snmpTrapOID.0.
 * Matching events reach `callback` in v1 form (enterprise, generic and specific types set,
 * bindings without sysUpTime.0 and snmpTrapOID.0); the PDU's command is OVSNMP_TRAP for a
 * trap of either version and OVSNMP_INFORM for an inform. For an SNMPv2c notification
 * E.0.S (or E.S) the enterprise is E, generic 6, specific S; for snmpTraps.N the generic
 * type is N-1 and the enterprise is snmpTrapEnterprise.0's value, else snmpTraps. Every
 * accepted inform is acknowledged, matched or not, before the callback runs. Events that match
 * no entry are dropped inside the library, as are datagrams that can't be parsed. Which
 * communities and SNMPv3 users are accepted is configured (see "Event access" below); what is
 * not accepted is dropped and counted before anything else is done with it (no
 * acknowledgement). The callback runs only from OVsnmpRead and OVsnmpReadPoll, after
 * the datagram has been read, so it may close its own session (and must, after a session
 * error). The session's socket asks the kernel for a receive buffer of 1 MiB (at most
 * net.core.rmem_max), unless it has more, so that a burst of events waits there while the
 * program is busy.
 * host must be null and callback non-null (OVSNMP_ERR_BAD_ARG). Returns the handle, or 0
 * with OVsnmpErrno set (OVSNMP_ERR_FILTER for a null, empty or malformed filter,
 * OVSNMP_ERR_SOCKET when the address can't be bound, OVSNMP_ERR_EVENT_CONFIG when the event
 * configuration has a line that can't be used, ...). */
OVsnmpSession OVsnmpEventOpen(const char *host, const char *name, OVsnmpCallback callback,
                              void *data, const char *filter);

/* ---- Event access ------------------------------------------------------------------------
 *
 * ovsnmp.conf, found through SNMPCONFPATH like snmp.conf and read once per process, in
 * net-snmp's syntax (quotes around words with blanks, '#' comments):
 *
 *   eventCommunity COMMUNITY   an SNMPv1/v2c community whose events are accepted (up to 64
 *                              lines). Without any, every community is accepted.
 *   createUser [-e ENGINEID] NAME AUTHTYPE AUTHPASS [PRIVTYPE [PRIVPASS]]
 *                              an SNMPv3 user, as snmptrapd takes it: AUTHTYPE MD5, SHA,
 *                              SHA-224, SHA-256, SHA-384 or SHA-512; PRIVTYPE AES, AES-192 or
 *                              AES-256 (PRIVPASS defaults to AUTHPASS); pass phrases of 8
 *                              characters or more. With -e (hexadecimal) the engine ID of the
 *                              device whose traps it signs; without, this receiver's own engine
 *                              ID, for informs.
 *   eventUser NAME [auth|priv] the user's events are accepted when authenticated (auth, the
 *                              default: authNoPriv or authPriv) or only when also encrypted
 *                              (priv).
 *   engineID TEXT              this receiver's engine ID, net-snmp's text form: the bytes
 *                              80 00 1f 88 04 followed by TEXT (at most 27 bytes). Without it,
 *                              TEXT is the host name (cut to 27 bytes).
 *
 * An SNMPv3 event is accepted only when net-snmp has authenticated it (a known user and
 * engine, the right digest, within the time window, decrypted) and an eventUser line allows the
 * user at the event's level. The receiver's engine boots value is the number of seconds from
 * 2024-01-01 to its start, so that it grows at every start without state on disk.
 * A line that can't be used fails OVsnmpEventOpen with OVSNMP_ERR_EVENT_CONFIG. */

/* What an event session dropped before any other work. */
typedef struct OVsnmpEventDrops {
  /* SNMPv3 events that net-snmp could not authenticate: unknown user (or a user of another
   * engine), wrong digest, decryption error, a level the user does not have; and SNMPv3 events
   * sent without authentication. Engine-ID discovery and time synchronisation are not counted. */
  uint64_t unauthenticated;
  /* Events with a community that is not accepted, or from an SNMPv3 user without an
   * eventUser line or below its level. */
  uint64_t unauthorised;
  int last_reason;      /* why the last one was dropped: an OVSNMP_ERR_* code, 0 for none */
  char last_source[64]; /* "ADDRESS port PORT" of the last one, "" when not known */
} OVsnmpEventDrops;

/* Fills `drops` with the counts of event session `session` since it was opened. Returns 0, or
 * -1 with OVsnmpErrno set (OVSNMP_ERR_BAD_SESSION for no event session, OVSNMP_ERR_BAD_ARG for
 * a null `drops`). */
int OVsnmpGetEventDrops(OVsnmpSession session, OVsnmpEventDrops *drops);

/* Writes this process's SNMPv3 engine ID (the receiver's, for informs: see engineID above) to
 * `buffer` and returns its length (5..32 bytes), or 0 when `capacity` is too small. */
size_t OVsnmpGetLocalEngineId(uint8_t *buffer, size_t capacity);

/* ---- Asynchronous requests -------------------------------------------------------------
 *
 * A request sent with OVsnmpSendAsync is completed later, from the caller's event loop: its
 * completion is called exactly once, with
 *   OVSNMP_ERR_NONE      and the response, which the completion owns (OVsnmpFreePdu);
 *   OVSNMP_ERR_TIMEOUT   the agent did not answer within the session's time-out, after all of
 *                        its retries (each retry resends the same request);
 *   OVSNMP_ERR_CANCELLED the session was closed first (by anyone, a completion included);
 *   OVSNMP_ERR_BAD_PDU   the answer can't be represented (see OVsnmpVarBind), or a message of
 *                        another kind than a response carried the request's id;
 *   OVSNMP_ERR_SEND      a retransmission could not be sent;
 *   OVSNMP_ERR_NOMEM     the answer could not be kept;
 *   an OVsnmpIsSecurityRefusal error: the SNMPv3 agent refused the request's security;
 *   OVSNMP_ERR_SECURITY_CONFIG: the SNMPv3 user could not be set up for the agent's engine.
 * The response is null for every error. On an SNMPv3 session whose agent's engine ID is not
 * known yet, the first request starts its discovery and waits for it (asynchronously, as the
 * request itself); requests sent meanwhile wait with it, and a failed discovery ends them all
 * with its error (a later request tries again). An answer counts for a request only when it carries
 * that request's id: a late answer (after the time-out), a duplicate, or an answer with
 * another id completes nothing and is dropped. Each try of a request has the same id.
 *
 * Completions run only inside OVsnmpRead, OVsnmpReadPoll and OVsnmpDoRetry (outcomes, in the
 * order they became known) and OVsnmpClose (cancellations, in the order the requests were
 * sent), never inside OVsnmpSendAsync. Once OVsnmpClose has returned, no completion of that
 * session's requests is pending or will run. A completion may send further requests and
 * close any session, its own included; it must not call OVsnmpRead, OVsnmpReadPoll or
 * OVsnmpDoRetry.
 *
 * Bounds: at most OVSNMP_MAX_SESSION_REQUESTS requests of one session and
 * OVSNMP_MAX_REQUESTS of the whole process are outstanding at a time (sent and not yet
 * completed); past either, OVsnmpSendAsync fails with OVSNMP_ERR_BUSY. Each outstanding
 * request holds a copy of its PDU (a few hundred bytes for one binding). */
#define OVSNMP_MAX_SESSION_REQUESTS 64
#define OVSNMP_MAX_REQUESTS 1024

/* The completion of one asynchronous request; `context` is the pointer given to
 * OVsnmpSendAsync, `session` the handle it was sent on (which may be closed by now). */
typedef void (*OVsnmpCompletion)(OVsnmpSession session, int error, OVsnmpPdu *response,
                                 void *context);

/* Sends request `pdu` (GET, GETNEXT or SET) on client session `session` without waiting; the
 * answer, time-out or cancellation reaches `completion` with `context`, as described above.
 * On success returns 0 and the request is consumed (freed by the library). On failure returns
 * -1 with OVsnmpErrno set, the request still belongs to the caller, and the completion will
 * never be called: OVSNMP_ERR_BAD_SESSION (also for an event session), OVSNMP_ERR_BAD_ARG (a
 * PDU the library did not hand out, or a null completion), OVSNMP_ERR_BAD_PDU (no request),
 * OVSNMP_ERR_BUSY (a bound above), OVSNMP_ERR_SEND, OVSNMP_ERR_NOMEM. */
int OVsnmpSendAsync(OVsnmpSession session, OVsnmpPdu *pdu, OVsnmpCompletion completion,
                    void *context);

/* Sends a request of `type` (GET or GETNEXT) for the one variable oid[0..count) on client
 * session `session` without waiting, as OVsnmpSendAsync sends a PDU made with OVsnmpCreatePdu
 * and one OVsnmpAddNullVarBind, and completes it the same way (same bounds), without making
 * that PDU first: for a program that asks for one variable per request. Returns 0 when the
 * request is on its way, or -1 with OVsnmpErrno set, the completion never to be called:
 * OVSNMP_ERR_BAD_SESSION, OVSNMP_ERR_BAD_ARG (a null oid, a count of 0 or over 128, a null
 * completion), OVSNMP_ERR_BAD_PDU (another type), OVSNMP_ERR_BUSY, OVSNMP_ERR_SEND,
 * OVSNMP_ERR_NOMEM. */
int OVsnmpSendRequestAsync(OVsnmpSession session, int type, const OVsnmpOid *oid, size_t count,
                           OVsnmpCompletion completion, void *context);

/* ---- The caller's event loop -------------------------------------------------------------
 *
 * The library's sockets are those of every event session and of every client session with
 * asynchronous requests in flight. A loop waits for them together with its own descriptors,
 * then calls OVsnmpRead (or OVsnmpReadPoll) when some are readable, and OVsnmpDoRetry on
 * every pass. */

/* Fills `read_fds` (which the caller has emptied) with the library's sockets and `timeout`
 * with how long the caller may wait before OVsnmpDoRetry is due: at most one second, less
 * when a request's retransmission or time-out comes sooner, zero when completions are
 * waiting to run. A socket that select() can't hold (FD_SETSIZE or above) is left out: a
 * loop with such descriptors uses OVsnmpGetPollInfo. Returns the first argument for select()
 * (highest descriptor + 1), or 0 when there is nothing to wait on (no event session, no
 * request in flight) or on failure. A caller that adds descriptors of its own to the set
 * must raise the count to cover them. */
int OVsnmpGetRetryInfo(fd_set *read_fds, struct timeval *timeout);

/* Reads what has arrived on the sockets of `read_fds` that belong to the library, and runs
 * the callbacks and completions for it. From each readable socket it reads at most
 * OVSNMP_READ_BATCH datagrams, so that one flooded socket can't hold the loop. When an
 * event session's socket has failed, its callback gets OVSNMP_EVENT_SESSION_ERROR with a
 * null PDU (OVsnmpErrno says why); the session stays open until the callback closes it. A
 * fault made on this call (PlatformFault.h) is such a failure of every event session whose
 * socket is in the set. */
void OVsnmpRead(fd_set *read_fds);
#define OVSNMP_READ_BATCH 64

/* The poll() form of OVsnmpGetRetryInfo. Fills fds[0 .. min(count, capacity)) with the
 * library's sockets (events POLLIN, revents 0) and returns their number `count`, which may
 * exceed `capacity`: then only the first `capacity` are filled and the caller calls again
 * with room for all. `*timeout_ms` gets the time in milliseconds until OVsnmpDoRetry is due
 * (rounded up), 0 when completions are waiting to run, -1 when nothing is due. Returns 0 when
 * there is nothing to wait on, -1 with OVsnmpErrno set for a null `timeout_ms`, a null
 * `fds` with a capacity, or a fault. */
int OVsnmpGetPollInfo(struct pollfd *fds, size_t capacity, int *timeout_ms);

/* The poll() form of OVsnmpRead: reads from the library's sockets among fds[0 .. count)
 * whose revents are non-zero, as OVsnmpRead does; other entries are not looked at. */
void OVsnmpReadPoll(const struct pollfd *fds, size_t count);

/* Handles the library's time-outs and retransmissions and runs the completions they bring;
 * call once per pass of the loop. */
void OVsnmpDoRetry(void);

#ifdef __cplusplus
}
#endif

#endif /* KESTARA_PLATFORM_OVSNMP_H */
