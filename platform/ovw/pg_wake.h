// pg_wake.h - waking a process that waits for OVw events when the database is on a PostgreSQL
// server, from any host: LISTEN/NOTIFY instead of the FIFOs beside a database file.
//
// Each waiting party listens on its own channel, "ovw_<token>" (the token as in wake.h: 32
// random hex digits, recorded in the database), and sleeps in poll() on its connection's
// socket. A process that posts an event notifies the channel of each party concerned within the
// transaction that posts it, so the server delivers the notifications with the commit (and
// none when the post is rolled back). A notification sent between the sleeper's look at the
// database and its poll() waits in the socket, so no wake-up is lost. The party also holds a
// session-level advisory lock derived from its token for as long as it is connected: when its
// process ends, or its connection is lost, the server releases the lock, and others can tell that
// the attachment may be reclaimed.
#ifndef KESTARA_PLATFORM_OVW_PG_WAKE_H
#define KESTARA_PLATFORM_OVW_PG_WAKE_H

#include <chrono>
#include <memory>
#include <optional>
#include <string>
#include <string_view>

#include "pg_db.h"
#include "result.h"
#include "wake.h"

namespace kestara::ovw::pg {

// A party's channel is this prefix and its token.
inline constexpr std::string_view kWakeChannelPrefix = "ovw_";
// The channel of a valid token; "" otherwise.
std::string wakeChannel(std::string_view token);

// The receiving end, on a connection of its own (its socket is what the process polls).
class WakeListener {
 public:
  // Connects to `location`, makes a fresh token, takes its lock and listens on its channel.
  static Result<std::unique_ptr<WakeListener>> create(const std::string &location,
                                                      const Limits &limits = {});
  const std::string &token() const { return token_; }
  // The socket to poll; -1 while the connection is lost.
  int fd() const { return connection_->socket(); }
  // Reads away every pending notification. A lost connection is OVW_ERR_DB: reconnect(), then
  // read the database again, since notifications sent meanwhile are gone.
  Status drain();
  // Sleeps until a notification arrives or `timeout` passes (forever when none). True when
  // woken; a lost connection also wakes (the next drain() reports it).
  bool wait(std::optional<std::chrono::milliseconds> timeout);
  // Connects again, with the same token, lock and channel.
  Status reconnect();

 private:
  WakeListener(std::unique_ptr<Connection> c, std::string token)
      : connection_(std::move(c)), token_(std::move(token)) {}
  Status claim();
  std::unique_ptr<Connection> connection_;
  std::string token_;
};

// Wakes the party of `token` through `c` (delivered at once, or at the commit of the
// transaction that `c` is in).
WakeOutcome wakeParty(Connection &c, std::string_view token);
// Whether the party is still there, without waking it: kWoken (alive) or kNoReader (ended).
WakeOutcome probeParty(Connection &c, std::string_view token);

}  // namespace kestara::ovw::pg

#endif  // KESTARA_PLATFORM_OVW_PG_WAKE_H
