// Tests of process management: notify datagrams, the stop descriptor, the station's name.
#include "OVs.h"

#include <gtest/gtest.h>
#include <netinet/in.h>
#include <poll.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstddef>
#include <cstdlib>
#include <cstring>
#include <optional>
#include <string>
#include <thread>

#include "descriptor.h"
#include "process.h"

namespace {

using kestara::platform::Descriptor;

// A datagram socket standing in for the service manager's notify socket.
class NotifyListener {
 public:
  // `abstract`: bind in the abstract namespace and name it with a leading '@'.
  explicit NotifyListener(bool abstract) {
    fd_ = socket(AF_UNIX, SOCK_DGRAM | SOCK_CLOEXEC, 0);
    sockaddr_un address{};
    address.sun_family = AF_UNIX;
    std::string name;
    socklen_t length;
    if (abstract) {
      name = "kestara-notify-" + std::to_string(getpid());
      std::memcpy(address.sun_path + 1, name.data(), name.size());
      length = static_cast<socklen_t>(offsetof(sockaddr_un, sun_path) + 1 + name.size());
      env_ = "@" + name;
    } else {
      env_ = dir_.file("notify");
      std::memcpy(address.sun_path, env_.data(), env_.size());
      length = sizeof address;
    }
    ok_ = fd_ >= 0 && bind(fd_, reinterpret_cast<sockaddr *>(&address), length) == 0;
  }
  ~NotifyListener() {
    if (fd_ >= 0) close(fd_);
  }
  bool ok() const { return ok_; }
  const std::string &env() const { return env_; }
  std::optional<std::string> receive(int timeout_ms = 2000) {
    pollfd p{fd_, POLLIN, 0};
    if (poll(&p, 1, timeout_ms) != 1) return std::nullopt;
    char buf[4096];
    ssize_t n = recv(fd_, buf, sizeof buf, 0);
    if (n < 0) return std::nullopt;
    return std::string(buf, static_cast<size_t>(n));
  }

 private:
  kt::TempDir dir_;
  int fd_ = -1;
  bool ok_ = false;
  std::string env_;
};

TEST(OVs, ReportsReadinessAndStopToAnAbstractNotifySocket) {
  NotifyListener listener(true);
  ASSERT_TRUE(listener.ok());
  setenv("NOTIFY_SOCKET", listener.env().c_str(), 1);
  int pmd = -1;
  ASSERT_EQ(OVsInit(&pmd), 0);
  EXPECT_GE(pmd, 0);
  EXPECT_EQ(OVsInitComplete(OVS_RSP_SUCCESS, "Tavrin has initialized"), 0);
  EXPECT_EQ(listener.receive(), "READY=1\nSTATUS=Tavrin has initialized\n");
  EXPECT_EQ(OVsDone("Tavrin exiting"), 0);
  EXPECT_EQ(listener.receive(), "STOPPING=1\nSTATUS=Tavrin exiting\n");
}

TEST(OVs, ReportsFailureToAPathNotifySocket) {
  NotifyListener listener(false);
  ASSERT_TRUE(listener.ok());
  setenv("NOTIFY_SOCKET", listener.env().c_str(), 1);
  int pmd = -1;
  ASSERT_EQ(OVsInit(&pmd), 0);
  // A status text can't smuggle in assignments of its own.
  EXPECT_EQ(OVsInitComplete(OVS_RSP_FAILURE, "no field\nREADY=1"), 0);
  EXPECT_EQ(listener.receive(), "STATUS=no field READY=1\nERRNO=1\n");
  EXPECT_EQ(OVsInitComplete(3, "x"), -1);
}

TEST(OVs, ReportBeforeInitFails) {
  GTEST_FLAG_SET(death_test_style, "threadsafe");  // a fresh process, where OVsInit never ran
  EXPECT_EXIT(std::exit(OVsInitComplete(OVS_RSP_SUCCESS, "early") == -1 ? 0 : 1),
              testing::ExitedWithCode(0), "");
}

TEST(OVs, WithoutNotifySocketReportsOnlySucceed) {
  unsetenv("NOTIFY_SOCKET");
  int pmd = -1;
  ASSERT_EQ(OVsInit(&pmd), 0);
  EXPECT_EQ(OVsInitComplete(OVS_RSP_SUCCESS, "ok"), 0);
  EXPECT_EQ(OVsDone(nullptr), 0);
}

TEST(OVs, UnreachableNotifySocketIsAFailure) {
  kt::TempDir dir;
  int pmd = -1;
  ASSERT_EQ(OVsInit(&pmd), 0);
  setenv("NOTIFY_SOCKET", dir.file("nobody-listens").c_str(), 1);
  EXPECT_EQ(OVsInitComplete(OVS_RSP_SUCCESS, "ok"), -1);
  EXPECT_EQ(OVsDone("bye"), -1);
  setenv("NOTIFY_SOCKET", "relative/path", 1);
  EXPECT_EQ(OVsDone("bye"), -1);
  setenv("NOTIFY_SOCKET", ("/" + std::string(200, 'x')).c_str(), 1);  // longer than sun_path
  EXPECT_EQ(OVsDone("bye"), -1);
  unsetenv("NOTIFY_SOCKET");
}

TEST(OVs, SigtermMakesTheDescriptorReadableOnce) {
  int pmd = -1;
  EXPECT_EQ(OVsInit(nullptr), -1);
  ASSERT_EQ(OVsInit(&pmd), 0);
  int again = -1;
  ASSERT_EQ(OVsInit(&again), 0);
  EXPECT_EQ(again, pmd);

  OVsPMDCommand command{};
  EXPECT_EQ(OVsReceive(&command), -1);  // nothing pending, and it does not block
  pollfd p{pmd, POLLIN, 0};
  EXPECT_EQ(poll(&p, 1, 0), 0);

  ASSERT_EQ(kill(getpid(), SIGTERM), 0);  // handled: it waits in the descriptor
  ASSERT_EQ(poll(&p, 1, 2000), 1);
  EXPECT_EQ(OVsReceive(&command), 0);
  EXPECT_EQ(command.code, SIGTERM);
  EXPECT_EQ(OVsReceive(&command), -1);
  EXPECT_EQ(poll(&p, 1, 0), 0);

  ASSERT_EQ(kill(getpid(), SIGINT), 0);
  ASSERT_EQ(poll(&p, 1, 2000), 1);
  EXPECT_EQ(OVsReceive(&command), 0);
  EXPECT_EQ(command.code, SIGINT);
}

// A UDP socket on 127.0.0.1 whose receives give up after five seconds.
Descriptor boundSocket() {
  Descriptor fd(socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0));
  sockaddr_in local{};
  local.sin_family = AF_INET;
  local.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  const timeval limit{5, 0};
  EXPECT_EQ(bind(fd.get(), reinterpret_cast<sockaddr *>(&local), sizeof local), 0);
  EXPECT_EQ(setsockopt(fd.get(), SOL_SOCKET, SO_RCVTIMEO, &limit, sizeof limit), 0);
  return fd;
}

