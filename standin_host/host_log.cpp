#include "host_log.h"

StandInLog::~StandInLog() {
  if (ownsFile_) std::fclose(file_);
}

bool StandInLog::SetParams(const std::string& target, int level) {
  std::FILE* file = target == "stderr" ? stderr : std::fopen(target.c_str(), "a");
  if (file == nullptr) return false;
  std::lock_guard<std::mutex> lock(mutex_);
  if (ownsFile_) std::fclose(file_);
  file_ = file;
  ownsFile_ = file != stderr;
  level_ = level;
  return true;
}

bool StandInLog::Write(const std::string& text, int level) {
  static const char* const kNames[] = {"ERROR", "WARNING", "INFO", "DEBUG"};
  if (level < 1 || level > 4) return false;
  std::lock_guard<std::mutex> lock(mutex_);
  if (file_ == nullptr || level > level_) return true;
  std::fprintf(file_, "---------------------------------------------------------------------\n%s: %s\n",
               kNames[level - 1], text.c_str());
  std::fflush(file_);
  return true;
}
