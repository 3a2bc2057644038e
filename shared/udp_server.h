// udp_server.h - the socket of the station's UDP servers (the gateway and the selection name
// server), and the rules that keep a server from answering where it must not.
//
// A server answers every request at its source address and port, so a forged source can aim
// its replies anywhere. Datagrams from well-known service ports (0-1023), from either
// server's port (8088, 8008: two servers that answered each other would echo for ever), and
// replies beyond a per-address budget (so that a server can't be used to reflect traffic at a
// forged victim) are dropped unanswered and counted.
#ifndef KESTARA_SHARED_UDP_SERVER_H
#define KESTARA_SHARED_UDP_SERVER_H

#include <netinet/in.h>
#include <sys/socket.h>

#include <array>
#include <chrono>
#include <cstdint>
#include <memory>
#include <span>
#include <string>
#include <unordered_map>

#include "handles.h"
#include "protocol.h"

// A token bucket per source address: each reply takes a token; tokens come back at `rate`
// per second up to `burst`. Loopback sources (127.0.0.0/8) are not limited: no datagram from
// outside the host can carry them, so replies to them can't be aimed at a victim elsewhere.
class ReplyLimiter {
 public:
  using Clock = std::chrono::steady_clock;
  struct Limits {
    double rate = 100;      // replies per second per address, sustained
    double burst = 200;     // replies per address at once
    size_t sources = 4096;  // addresses tracked one by one; others share one bucket
  };

  explicit ReplyLimiter(Limits limits) : limits_(limits) {}
  ReplyLimiter() : ReplyLimiter(Limits{}) {}

  // True when a reply to `address` (network byte order) is within its budget, which it then
  // spends.
  [[nodiscard]] bool allow(in_addr address, Clock::time_point now);

 private:
  struct Bucket {
    double tokens = 0;
    Clock::time_point last;
  };
  bool take(Bucket &bucket, Clock::time_point now);
  void forgetIdle(Clock::time_point now);

  Limits limits_;
  std::unordered_map<uint32_t, Bucket> buckets_;
  Bucket shared_;  // for addresses beyond `sources`
  bool sharedUsed_ = false;
};

// Where a request came from, and the local address it was sent to: the reply goes back from
// that address, so that a client that waits on a connected socket (the gateway waiting for a
// console) takes it, whichever of the host's addresses it asked.
struct UdpPeer {
  sockaddr_in remote{};
  in_addr local{};
};

class UdpServer {
 public:
  using Clock = std::chrono::steady_clock;

  enum class Open { kOpen, kNoSocket, kNoBind };
  enum class Receive {
    kRequest,  // a datagram to answer: its bytes and sender are filled in
    kNothing,  // nothing is waiting (or the wait was interrupted)
    kFailed,   // the receive failed, or the datagram is longer than the buffer
    kDropped,  // a datagram that must not be answered: counted, nothing else
  };

  explicit UdpServer(ReplyLimiter::Limits limits = {});
  ~UdpServer();
  UdpServer(UdpServer &&) noexcept;
  UdpServer &operator=(UdpServer &&) noexcept;

  // Opens a UDP socket bound to `port` on every local address. No receive or send on it
  // blocks, but waitBatch's. On failure `reason` says what failed, with the address, the port
  // and the system's error text.
  [[nodiscard]] Open open(uint16_t port, std::string &reason);
  int fd() const { return fd_.get(); }
  void close() { fd_.reset(); }

  // Reads one datagram into `buffer` (its length in `length`, its sender in `from`). A
  // datagram that does not fit the buffer whole is a failed receive, never half a request.
  [[nodiscard]] Receive receive(std::span<char> buffer, size_t &length, UdpPeer &from);

  // One datagram of a batch: its bytes and its sender.
  struct Datagram {
    std::array<char, kRequestSize> bytes;
    size_t length = 0;
    UdpPeer from;
    Receive outcome = Receive::kNothing;  // kRequest, kFailed or kDropped
  };
  // Reads what waits, up to batch.size() datagrams, in one system call; returns how many were
  // read (0 when nothing waits). Each is judged as receive() judges it.
  [[nodiscard]] size_t receiveBatch(std::span<Datagram> batch);
  // As receiveBatch, but waits up to about `most` (at least 1 ms, at most a minute; up to
  // kLateWake later) for the first datagram, so that a server with nothing else to watch waits
  // and receives in one system call. Returns 0 when none came in time, when a signal came, or
  // when the socket's reading side was shut down (a stop: see OVsStopWakes); a caller then
  // looks at its other descriptors before it waits here again.
  [[nodiscard]] size_t waitBatch(std::span<Datagram> batch, std::chrono::milliseconds most);
  static constexpr std::chrono::milliseconds kLateWake{100};

  // Sends `bytes` to `to.remote`, from `to.local`. True when the whole datagram went out.
  [[nodiscard]] bool send(std::span<const char> bytes, const UdpPeer &to);

  // Replies that wait to go out together, in one system call, at the next flush(): a server
  // that answers several requests in one pass of its loop queues them instead of sending each.
  // `bytes` is cut to kReplySize bytes. A full queue is flushed first; flush() returns how many
  // replies could not be sent.
  void queue(std::span<const char> bytes, const UdpPeer &to);
  [[nodiscard]] size_t flush();

  uint64_t droppedFromReservedPorts() const { return reservedPort_; }
  uint64_t droppedOverLimit() const { return overLimit_; }

  // How often the drop counters are reported on the console while drops go on.
  static constexpr std::chrono::seconds kReportInterval{60};

 private:
  void noteDrop(uint64_t &counter, const sockaddr_in &from);
  // The local address of a received message, and whether its sender may be answered.
  static in_addr localAddressOf(msghdr &message);
  Receive judge(size_t length, size_t capacity, const UdpPeer &from);
  size_t receiveInto(std::span<Datagram> batch, int flags);
  // Sets the socket's receive time-out for a wait of about `most`, unless the one set will do.
  bool armWait(std::chrono::milliseconds most);

  // The message headers of receiveBatch, kept from one call to the next for the same batch:
  // setting up a whole batch for each wake-up would cost more than the one datagram that
  // usually waits. Only the entries a call filled are set up again.
  struct Incoming;
  std::unique_ptr<Incoming> incoming_;

  struct Outgoing {
    std::array<char, kReplySize> bytes;
    size_t length = 0;
    UdpPeer to;
  };
  static constexpr size_t kOutbox = 64;

  UniqueFd fd_;
  uint16_t port_ = 0;
  std::chrono::milliseconds armed_{0};  // the socket's receive time-out (0: none set)
  std::array<Outgoing, kOutbox> outbox_;
  size_t queued_ = 0;
  ReplyLimiter limiter_;
  uint64_t reservedPort_ = 0;
  uint64_t overLimit_ = 0;
  bool reported_ = false;
  Clock::time_point lastReport_;
};

// True for a source port from which no request is answered: the well-known ports, and the
// gateway's and the selection name server's own.
[[nodiscard]] bool reservedSourcePort(uint16_t port);

#endif  // KESTARA_SHARED_UDP_SERVER_H
