// Tests of process management: notify datagrams, the stop descriptor, the station's name.
#include "OVs.h"

#include <gtest/gtest.h>
#include <poll.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <cstddef>
#include <cstdlib>
#include <cstring>
#include <optional>
#include <string>

#include "process.h"

namespace {

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

  ASSERT_EQ(kill(getpid(), SIGTERM), 0);  // blocked: it waits in the descriptor
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
