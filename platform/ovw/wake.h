// wake.h - waking a process that waits for OVw events, across processes and network
// namespaces.
//
// Each waiting party owns a FIFO in the wake folder beside the database ("<db>-wake/<token>",
// the token being 32 random hex digits recorded in the database). It holds the FIFO open for
// reading and sleeps in poll() on it. A process that posts an event commits it first and then
// writes one byte into the FIFO of each party concerned: the sleeper wakes at once, and a byte
// written between the sleeper's look at the database and its poll() stays in the FIFO, so no
// wake-up is lost. FIFOs are files, so this works whatever network namespace either side is
// in, and nothing polls periodically.
//
// A FIFO that nobody holds open for reading (open fails with ENXIO) or that is gone belongs to a
// process that has ended: its attachment can be reclaimed. The FIFO is created and opened
// before its token is recorded, so a live party is never mistaken for a dead one.
#ifndef KESTARA_PLATFORM_OVW_WAKE_H
#define KESTARA_PLATFORM_OVW_WAKE_H

#include <sys/types.h>

#include <chrono>
#include <optional>
#include <string>
#include <string_view>

#include "result.h"

namespace kestara::ovw {

// "<database path>-wake".
std::string wakeFolder(const std::string &database_path);

// A fresh token: 32 random lower-case hex digits.
Result<std::string> newWakeToken();

// True for a well-formed token (32 lower-case hex digits). Tokens read from the database are
// checked before they become part of a path.
bool validWakeToken(std::string_view token);

// The receiving end: a FIFO with a fresh token, held open for reading (and for writing, so
// that poll() never reports a hang-up). The FIFO is removed when the object goes. The folder
// is created when missing (02770, with `group` when given); the FIFO is 0660 with the folder's
// group, whatever the umask.
class WakeReceiver {
 public:
  static Result<WakeReceiver> create(const std::string &folder,
                                     std::optional<gid_t> group = std::nullopt);
  WakeReceiver(WakeReceiver &&other) noexcept;
  WakeReceiver &operator=(WakeReceiver &&other) noexcept;
  WakeReceiver(const WakeReceiver &) = delete;
  WakeReceiver &operator=(const WakeReceiver &) = delete;
  ~WakeReceiver();

  const std::string &token() const { return token_; }
  int fd() const { return read_fd_; }
  // Reads away every pending wake-up byte.
  void drain();
  // Sleeps until a byte arrives or `timeout` passes (forever when none). True when woken.
  bool wait(std::optional<std::chrono::milliseconds> timeout);

 private:
  WakeReceiver() = default;
  void close();
  std::string path_;
  std::string token_;
  int read_fd_ = -1;
  int write_fd_ = -1;
};

enum class WakeOutcome {
  kWoken,     // the byte was written (or the FIFO is full: the party is woken already)
  kNoReader,  // nobody holds the FIFO: the party has ended
  kGone,      // no such FIFO
  kFailed     // anything else (permissions, not a FIFO, bad token)
};

WakeOutcome wakeParty(const std::string &folder, std::string_view token);
// Whether the party is still there, without waking it (kWoken meaning: alive).
WakeOutcome probeParty(const std::string &folder, std::string_view token);

// Writes one wake-up byte to `fd` (a FIFO or pipe). A reader that has gone gives -1 with errno
// EPIPE; the SIGPIPE that comes with it is kept from the process. Returns what write() returns.
ssize_t writeWakeByte(int fd);

// Removes the FIFO of a party that has ended (best effort).
void removeWakeFile(const std::string &folder, std::string_view token);

}  // namespace kestara::ovw

#endif  // KESTARA_PLATFORM_OVW_WAKE_H
