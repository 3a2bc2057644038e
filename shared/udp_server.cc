// udp_server.cc - the socket of the station's UDP servers, and the rules that keep a server
// from answering where it must not.
#include "udp_server.h"

#include <arpa/inet.h>
#include <sys/socket.h>

#include <algorithm>
#include <cerrno>
#include <cinttypes>
#include <cstdio>
#include <cstring>

#include "protocol.h"

bool reservedSourcePort(uint16_t port) {
  return port < 1024 || port == kGatewayPort || port == kQuenbyPort;
}

// --- ReplyLimiter -------------------------------------------------------------------------

bool ReplyLimiter::take(Bucket &bucket, Clock::time_point now) {
  const double seconds = std::chrono::duration<double>(now - bucket.last).count();
  bucket.tokens = std::min(limits_.burst, bucket.tokens + std::max(0.0, seconds) * limits_.rate);
  bucket.last = now;
  if (bucket.tokens < 1.0) return false;
  bucket.tokens -= 1.0;
  return true;
}

// Addresses whose bucket has filled up again have nothing to remember.
void ReplyLimiter::forgetIdle(Clock::time_point now) {
  const auto refill = std::chrono::duration<double>(limits_.burst / limits_.rate);
  std::erase_if(buckets_, [&](const auto &entry) {
    return std::chrono::duration<double>(now - entry.second.last) >= refill;
  });
}

bool ReplyLimiter::allow(in_addr address, Clock::time_point now) {
  const uint32_t host = ntohl(address.s_addr);
  if ((host >> 24) == 127) return true;
  auto it = buckets_.find(host);
  if (it == buckets_.end()) {
    if (buckets_.size() >= limits_.sources) forgetIdle(now);
    if (buckets_.size() >= limits_.sources) {
      if (!sharedUsed_) {
        shared_ = Bucket{limits_.burst, now};
        sharedUsed_ = true;
      }
      return take(shared_, now);
    }
    it = buckets_.emplace(host, Bucket{limits_.burst, now}).first;
  }
  return take(it->second, now);
}

// --- UdpServer ----------------------------------------------------------------------------

UdpServer::Open UdpServer::open(uint16_t port, std::string &reason) {
  fd_.reset(socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0));
  if (fd_.get() < 0) {
    reason = std::string("socket: ") + std::strerror(errno);
    return Open::kNoSocket;
  }
  sockaddr_in local{};
  local.sin_family = AF_INET;
  local.sin_addr.s_addr = htonl(INADDR_ANY);
  local.sin_port = htons(port);
  if (bind(fd_.get(), reinterpret_cast<sockaddr *>(&local), sizeof local) != 0) {
    reason = "bind to 0.0.0.0 port " + std::to_string(port) + ": " + std::strerror(errno);
    fd_.reset();
    return Open::kNoBind;
  }
  // The local address of each request, for its reply to leave from.
  const int on = 1;
  (void)setsockopt(fd_.get(), IPPROTO_IP, IP_PKTINFO, &on, sizeof on);
  port_ = port;
  return Open::kOpen;
}

void UdpServer::noteDrop(uint64_t &counter, const sockaddr_in &from) {
  ++counter;
  const auto now = Clock::now();
  if (reported_ && now - lastReport_ < kReportInterval) return;
  reported_ = true;
  lastReport_ = now;
  char address[INET_ADDRSTRLEN] = "?";
  inet_ntop(AF_INET, &from.sin_addr, address, sizeof address);
  std::printf("Dropped datagrams: %" PRIu64 " from reserved source ports, %" PRIu64
              " over the reply limit (last from %s port %u)\n",
              reservedPort_, overLimit_, address, static_cast<unsigned>(ntohs(from.sin_port)));
}

in_addr UdpServer::localAddressOf(msghdr &message) {
  in_addr local{};
  for (cmsghdr *c = CMSG_FIRSTHDR(&message); c != nullptr; c = CMSG_NXTHDR(&message, c)) {
    if (c->cmsg_level == IPPROTO_IP && c->cmsg_type == IP_PKTINFO) {
      in_pktinfo info{};
      std::memcpy(&info, CMSG_DATA(c), sizeof info);
      local = info.ipi_addr;
    }
  }
  return local;
}

