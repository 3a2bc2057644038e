// discovery.h - the discovery daemon's sweep of the object database and its node event
// listener, shared by its main, its tests, its benchmark and its fuzz target.
#ifndef KESTARA_DISCOVERY_DISCOVERY_H
#define KESTARA_DISCOVERY_DISCOVERY_H

#include <cstddef>
#include <cstdint>
#include <memory>
#include <span>

#include "OVsnmp.h"
#include "OVw.h"
#include "device.h"

// The events the daemon listens for: the three node events of enterprise
// 1.3.6.1.4.1.11.2.17.1, as SNMPv2 notification identifiers.
inline constexpr const char *kNodeEventFilter =
    ".1.3.6.1.4.1.11.2.17.1.0.58785794;.1.3.6.1.4.1.11.2.17.1.0.40000016;"
    ".1.3.6.1.4.1.11.2.17.1.0.58982403";

// Whether the sweep ends with its summary and the list of flagged objects (stand-alone modes).
enum class SweepSummary { kNone, kPrinted };

class NodeEventListener;

// How many probes the sweep keeps in flight at once, unless FERROW_SWEEP_WINDOW says otherwise.
inline constexpr size_t kDefaultSweepWindow = 64;
inline constexpr size_t kMaxSweepWindow = 512;

// The sweep's window: FERROW_SWEEP_WINDOW when it holds a number from 1 to kMaxSweepWindow,
// else kDefaultSweepWindow.
[[nodiscard]] size_t sweepWindow();

// Probes every object that is a node and supports SNMP and brings its isKestaraDevice field up
// to date (FlagTable::kSweep); with kPrinted then prints a summary and the flagged objects.
// Returns false when the sweep could not run: the first query failed or isKestaraDevice is not
// defined.
//
// At most `window` probes (1 to kMaxSweepWindow) are in flight at once; the outcomes are
// applied in the order of the nodes, so that every line, flag and count is that of probing the
// nodes one after the other (a window of 1 does exactly that). When `events` is given (opened),
// its node events are read and probed while the sweep runs.
[[nodiscard]] bool sweepDevices(SweepSummary summary, size_t window = kDefaultSweepWindow,
                                NodeEventListener *events = nullptr);

// What the event session's callback reports to: handed to OVsnmpEventOpen as the session's
// data, and so to nodeEventCallback as its last argument.
class NodeEventSink {
 public:
  // A node event named `objectId` (never 0).
  virtual void objectNamed(OVwObjectId objectId) = 0;
  // The session reported an error or a lost connection, and the callback has closed it.
  virtual void sessionFailed() = 0;

 protected:
  ~NodeEventSink() = default;
};

// The event session's callback: hands the object named by a node event (when it names one) to
// the sink, prints "Bad callback data.\n" for an event without a PDU, and closes the session
// and tells the sink when the session fails. Frees `pdu`. A null sink hears nothing.
void nodeEventCallback(int code, OVsnmpSession session, OVsnmpPdu *pdu, void *sink);

// The node event listener: the event session "Kestara Discovery", the objects its events name
// and their probes. The session is closed, and probes in flight abandoned (nothing printed or
// written for them), when the listener goes.
//
// Each object that an event names is probed as setDevice probes it (the same lines, printed
// together when the probe's outcome is known), asynchronously: at most kProbeWindow probes are
// in flight at once, so that a node that does not answer delays no other. Objects wait for a
// probe in a NodeEventQueue of at most kMaxWaitingObjects: an object named again while it waits
// is probed once, one named while its probe runs once more afterwards. Events for objects that
// the database does not hold are dropped before any SNMP work, without a line.
class NodeEventListener final : public NodeEventSink {
 public:
  static constexpr size_t kProbeWindow = 32;
  static constexpr size_t kMaxWaitingObjects = 65536;

  NodeEventListener();
  ~NodeEventListener();
  NodeEventListener(const NodeEventListener &) = delete;
  NodeEventListener &operator=(const NodeEventListener &) = delete;

  // Opens the event session ahead of listening, so that node events that arrive meanwhile (in
  // the sweep) are not lost. Returns false when it can't be opened; nothing is printed then:
  // listen() says so, once the sweep's lines are out. Opens at most once.
  [[nodiscard]] bool open();

  // One pass of the listener's work from another event loop (the sweep's), which reads the
  // session's events with OVsnmpReadPoll or OVsnmpRead: starts probes for the objects they
  // named and reports dropped events. Does nothing unless the session is open.
  void serve();

  enum class End {
    kStopRequested,  // `pmdSocket` became readable; its message is left unread
    kEnded,          // the session could not be opened or failed, or nothing is left to wait on
  };
  // Listens (opening the session unless open() did) and handles node events until an End.
  // A session that could not be opened prints "Could not OVsnmpSession for events %s\n"
  // here, and is never tried again. `pmdSocket` is watched only when above 0. The session is
  // closed before it returns. Runs at most once.
  [[nodiscard]] End listen(int pmdSocket);

  void objectNamed(OVwObjectId objectId) override;
  void sessionFailed() override;

 private:
  struct Probes;
  void startProbes();
  static void probeDone(DeviceProbe &probe, bool answered, void *context);

  OVsnmpSession session_ = 0;
  bool openTried_ = false;
  int openError_ = 0;               // OVsnmpErrno of a failed open
  bool stopListening_ = false;      // set when the session failed; never cleared
  std::unique_ptr<Probes> probes_;  // from open() until listen() ends
};

// The object id that a node event names: the number in the first binding named
// 1.3.6.1.4.1.11.2.17.2.3.0 that holds an OCTET STRING, provided the event's enterprise is
// 1.3.6.1.4.1.11.2.17.1. 0 when there is none (nothing is to be probed).
[[nodiscard]] OVwObjectId eventObjectId(const OVsnmpPdu &pdu);

// Reads a decimal number from the bytes: leading white space, one optional sign, then digits up
// to the first other byte, modulo 2^32; a '-' negates. 0 when there are no digits.
[[nodiscard]] uint32_t parseObjectNumber(std::span<const unsigned char> text);

#endif  // KESTARA_DISCOVERY_DISCOVERY_H
