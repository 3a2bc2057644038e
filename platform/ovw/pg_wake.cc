// pg_wake.cc - waking waiting processes through LISTEN/NOTIFY.
#include "pg_wake.h"

#include <poll.h>

#include <charconv>
#include <cstring>
#include <vector>

namespace kestara::ovw::pg {

namespace {

// The advisory lock of a party: the token's first 16 hex digits as a 64-bit key.
Param lockKey(std::string_view token) {
  uint64_t key = 0;
  (void)std::from_chars(token.data(), token.data() + 16, key, 16);
  int64_t signedKey = 0;
  std::memcpy(&signedKey, &key, sizeof key);
  return param(signedKey);
}

}  // namespace

std::string wakeChannel(std::string_view token) {
  if (!validWakeToken(token)) return "";
  return std::string(kWakeChannelPrefix) + std::string(token);
}

Result<std::unique_ptr<WakeListener>> WakeListener::create(const std::string &location,
                                                           const Limits &limits) {
  Result<std::unique_ptr<Connection>> c = Connection::open(location, limits);
  if (!c) return c.error();
  Result<std::string> token = newWakeToken();
  if (!token) return token.error();
  std::unique_ptr<WakeListener> listener(new WakeListener(std::move(*c), std::move(*token)));
  OVW_TRY(listener->claim());
  return listener;
}

Status WakeListener::claim() {
  // The lock first: while it is held, the party counts as alive.
  Result<Rows> locked =
      connection_->exec("SELECT pg_try_advisory_lock($1)", std::vector<Param>{lockKey(token_)});
  if (!locked) return locked.error();
  if (locked->text(0, 0) != "t") return makeError(OVW_ERR_DB, "the wake-up token is in use");
  return connection_->listen(wakeChannel(token_));
}

Status WakeListener::drain() {
  Result<std::vector<std::string>> got = connection_->takeNotifications();
  if (!got) return got.error();
  return Status::Ok();
}

bool WakeListener::wait(std::optional<std::chrono::milliseconds> timeout) {
  const int fd = connection_->socket();
  if (fd < 0) return true;
  pollfd p{fd, POLLIN, 0};
  const int ms = timeout ? static_cast<int>(std::min<int64_t>(timeout->count(), INT32_MAX)) : -1;
  int n;
  do {
    n = poll(&p, 1, ms);
  } while (n < 0 && errno == EINTR);
  return n > 0;
}

Status WakeListener::reconnect() {
  // The connection's session (and with it the lock and the LISTEN) is made again; the Connection
  // listens again by itself, so only the lock is taken here.
  OVW_TRY(connection_->reset());
  Result<Rows> locked =
      connection_->exec("SELECT pg_try_advisory_lock($1)", std::vector<Param>{lockKey(token_)});
  if (!locked) return locked.error();
  if (locked->text(0, 0) != "t") return makeError(OVW_ERR_DB, "the wake-up token is in use");
  return Status::Ok();
}

WakeOutcome wakeParty(Connection &c, std::string_view token) {
  const std::string channel = wakeChannel(token);
  if (channel.empty()) return WakeOutcome::kFailed;
  Status s = c.run("SELECT pg_notify($1, '')", std::vector<Param>{param(channel)});
  return s ? WakeOutcome::kWoken : WakeOutcome::kFailed;
}

WakeOutcome probeParty(Connection &c, std::string_view token) {
  if (!validWakeToken(token)) return WakeOutcome::kFailed;
  // Free means nobody holds it: the party is gone. Taken here, it is given back at once.
  Result<Rows> r =
      c.exec("SELECT CASE WHEN pg_try_advisory_lock($1) THEN pg_advisory_unlock($1) ELSE false END",
             std::vector<Param>{lockKey(token)});
  if (!r) return WakeOutcome::kFailed;
  return r->text(0, 0) == "t" ? WakeOutcome::kNoReader : WakeOutcome::kWoken;
}

}  // namespace kestara::ovw::pg
