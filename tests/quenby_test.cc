// System tests of the selection name server: the real quenby over UDP port 8008.
#include <gtest/gtest.h>

#include <string>

#include "process.h"
#include "test_database.h"

namespace {

using namespace std::chrono_literals;

constexpr uint16_t kPort = 8008;

// A quenby process with an object database of its own (empty: no session is running).
class Quenby {
 public:
  explicit Quenby(std::vector<std::string> args = {}) {
    std::vector<std::string> argv = {kt::binPath("quenby")};
    argv.insert(argv.end(), args.begin(), args.end());
    process_ =
        std::make_unique<kt::Process>(kt::Process::start(argv, {{"OVW_DATABASE", db_.path()}}));
    ready_ = process_->waitForOutput(": Listening on UDP port 8008\n", 10s);
  }
  bool ready() const { return ready_; }
  kt::Process &process() { return *process_; }
  kt::UdpClient &client() { return client_; }
  std::optional<std::string> ask(std::string_view request, std::chrono::milliseconds t = 5s) {
    return client_.request("127.0.0.1", kPort, request, t);
  }

 private:
  kt::TestDatabase db_{/*defineField=*/false};
  std::unique_ptr<kt::Process> process_;
  kt::UdpClient client_{"127.0.0.1"};
  bool ready_ = false;
};

TEST(QuenbyStartup, ListensAndNamesItself) {
  Quenby q;
  ASSERT_TRUE(q.ready()) << q.process().output();
  EXPECT_EQ(kt::binPath("quenby") + ": Listening on UDP port 8008\n", q.process().output());
}

TEST(QuenbyStartup, PortTakenIsAFailedStart) {
  kt::UdpClient squatter("0.0.0.0", kPort);
  ASSERT_TRUE(squatter.ok());
  auto r = kt::run({kt::binPath("quenby")}, {}, 10s);
  EXPECT_EQ(1, r.status);
  EXPECT_EQ(kt::binPath("quenby") + ": can't bind to local address\n", r.out);
  EXPECT_EQ(kt::binPath("quenby") + ": bind to 0.0.0.0 port 8008: Address already in use\n", r.err);
  // --help and --version start nothing, whatever else is on the command line.
  for (const char *option : {"--help", "--version"}) {
    auto info = kt::run({kt::binPath("quenby"), option}, {}, 10s);
    EXPECT_EQ(0, info.status);
    EXPECT_EQ(std::string::npos, info.out.find("bind")) << info.out;
  }
}

// Map mode: any first field but "getHostName" comes back as the reply.
TEST(QuenbyMapMode, OtherWordsComeBack) {
  Quenby q;
  ASSERT_TRUE(q.ready());
  EXPECT_EQ("hello", q.ask("hello#there"));
  EXPECT_TRUE(q.process().waitForOutput("\tReceived 11 bytes: hello#there\n", 2s));
  EXPECT_TRUE(q.process().waitForOutput(
      "  Returning hello to Tavrin on port " + std::to_string(q.client().localPort()) + "\n", 2s));
  EXPECT_EQ("", q.ask(""));
  EXPECT_EQ("", q.ask("#getHostName"));
  EXPECT_EQ("gethostname", q.ask("gethostname"));
  EXPECT_EQ("GETHOSTNAME", q.ask("GETHOSTNAME"));
  EXPECT_EQ("getHostName ", q.ask("getHostName "));
  EXPECT_EQ("getHostNamex", q.ask("getHostNamex#y"));
  EXPECT_EQ(std::string(127, 'a'), q.ask(std::string(127, 'a')));
  // A first field longer than the 128-byte name buffer holds is cut to its first 127 bytes.
  EXPECT_EQ(std::string(127, 'b'), q.ask(std::string(200, 'b') + "#c"));
  EXPECT_TRUE(q.process().running());
}

// "getHostName" in every accepted form reaches the lookup; with no session running in the
// database its text is the connection failure.
TEST(QuenbyMapMode, GetHostNameFormsReachTheLookup) {
  Quenby q;
  ASSERT_TRUE(q.ready());
  for (std::string request :
       {std::string("getHostName"), std::string("getHostName\0", 12),
        std::string("getHostName#more#fields"), std::string("getHostName\0junk", 16)}) {
    auto reply = q.ask(request);
    ASSERT_TRUE(reply) << request;
    EXPECT_EQ(0u, reply->rfind("failed:OVwInitSession, error ", 0)) << *reply;
    EXPECT_EQ('\n', reply->back());
    EXPECT_LE(reply->size(), 79u);
  }
  std::string out = q.process().output();
  EXPECT_NE(std::string::npos, out.find("\tReceived 11 bytes: getHostName\n"));
  EXPECT_NE(std::string::npos, out.find("\tReceived 12 bytes: getHostName\n"));
  EXPECT_NE(std::string::npos, out.find("\tReceived 23 bytes: getHostName#more#fields\n"));
  EXPECT_NE(std::string::npos, out.find(" bytes in Selection Name:failed:OVwInitSession, error "));
}

// Hostile datagrams: up to 256 bytes each gets exactly one reply of at most 128 bytes that does
// not end in NUL; longer ones get none; the server survives them all.
TEST(QuenbyBadInput, EveryDatagramGetsOneBoundedReply) {
  Quenby q;
  ASSERT_TRUE(q.ready());
  std::vector<std::string> requests = {
      "",
      "#",
      "##",
      std::string(1, '\0'),
      std::string(256, '\0'),
      std::string(256, 'A'),
      std::string(255, 'B') + "#",
      std::string(128, 'C'),
      "%n%s%n%s#%n%s",
      "\r\n\t\x7f\xff",
  };
  const std::vector<std::string> random = kt::randomDatagrams(8008, 60);
  requests.insert(requests.end(), random.begin(), random.end());
  ASSERT_NO_FATAL_FAILURE(kt::expectOneBoundedReplyEach(q.client(), kPort, requests));
  EXPECT_EQ(std::string(127, 'A'), q.ask(std::string(256, 'A')));
  EXPECT_EQ("%n%s%n%s", q.ask("%n%s%n%s#%n%s"));
  EXPECT_TRUE(q.process().waitForOutput("\tReceived 256 bytes: " + std::string(256, 'A') + "\n"));

  // Over 256 bytes: no reply, "recvfrom error", and the next request is served.
  ASSERT_TRUE(q.client().send("127.0.0.1", kPort, std::string(257, 'x')));
  EXPECT_FALSE(q.client().receive(300ms));
  ASSERT_TRUE(q.client().send("127.0.0.1", kPort, std::string(4000, 'x')));
  EXPECT_FALSE(q.client().receive(300ms));
  EXPECT_TRUE(q.process().waitForOutput("recvfrom error\nrecvfrom error\n", 2s));
  EXPECT_EQ("still", q.ask("still#here"));
  EXPECT_TRUE(q.process().running());
}

// The reply goes to the port the request came from, for each of several clients.
TEST(QuenbyMapMode, RepliesGoToTheRequestersPort) {
  Quenby q;
  ASSERT_TRUE(q.ready());
  kt::UdpClient a("127.0.0.1"), b("127.0.0.1");
  ASSERT_TRUE(a.send("127.0.0.1", kPort, "first"));
  ASSERT_TRUE(b.send("127.0.0.1", kPort, "second"));
  EXPECT_EQ("first", a.receive(3s));
  EXPECT_EQ("second", b.receive(3s));
}

class QuenbyLocalFile : public ::testing::Test {
 protected:
  kt::TempDir dir_;
};

TEST_F(QuenbyLocalFile, FirstLineForEveryRequest) {
  std::string path = dir_.write("reply", "alpha\nbeta\n");
  Quenby q({"SY_" + path});
  ASSERT_TRUE(q.ready());
  EXPECT_TRUE(q.process().waitForOutput("Will use localfile " + path + "\n", 1s));
  EXPECT_EQ("alpha", q.ask("getHostName"));
  EXPECT_EQ("alpha", q.ask("anything#else"));
  EXPECT_EQ("alpha", q.ask(""));
  EXPECT_EQ("alpha", q.ask(std::string(256, '\xff')));
  // The file is read afresh for each request.
  dir_.write("reply", "gamma");
  EXPECT_EQ("gamma", q.ask("getHostName"));
  // The request is neither looked at nor printed.
  EXPECT_EQ(std::string::npos, q.process().output().find("Received"));
  EXPECT_TRUE(q.process().waitForOutput("  Returning gamma to Tavrin on port ", 1s));
}

TEST_F(QuenbyLocalFile, EmptyFileGivesAnEmptyReply) {
  std::string path = dir_.write("reply", "");
  Quenby q({"SY_" + path});
  ASSERT_TRUE(q.ready());
  EXPECT_EQ("", q.ask("getHostName"));
  dir_.write("reply", "\nsecond line");
  EXPECT_EQ("", q.ask("getHostName"));
}

TEST_F(QuenbyLocalFile, MissingFileGetsNoReplyUntilItExists) {
  std::string path = dir_.file("later");
  Quenby q({"SY_" + path});
  ASSERT_TRUE(q.ready());
  EXPECT_FALSE(q.ask("getHostName", 300ms));
  EXPECT_FALSE(q.ask("getHostName", 300ms));
  EXPECT_TRUE(q.process().waitForOutput(
      "Can't open file SY_" + path + "\nCan't open file SY_" + path + "\n", 2s));
  dir_.write("later", "router7\n");
  EXPECT_EQ("router7", q.ask("getHostName"));
}

TEST_F(QuenbyLocalFile, LongLinesAreCutAt128) {
  std::string line(200, 'x');
  for (size_t i = 0; i < line.size(); ++i) line[i] = static_cast<char>('a' + i % 26);
  std::string path = dir_.write("reply", line + "\nnext\n");
  Quenby q({"SY_" + path});
  ASSERT_TRUE(q.ready());
  EXPECT_EQ(line.substr(0, 128), q.ask("getHostName"));
  dir_.write("reply", std::string(128, 'y'));
  EXPECT_EQ(std::string(128, 'y'), q.ask("getHostName"));
  dir_.write("reply", std::string(128, 'z') + "\r\n");
  EXPECT_EQ(std::string(128, 'z'), q.ask("getHostName"));
}

TEST_F(QuenbyLocalFile, CarriageReturnLineFeedEndsTheLine) {
  std::string path = dir_.write("reply", "router7\r\nsecond\r\n");
  Quenby q({"SY_" + path});
  ASSERT_TRUE(q.ready());
  EXPECT_EQ("router7", q.ask("x"));
  // A carriage return and line feed pair after 127 characters is one line end.
  dir_.write("reply", std::string(127, 'c') + "\r\n");
  EXPECT_EQ(std::string(127, 'c'), q.ask("x"));
  // A carriage return that no line feed follows is part of the text.
  dir_.write("reply", "a\rb\n");
  EXPECT_EQ("a\rb", q.ask("x"));
  dir_.write("reply", "trailing\r");
  EXPECT_EQ("trailing\r", q.ask("x"));
}

TEST_F(QuenbyLocalFile, ReplyEndsAtANulByte) {
  std::string path = dir_.write("reply", std::string("abc\0def\n", 8));
  Quenby q({"SY_" + path});
  ASSERT_TRUE(q.ready());
  EXPECT_EQ("abc", q.ask("x"));
}

// Only exactly one argument beginning with the capitals "SY" and a third character selects the
// file; anything else is the map mode, where words come back.
TEST_F(QuenbyLocalFile, OtherArgumentsMeanMapMode) {
  std::string path = dir_.write("reply", "alpha\n");
  for (std::vector<std::string> args :
       {std::vector<std::string>{"sy_" + path}, std::vector<std::string>{"SY_" + path, "x"},
        std::vector<std::string>{"SY"}, std::vector<std::string>{"-x"}}) {
    Quenby q(args);
    ASSERT_TRUE(q.ready()) << args[0];
    EXPECT_EQ("hello", q.ask("hello")) << args[0];
    EXPECT_EQ(std::string::npos, q.process().output().find("Will use localfile")) << args[0];
  }
  // The third character is not examined.
  Quenby q({"SYx" + path});
  ASSERT_TRUE(q.ready());
  EXPECT_EQ("alpha", q.ask("hello"));
}

// "SY_" with no file name after it is the local-file mode with a file that can't be read:
// every request goes unanswered, as the start-up warning says.
TEST_F(QuenbyLocalFile, NoFileNameAnswersNothing) {
  Quenby q({"SY_"});
  ASSERT_TRUE(q.ready());
  EXPECT_NE(std::string::npos, q.process().output().find("Will use localfile \n"));
  EXPECT_NE(std::string::npos, q.process().output().find(": no file name after SY_"));
  EXPECT_FALSE(q.ask("hello", 300ms));
  EXPECT_TRUE(q.process().waitForOutput("Can't open file SY_\n"));
}

}  // namespace