// A stop ends a receive blocked on the socket given to OVsStopWakes, and is pending until it is
// taken; a stop that came before the socket was given shuts it down at once.
TEST(OVs, StopEndsAReceiveBlockedOnTheGivenSocket) {
  int pmd = -1;
  ASSERT_EQ(OVsInit(&pmd), 0);
  EXPECT_EQ(OVsStopWakes(-2), -1);
  Descriptor first = boundSocket();
  ASSERT_EQ(OVsStopWakes(first.get()), 0);
  EXPECT_EQ(OVsStopPending(), 0);
  std::thread stopper([] {
    std::this_thread::sleep_for(std::chrono::milliseconds(100));
    kill(getpid(), SIGTERM);
  });
  char byte = 0;
  const auto start = std::chrono::steady_clock::now();
  ssize_t got;
  do {
    got = recv(first.get(), &byte, 1, 0);  // a receive with a time-out is not restarted
  } while (got < 0 && errno == EINTR);
  const auto waited = std::chrono::steady_clock::now() - start;
  stopper.join();
  EXPECT_EQ(got, 0);  // the end of a shut-down socket, not the time-out's -1
  EXPECT_LT(waited, std::chrono::seconds(4));
  EXPECT_EQ(OVsStopPending(), 1);
  pollfd p{pmd, POLLIN, 0};
  EXPECT_EQ(poll(&p, 1, 2000), 1);
  OVsPMDCommand command{};
  EXPECT_EQ(OVsReceive(&command), 0);
  EXPECT_EQ(command.code, SIGTERM);
  EXPECT_EQ(OVsStopPending(), 0);

  ASSERT_EQ(OVsStopWakes(-1), 0);
  ASSERT_EQ(kill(getpid(), SIGINT), 0);
  EXPECT_EQ(OVsStopPending(), 1);
  Descriptor second = boundSocket();
  EXPECT_EQ(recv(second.get(), &byte, 1, MSG_DONTWAIT), -1);  // open: nothing to read
  ASSERT_EQ(OVsStopWakes(second.get()), 0);
  EXPECT_EQ(recv(second.get(), &byte, 1, 0), 0);  // shut down by the call: it does not wait
  EXPECT_EQ(OVsReceive(&command), 0);
  EXPECT_EQ(command.code, SIGINT);
  EXPECT_EQ(OVsStopPending(), 0);
  ASSERT_EQ(OVsStopWakes(-1), 0);
}

TEST(OVs, ServerNameComesFromTheEnvironmentOrTheHost) {
  setenv("OV_SERVER_NAME", "station.example", 1);
  EXPECT_STREQ(OVServerName(), "station.example");
  char host[256] = {};
  ASSERT_EQ(gethostname(host, sizeof host - 1), 0);
  setenv("OV_SERVER_NAME", "", 1);
  EXPECT_STREQ(OVServerName(), host);
  unsetenv("OV_SERVER_NAME");
  EXPECT_STREQ(OVServerName(), host);
}

}  // namespace
