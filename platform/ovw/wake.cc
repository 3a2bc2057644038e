// wake.cc - FIFO wake-ups between processes that share the OVw database.
#include "wake.h"

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/random.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <utility>

#include "descriptor.h"
#include "shared_files.h"

namespace kestara::ovw {

namespace {

constexpr size_t kTokenLength = 32;

Result<std::string> randomToken() {
  unsigned char bytes[kTokenLength / 2];
  size_t got = 0;
  while (got < sizeof bytes) {
    ssize_t n = getrandom(bytes + got, sizeof bytes - got, 0);
    if (n < 0) {
      if (errno == EINTR) continue;
      return makeError(OVW_ERR_DB, std::string("getrandom: ") + std::strerror(errno));
    }
    got += static_cast<size_t>(n);
  }
  static constexpr char kHex[] = "0123456789abcdef";
  std::string token;
  token.reserve(kTokenLength);
  for (unsigned char b : bytes) {
    token.push_back(kHex[b >> 4]);
    token.push_back(kHex[b & 0xf]);
  }
  return token;
}

}  // namespace

Result<std::string> newWakeToken() { return randomToken(); }

constexpr std::string_view kWakeSuffix = "-wake";

std::string wakeFolder(const std::string &database_path) {
  return database_path + std::string(kWakeSuffix);
}

namespace {

// The database whose wake folder `folder` is.
std::string databaseOf(const std::string &folder) {
  if (folder.size() > kWakeSuffix.size() &&
      folder.compare(folder.size() - kWakeSuffix.size(), kWakeSuffix.size(), kWakeSuffix) == 0) {
    return folder.substr(0, folder.size() - kWakeSuffix.size());
  }
  return folder;
}

}  // namespace

bool validWakeToken(std::string_view token) {
  if (token.size() != kTokenLength) return false;
  for (char c : token) {
    if (!((c >= '0' && c <= '9') || (c >= 'a' && c <= 'f'))) return false;
  }
  return true;
}

Result<WakeReceiver> WakeReceiver::create(const std::string &folder, std::optional<gid_t> group) {
  OVW_TRY(makeSharedFolder(folder, group));
  struct stat folder_st {};
  if (lstat(folder.c_str(), &folder_st) != 0 || !S_ISDIR(folder_st.st_mode)) {
    return makeError(OVW_ERR_NO_DATABASE, folder + " is not a folder");
  }
  Result<std::string> token = randomToken();
  if (!token) return token.error();
  WakeReceiver r;
  r.token_ = *token;
  r.path_ = folder + "/" + r.token_;
  if (mkfifo(r.path_.c_str(), kSharedFileMode) != 0) {
    int error = errno;
    r.path_.clear();
    if (error == EACCES) return accessDenied(databaseOf(folder), folder);
    return makeError(OVW_ERR_NO_DATABASE,
                     "cannot create " + folder + "/" + r.token_ + ": " + std::strerror(error));
  }
  r.read_fd_ = open(r.path_.c_str(), O_RDONLY | O_NONBLOCK | O_CLOEXEC | O_NOFOLLOW);
  if (r.read_fd_ < 0) {
    return makeError(OVW_ERR_NO_DATABASE, "cannot open " + r.path_ + ": " + std::strerror(errno));
  }
  // The umask may have narrowed the mode, and a folder without the setgid bit gives the
  // creator's group: posters are the members of the folder's group.
  struct stat st {};
  if (fstat(r.read_fd_, &st) == 0 && st.st_gid != folder_st.st_gid) {
    (void)fchown(r.read_fd_, static_cast<uid_t>(-1), folder_st.st_gid);
  }
  if (fchmod(r.read_fd_, kSharedFileMode) != 0) {
    return makeError(OVW_ERR_NO_DATABASE,
                     "cannot set the mode of " + r.path_ + ": " + std::strerror(errno));
  }
  // Our own writer keeps poll() from reporting POLLHUP after a poster closes its end.
  r.write_fd_ = open(r.path_.c_str(), O_WRONLY | O_NONBLOCK | O_CLOEXEC | O_NOFOLLOW);
  if (r.write_fd_ < 0) {
    return makeError(OVW_ERR_NO_DATABASE, "cannot open " + r.path_ + ": " + std::strerror(errno));
  }
  return r;
}

WakeReceiver::WakeReceiver(WakeReceiver &&other) noexcept { *this = std::move(other); }

WakeReceiver &WakeReceiver::operator=(WakeReceiver &&other) noexcept {
  if (this != &other) {
    close();
    path_ = std::move(other.path_);
    token_ = std::move(other.token_);
    read_fd_ = std::exchange(other.read_fd_, -1);
    write_fd_ = std::exchange(other.write_fd_, -1);
    other.path_.clear();
  }
  return *this;
}

WakeReceiver::~WakeReceiver() { close(); }

void WakeReceiver::close() {
  if (!path_.empty()) unlink(path_.c_str());
  if (read_fd_ >= 0) ::close(read_fd_);
  if (write_fd_ >= 0) ::close(write_fd_);
  read_fd_ = write_fd_ = -1;
  path_.clear();
}

void WakeReceiver::drain() {
  char buf[256];
  while (read_fd_ >= 0) {
    ssize_t n = read(read_fd_, buf, sizeof buf);
    if (n > 0) continue;
    if (n < 0 && errno == EINTR) continue;
    break;  // EAGAIN: empty
  }
}

bool WakeReceiver::wait(std::optional<std::chrono::milliseconds> timeout) {
  using Clock = std::chrono::steady_clock;
  auto deadline = timeout ? Clock::now() + *timeout : Clock::time_point::max();
  for (;;) {
    int ms = -1;
    if (timeout) {
      auto left = std::chrono::ceil<std::chrono::milliseconds>(deadline - Clock::now());
      if (left.count() <= 0) return false;
      ms = left.count() > 1000000 ? 1000000 : static_cast<int>(left.count());
    }
    pollfd p{read_fd_, POLLIN, 0};
    int n = poll(&p, 1, ms);
    if (n > 0) return true;
    if (n == 0) {
      if (timeout && Clock::now() >= deadline) return false;
      continue;
    }
    if (errno != EINTR) return false;
  }
}

ssize_t writeWakeByte(int fd) {
  // The party can close its FIFO between our open() and this write(). The kernel then raises
  // SIGPIPE, which would end the (innocent) writer. Hold the signal back in this thread for
  // the write, and take away a SIGPIPE that the write itself raised, so that only EPIPE remains.
  sigset_t pipe_only;
  sigset_t old_mask;
  sigemptyset(&pipe_only);
  sigaddset(&pipe_only, SIGPIPE);
  pthread_sigmask(SIG_BLOCK, &pipe_only, &old_mask);
  sigset_t pending;
  sigemptyset(&pending);
  sigpending(&pending);
  bool was_pending = sigismember(&pending, SIGPIPE) == 1;

  char byte = 1;
  ssize_t n;
  do {
    n = write(fd, &byte, 1);
  } while (n < 0 && errno == EINTR);
  int saved_errno = errno;

  if (n < 0 && saved_errno == EPIPE && !was_pending) {
    const timespec no_wait{};
    while (sigtimedwait(&pipe_only, nullptr, &no_wait) < 0 && errno == EINTR) {
    }
  }
  pthread_sigmask(SIG_SETMASK, &old_mask, nullptr);
  errno = saved_errno;
  return n;
}

namespace {

WakeOutcome reachParty(const std::string &folder, std::string_view token, bool write_byte) {
  if (!validWakeToken(token)) return WakeOutcome::kFailed;
  std::string path = folder + "/" + std::string(token);
  const platform::Descriptor fd(open(path.c_str(), O_WRONLY | O_NONBLOCK | O_CLOEXEC | O_NOFOLLOW));
  if (!fd.ok()) {
    if (errno == ENXIO) return WakeOutcome::kNoReader;
    if (errno == ENOENT) return WakeOutcome::kGone;
    return WakeOutcome::kFailed;
  }
  struct stat st {};
  WakeOutcome outcome = WakeOutcome::kFailed;
  if (fstat(fd.get(), &st) == 0 && S_ISFIFO(st.st_mode)) {
    if (!write_byte) return WakeOutcome::kWoken;
    ssize_t n = writeWakeByte(fd.get());
    if (n == 1 || (n < 0 && errno == EAGAIN)) outcome = WakeOutcome::kWoken;
  }
  return outcome;
}

}  // namespace

WakeOutcome wakeParty(const std::string &folder, std::string_view token) {
  return reachParty(folder, token, true);
}

WakeOutcome probeParty(const std::string &folder, std::string_view token) {
  return reachParty(folder, token, false);
}

void removeWakeFile(const std::string &folder, std::string_view token) {
  if (!validWakeToken(token)) return;
  std::string path = folder + "/" + std::string(token);
  struct stat st {};
  if (lstat(path.c_str(), &st) == 0 && S_ISFIFO(st.st_mode)) unlink(path.c_str());
}

}  // namespace kestara::ovw
