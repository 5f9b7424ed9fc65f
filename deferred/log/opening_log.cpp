#include "opening_log.h"

#include "deferred/calls/call_text.h"
#include "deferred/log/host_log.h"

namespace {
std::string LimitText(int32_t limit) { return limit < 0 ? std::string("no limit") : "limit " + std::to_string(limit); }
}  // namespace

OpeningLog::OpeningLog(IScriptEnvironment* env, const char* functionName, const ArgumentList& args)
    : env_(env), call_(CallText(functionName, args)) {}

OpeningLog::~OpeningLog() {
  if (done_) return;
  std::string line = "DorvelFilter: opening " + call_ + " failed after " + std::to_string(Milliseconds()) + " ms";
  if (!reason_.empty()) line += ": " + reason_;
  WriteHostLog(env_, LogLevel::Warning, line);
}

long long OpeningLog::Milliseconds() const {
  return std::chrono::duration_cast<std::chrono::milliseconds>(OpeningClock::now() - start_).count();
}

void OpeningLog::NoteVictim(const char* functionName, const ArgumentList& args, OpeningRecord& record, int32_t limit) {
  victim_ = CallText(functionName, args);
  const auto age = OpeningClock::now() - record.openedAt;
  victimAge_ = std::chrono::duration_cast<std::chrono::milliseconds>(age).count();
  victimThrash_ = record.reopened && age < kThrashMoment && !record.thrashReported;
  if (victimThrash_) record.thrashReported = true;
  record.closedForRoom = true;
  limit_ = limit;
}

void OpeningLog::WriteVictim() {
  if (victim_.empty()) return;
  if (victimThrash_) {
    WriteHostLog(env_, LogLevel::Warning,
                 "DorvelFilter: closed " + victim_ + " again " + std::to_string(victimAge_) +
                     " ms after reopening it, to make room for " + call_ + ": more clips are read at once than " +
                     LimitText(limit_) + " keeps open (thrash); raise DorvelFilterLimit");
    return;
  }
  WriteHostLog(env_, LogLevel::Info,
               "DorvelFilter: closed " + victim_ + " to make room for " + call_ + " (" + LimitText(limit_) +
                   " reached; it was open " + std::to_string(victimAge_) + " ms)");
}

void OpeningLog::NoteOpened(OpeningRecord& record, std::size_t open, int32_t limit) {
  record.reopened = record.closedForRoom;
  record.openedAt = OpeningClock::now();
  open_ = open;
  limit_ = limit;
  took_ = Milliseconds();
  done_ = true;
}

void OpeningLog::WriteOpened() {
  WriteHostLog(env_, LogLevel::Info,
               "DorvelFilter: opened " + call_ + " in " + std::to_string(took_) + " ms; " + std::to_string(open_) +
                   " open (" + LimitText(limit_) + ")");
}

void LogOpeningBeside(IScriptEnvironment* env, const char* functionName, const ArgumentList& args,
                      const std::string& why) {
  WriteHostLog(env, LogLevel::Warning,
               "DorvelFilter: opening " + CallText(functionName, args) +
                   " beside the opening under way on another thread, which " + why);
}

void LogOpeningAgain(IScriptEnvironment* env, const char* functionName, const ArgumentList& args) {
  WriteHostLog(env, LogLevel::Warning,
               "DorvelFilter: opening " + CallText(functionName, args) +
                   " again: an opening beside it on another thread went on while its function ran, and either may "
                   "have moved the working folder while the other resolved a name");
}

void LogCheckedAndClosed(IScriptEnvironment* env, const char* functionName, const ArgumentList& args) {
  WriteHostLog(env, LogLevel::Info,
               "DorvelFilter: checked " + CallText(functionName, args) + " against its template, and closed it");
}

void LogNotChecked(IScriptEnvironment* env, const char* functionName, const ArgumentList& args, const char* why) {
  WriteHostLog(env, LogLevel::Warning,
               "DorvelFilter: did not check " + CallText(functionName, args) + " against its template: " + why);
}

void LogCheckedBefore(IScriptEnvironment* env, const char* functionName, const ArgumentList& args,
                      const std::string& cacheFile) {
  WriteHostLog(env, LogLevel::Info,
               "DorvelFilter: " + CallText(functionName, args) +
                   " was checked by an earlier run with the same files (" + cacheFile + "), and is not opened");
}

void LogNotCached(IScriptEnvironment* env, const char* functionName, const ArgumentList& args,
                  const std::string& cacheFile, const std::string& why) {
  WriteHostLog(env, LogLevel::Warning,
               "DorvelFilterCache: " + CallText(functionName, args) + " is not kept in the cache " + cacheFile + ": " +
                   why + "; it is opened at every load");
}

void LogNoPartCached(IScriptEnvironment* env, const std::string& cacheFile, const std::string& why) {
  WriteHostLog(env, LogLevel::Warning,
               "DorvelFilterCache: no part is kept in the cache " + cacheFile + ": " + why +
                   "; every part is opened at every load");
}

void LogDescribedByCache(IScriptEnvironment* env, const char* functionName, const ArgumentList& args,
                         const std::string& cacheFile) {
  WriteHostLog(env, LogLevel::Info,
               "DorvelFilter: " + CallText(functionName, args) + " is described by the cache " + cacheFile +
                   ", and is not opened while the script loads");
}
