// Tests of Mossick's command line and log file.
#include "log.h"

#include <gtest/gtest.h>
#include <sys/stat.h>

#include <filesystem>
#include <string>
#include <vector>

#include "process.h"

namespace {

class LogTest : public ::testing::Test {
 protected:
  // Runs the option scan over `args` (argv[0] first) and returns what it printed.
  std::string scan(std::vector<std::string> args) {
    args_ = std::move(args);
    argv_.clear();
    for (std::string &a : args_) argv_.push_back(a.data());
    testing::internal::CaptureStdout();
    log_.readOptions(argv_);
    std::fflush(stdout);
    return testing::internal::GetCapturedStdout();
  }
  static bool exists(const std::string &path) { return std::filesystem::exists(path); }

  Log log_;
  kt::TempDir dir_;
  std::vector<std::string> args_;
  std::vector<char *> argv_;
};

const std::string kEquals = std::string(49, '=') + "\n";

TEST_F(LogTest, WithoutOptionNothingIsLoggedAndNoFileMade) {
  EXPECT_EQ("", scan({"mossick", dir_.file("x.log"), "-x"}));
  EXPECT_FALSE(log_.enabled());
  testing::internal::CaptureStdout();
  log_.message("hello\n");
  EXPECT_EQ("hello\n", testing::internal::GetCapturedStdout());
  EXPECT_TRUE(std::filesystem::is_empty(dir_.path()));
}

TEST_F(LogTest, OptionForms) {
  // "-l" as the last argument names nothing.
  EXPECT_EQ("", scan({"mossick", "-l"}));
  EXPECT_FALSE(log_.enabled());

  // Any argument that begins with -l takes the next one as its path.
  std::string path = dir_.file("a.log");
  EXPECT_EQ(kEquals, scan({"mossick", "-lx", path}));
  EXPECT_TRUE(log_.enabled());
  EXPECT_EQ(path, log_.fileName());
  EXPECT_EQ(kEquals, kt::readFile(path));
}

TEST_F(LogTest, SecondFileTakesOverLaterMessages) {
  std::string first = dir_.file("first.log"), second = dir_.file("second.log");
  scan({"mossick", "-l", first, "-l", second});
  testing::internal::CaptureStdout();
  log_.message("later\n");
  testing::internal::GetCapturedStdout();
  EXPECT_EQ(kEquals, kt::readFile(first));
  EXPECT_EQ(kEquals + "later\n", kt::readFile(second));
}

TEST_F(LogTest, UnopenableFileLeavesLoggingAsItWas) {
  std::string first = dir_.file("first.log");
  std::string bad = dir_.file("missing/dir/x.log");
  EXPECT_EQ("Unable to open logFile for Mossick\n", scan({"mossick", "-l", bad}));
  EXPECT_FALSE(log_.enabled());
  EXPECT_EQ(kEquals + "Unable to open logFile for Mossick\n",
            scan({"mossick", "-l", first, "-l", bad}));
  EXPECT_TRUE(log_.enabled());
  EXPECT_EQ(first, log_.fileName());
  EXPECT_FALSE(exists(bad));
}

TEST_F(LogTest, TextsAreAppendedUnchanged) {
  std::string path = dir_.write("old.log", "before\n");
  scan({"mossick", "-l", path});
  testing::internal::CaptureStdout();
  log_.message("no newline");
  log_.message(" %s %d %n\n");
  log_.message("");
  log_.message(nullptr);
  EXPECT_EQ("no newline %s %d %n\n", testing::internal::GetCapturedStdout());
  EXPECT_EQ("before\n" + kEquals + "no newline %s %d %n\n", kt::readFile(path));
}

TEST_F(LogTest, RemovedFileIsMadeAgainRemovedFolderEndsLogging) {
  std::string folder = dir_.file("logs");
  ASSERT_EQ(0, mkdir(folder.c_str(), 0700));
  std::string path = folder + "/m.log";
  scan({"mossick", "-l", path});
  testing::internal::CaptureStdout();
  std::filesystem::remove(path);
  log_.message("one\n");
  EXPECT_EQ("one\n", kt::readFile(path));

  std::filesystem::remove_all(folder);
  log_.message("two\n");
  EXPECT_FALSE(log_.enabled());
  // Logging stays off even when the folder comes back.
  ASSERT_EQ(0, mkdir(folder.c_str(), 0700));
  log_.message("three\n");
  EXPECT_EQ("one\ntwo\nthree\n", testing::internal::GetCapturedStdout());
  EXPECT_FALSE(exists(path));
}

}  // namespace