UdpServer::Receive UdpServer::judge(size_t length, size_t capacity, const UdpPeer &from) {
  if (length > capacity || from.remote.sin_family != AF_INET) return Receive::kFailed;
  const uint16_t sourcePort = ntohs(from.remote.sin_port);
  if (reservedSourcePort(sourcePort) || sourcePort == port_) {
    noteDrop(reservedPort_, from.remote);
    return Receive::kDropped;
  }
  if (!limiter_.allow(from.remote.sin_addr, Clock::now())) {
    noteDrop(overLimit_, from.remote);
    return Receive::kDropped;
  }
  return Receive::kRequest;
}

UdpServer::Receive UdpServer::receive(std::span<char> buffer, size_t &length, UdpPeer &from) {
  from = UdpPeer{};
  iovec data{buffer.data(), buffer.size()};
  alignas(cmsghdr) char control[CMSG_SPACE(sizeof(in_pktinfo))];
  msghdr message{};
  message.msg_name = &from.remote;
  message.msg_namelen = sizeof from.remote;
  message.msg_iov = &data;
  message.msg_iovlen = 1;
  message.msg_control = control;
  message.msg_controllen = sizeof control;
  // MSG_TRUNC gives the datagram's real length, so that a longer one is seen as such.
  const ssize_t received = recvmsg(fd_.get(), &message, MSG_DONTWAIT | MSG_TRUNC);
  if (received < 0) {
    if (errno == EAGAIN || errno == EWOULDBLOCK || errno == EINTR) return Receive::kNothing;
    return Receive::kFailed;
  }
  from.local = localAddressOf(message);
  const Receive outcome = judge(static_cast<size_t>(received), buffer.size(), from);
  if (outcome == Receive::kRequest) length = static_cast<size_t>(received);
  return outcome;
}

struct UdpServer::Incoming {
  static constexpr size_t kMax = 64;
  struct Control {
    alignas(cmsghdr) char bytes[CMSG_SPACE(sizeof(in_pktinfo))];
  };
  std::array<mmsghdr, kMax> messages{};
  std::array<iovec, kMax> data{};
  std::array<Control, kMax> control{};
  const Datagram *batch = nullptr;  // what the headers point into
  size_t count = 0;                 // how many entries are set up
  size_t used = 0;                  // how many the last call filled

  // Sets entry i up to receive into batch[i].
  void arm(std::span<Datagram> b, size_t i) {
    b[i].from = UdpPeer{};
    data[i] = iovec{b[i].bytes.data(), b[i].bytes.size()};
    msghdr &m = messages[i].msg_hdr;
    m.msg_name = &b[i].from.remote;
    m.msg_namelen = sizeof b[i].from.remote;
    m.msg_iov = &data[i];
    m.msg_iovlen = 1;
    m.msg_control = control[i].bytes;
    m.msg_controllen = sizeof control[i].bytes;
    m.msg_flags = 0;
    messages[i].msg_len = 0;
  }
};

UdpServer::UdpServer(ReplyLimiter::Limits limits) : limiter_(limits) {}
UdpServer::~UdpServer() = default;
UdpServer::UdpServer(UdpServer &&) noexcept = default;
UdpServer &UdpServer::operator=(UdpServer &&) noexcept = default;

size_t UdpServer::receiveBatch(std::span<Datagram> batch) {
  return receiveInto(batch, MSG_DONTWAIT);
}

