// The stand-in host's own log, as the host keeps it: nothing is written until
// a script calls SetLogParams(target, level); then each LogMsg(text, level)
// at or below that level adds a line of dashes and "LEVEL: text" to the
// target, a file (appended to) or "stderr".
#pragma once

#include <cstdio>
#include <mutex>
#include <string>

class StandInLog {
 public:
  StandInLog() = default;
  ~StandInLog();
  StandInLog(const StandInLog&) = delete;
  StandInLog& operator=(const StandInLog&) = delete;

  // False when the file cannot be opened; the log is left as it was.
  bool SetParams(const std::string& target, int level);
  // False for a level outside 1 to 4.
  bool Write(const std::string& text, int level);

 private:
  std::mutex mutex_;
  std::FILE* file_ = nullptr;
  bool ownsFile_ = false;
  int level_ = 0;
};
