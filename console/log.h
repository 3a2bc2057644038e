// log.h - Mossick's message writer and its optional log file.
//
// Every message goes to standard output; while logging is on, it is also appended to the log
// file named with -l. The file is opened for each message and closed again, so it can be
// rotated or removed while the program runs: a removed file is created again by the next
// message, and a file that can no longer be opened ends logging for the rest of the run.
#ifndef KESTARA_CONSOLE_LOG_H
#define KESTARA_CONSOLE_LOG_H

#include <span>

class Log {
 public:
  // Writes a finished, NUL-terminated text to standard output unchanged and, while logging is
  // on, appends it to the log file. A null text writes nothing.
  void message(const char *text);

  // Reads the command line (program name included): each argument that begins with "-l" and
  // has another argument after it names a log file. A file that opens for appending becomes
  // the log file and receives a line of 49 equals signs; one that does not prints
  // "Unable to open logFile for Mossick" and leaves logging as it was. The arguments must
  // outlive the log: the file's name is not copied.
  void readOptions(std::span<char *const> args);

  // True while messages are also appended to the log file.
  [[nodiscard]] bool enabled() const { return enabled_; }
  // The path given after -l, or null before one opened.
  [[nodiscard]] const char *fileName() const { return fileName_; }
  // Ends logging to the file for the rest of the run (at shutdown).
  void stop() { enabled_ = false; }

 private:
  bool enabled_ = false;
  const char *fileName_ = nullptr;
};

#endif  // KESTARA_CONSOLE_LOG_H
