// discovery.h - the discovery daemon's sweep of the object database and its node event
// listener, shared by its main, its tests and its benchmark.
#ifndef KESTARA_DISCOVERY_DISCOVERY_H
#define KESTARA_DISCOVERY_DISCOVERY_H

#include <cstddef>
#include <cstdint>
#include <span>

#include "OVsnmp.h"
#include "OVw.h"

// Run mode switches, set only from the command line: -sa sets standAloneMode (the sweep then
// prints its summary and the flagged list), -sal sets both.
extern bool standAloneMode;
extern bool loopForCallback;

// Set by the event callback when the event session fails; read by the listener after each
// pass. Never cleared by the daemon.
extern bool stopListening;

// The events the daemon listens for: the three node events of enterprise
// 1.3.6.1.4.1.11.2.17.1, as SNMPv2 notification identifiers.
inline constexpr const char *kNodeEventFilter =
    ".1.3.6.1.4.1.11.2.17.1.0.58785794;.1.3.6.1.4.1.11.2.17.1.0.40000016;"
    ".1.3.6.1.4.1.11.2.17.1.0.58982403";

// Probes every object that is a node and supports SNMP and brings its isKestaraDevice field up
// to date; in stand-alone mode prints a summary and the flagged objects. Returns 1 when the sweep
// ran, 0 when the first query failed or isKestaraDevice is not defined.
[[nodiscard]] int sweepDevices();

// Opens the event session "Kestara Discovery" ahead of listening, so that node events that
// arrive meanwhile (during the sweep) wait in its socket. Prints
// "Could not OVsnmpSession for events %s\n" and returns false when it can't be opened; the
// listener then ends at once.
bool openNodeEvents();

// Closes the event session opened ahead of the listener, if it is open (a failed start).
void closeNodeEvents();

// Listens on the event session (opening it unless openNodeEvents did) and handles node events
// until the session fails, the SNMP library has nothing left to wait on, or `pmdSocket`
// (watched only when above 0) becomes readable. Returns 1 in the last case (the message is left
// unread), else 0. The event session is closed before it returns, and probes still in flight
// are abandoned (nothing printed or written for them).
//
// Each object that an event names is probed as setDevice probes it (the same lines, printed
// together when the probe's outcome is known), asynchronously: at most kProbeWindow probes are
// in flight at once, so that a node that does not answer delays no other. Objects wait for a
// probe in a NodeEventQueue of at most kMaxWaitingObjects: an object named again while it waits
// is probed once, one named while its probe runs once more afterwards. Events for objects that
// the database does not hold are dropped before any SNMP work, without a line.
[[nodiscard]] int listenForNodeEvents(int pmdSocket);
inline constexpr size_t kProbeWindow = 32;
inline constexpr size_t kMaxWaitingObjects = 65536;

// The event session's callback: hands the object named by a node event (when it names one) to
// nodeEventNamed, prints "Bad callback data.\n" for an event without a PDU, and closes the
// session and sets stopListening when the session fails. Frees `pdu`.
void nodeEventCallback(int code, OVsnmpSession session, OVsnmpPdu *pdu, void *data);

// Called by nodeEventCallback with each object id (never 0) that a node event names. The
// listener's own: it queues the object for a probe, or drops the event.
void nodeEventNamed(OVwObjectId objectId);

// The object id that a node event names: the number in the first binding named
// 1.3.6.1.4.1.11.2.17.2.3.0 that holds an OCTET STRING, provided the event's enterprise is
// 1.3.6.1.4.1.11.2.17.1. 0 when there is none (nothing is to be probed).
[[nodiscard]] OVwObjectId eventObjectId(const OVsnmpPdu &pdu);

// Reads a decimal number from the bytes: leading white space, one optional sign, then digits up
// to the first other byte, modulo 2^32; a '-' negates. 0 when there are no digits.
[[nodiscard]] uint32_t parseObjectNumber(std::span<const unsigned char> text);

#endif  // KESTARA_DISCOVERY_DISCOVERY_H