bool UdpServer::armWait(std::chrono::milliseconds most) {
  most = std::clamp(most, std::chrono::milliseconds(1), std::chrono::milliseconds(60'000));
  // The receive time-out counts from each call's start: the one set will do when it ends the
  // wait no later than asked (give or take kLateWake) and not much sooner either, so that a
  // server busy with requests sets it again seldom, not once per wait.
  if (armed_.count() > 0 && armed_ <= most + kLateWake && armed_ * 2 >= most) return true;
  const timeval limit{static_cast<time_t>(most.count() / 1000),
                      static_cast<suseconds_t>(most.count() % 1000 * 1000)};
  if (setsockopt(fd_.get(), SOL_SOCKET, SO_RCVTIMEO, &limit, sizeof limit) != 0) return false;
  armed_ = most;
  return true;
}

size_t UdpServer::waitBatch(std::span<Datagram> batch, std::chrono::milliseconds most) {
  if (!armWait(most)) return 0;
  return receiveInto(batch, MSG_WAITFORONE);
}

size_t UdpServer::receiveInto(std::span<Datagram> batch, int flags) {
  if (!incoming_) incoming_ = std::make_unique<Incoming>();
  Incoming &in = *incoming_;
  const size_t n = std::min(batch.size(), Incoming::kMax);
  if (in.batch != batch.data() || in.count != n) {
    for (size_t i = 0; i < n; ++i) in.arm(batch, i);
    in.batch = batch.data();
    in.count = n;
  } else {
    for (size_t i = 0; i < in.used; ++i) in.arm(batch, i);
  }
  in.used = 0;
  // MSG_TRUNC: each message's length is its datagram's real length.
  const int got =
      recvmmsg(fd_.get(), in.messages.data(), static_cast<unsigned>(n), flags | MSG_TRUNC, nullptr);
  if (got < 0) {
    if (errno == EAGAIN || errno == EWOULDBLOCK || errno == EINTR) return 0;
    in.used = 1;
    batch[0].outcome = Receive::kFailed;
    return 1;
  }
  in.used = static_cast<size_t>(got);
  for (size_t i = 0; i < static_cast<size_t>(got); ++i) {
    Datagram &d = batch[i];
    // No sender: the end of a socket whose reading side was shut down, not a datagram.
    if (in.messages[i].msg_hdr.msg_namelen == 0) return i;
    d.from.local = localAddressOf(in.messages[i].msg_hdr);
    d.length = in.messages[i].msg_len;
    d.outcome = judge(d.length, d.bytes.size(), d.from);
    if (d.outcome != Receive::kRequest) d.length = 0;
  }
  return static_cast<size_t>(got);
}

namespace {

// The room for the one control message of a reply: the local address it leaves from.
struct SourceControl {
  alignas(cmsghdr) char bytes[CMSG_SPACE(sizeof(in_pktinfo))];
};

// Fills `message` for a datagram of `data` to `to.remote`, from `to.local` unless that is the
// wildcard address (the kernel then chooses).
void describeReply(msghdr &message, iovec &data, SourceControl &control, const UdpPeer &to) {
  message = msghdr{};
  message.msg_name = const_cast<sockaddr_in *>(&to.remote);
  message.msg_namelen = sizeof to.remote;
  message.msg_iov = &data;
  message.msg_iovlen = 1;
  if (to.local.s_addr == htonl(INADDR_ANY)) return;
  std::memset(control.bytes, 0, sizeof control.bytes);
  message.msg_control = control.bytes;
  message.msg_controllen = sizeof control.bytes;
  cmsghdr *c = CMSG_FIRSTHDR(&message);
  c->cmsg_level = IPPROTO_IP;
  c->cmsg_type = IP_PKTINFO;
  c->cmsg_len = CMSG_LEN(sizeof(in_pktinfo));
  in_pktinfo info{};
  info.ipi_spec_dst = to.local;
  std::memcpy(CMSG_DATA(c), &info, sizeof info);
}

}  // namespace

bool UdpServer::send(std::span<const char> bytes, const UdpPeer &to) {
  iovec data{const_cast<char *>(bytes.data()), bytes.size()};
  SourceControl control;
  msghdr message;
  describeReply(message, data, control, to);
  const ssize_t sent = sendmsg(fd_.get(), &message, MSG_DONTWAIT);
  return sent == static_cast<ssize_t>(bytes.size());
}

void UdpServer::queue(std::span<const char> bytes, const UdpPeer &to) {
  if (queued_ == outbox_.size()) (void)flush();
  Outgoing &out = outbox_[queued_++];
  out.length = std::min(bytes.size(), out.bytes.size());
  std::copy_n(bytes.begin(), out.length, out.bytes.begin());
  out.to = to;
}

size_t UdpServer::flush() {
  std::array<mmsghdr, kOutbox> messages;
  std::array<iovec, kOutbox> data;
  std::array<SourceControl, kOutbox> control;
  for (size_t i = 0; i < queued_; ++i) {
    data[i] = iovec{outbox_[i].bytes.data(), outbox_[i].length};
    describeReply(messages[i].msg_hdr, data[i], control[i], outbox_[i].to);
    messages[i].msg_len = 0;
  }
  // A reply the kernel refuses is skipped; the ones after it still go out.
  size_t failed = 0;
  for (size_t at = 0; at < queued_;) {
    const int sent = sendmmsg(fd_.get(), messages.data() + at, static_cast<unsigned>(queued_ - at),
                              MSG_DONTWAIT);
    if (sent < 0 && errno == EINTR) continue;
    if (sent <= 0) {
      ++failed;
      ++at;
      continue;
    }
    at += static_cast<size_t>(sent);
  }
  queued_ = 0;
  return failed;
}
