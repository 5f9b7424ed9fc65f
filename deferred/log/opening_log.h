// What the host's log is told about openings and closings. Lines are written
// only when a filter opens or is closed, never on the way of a request that
// finds its filter open; the host drops them unless a script asked for its
// log (SetLogParams).
//
// Information: each opening (the call, how long it took, how many are open),
// each closing made to make room (which, for which, and the limit), each
// closing after a load-time check. Warning: each failed opening, and thrash:
// a filter reopened after a closing made for room, and closed for room again
// less than a moment after that reopening; said once per filter.
#pragma once

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <string>

#include "deferred/calls/argument_list.h"
#include "plugin/avisynth_interface.h"

using OpeningClock = std::chrono::steady_clock;

// Kept in each filter, with the list of open filters locked.
struct OpeningRecord {
  OpeningClock::time_point openedAt;
  bool closedForRoom = false;   // closed at least once to make room
  bool reopened = false;        // the latest opening came after such a closing
  bool thrashReported = false;  // its warning was written
};

// How soon a reopened filter may be closed for room again before that counts
// as thrash.
constexpr std::chrono::milliseconds kThrashMoment{2000};

// One opening, from its start; says in the log how it went. An opening that
// ends in neither Opened nor Refused failed.
class OpeningLog {
 public:
  OpeningLog(IScriptEnvironment* env, const char* functionName, const ArgumentList& args);
  ~OpeningLog();  // writes the failure of an opening that never succeeded
  OpeningLog(const OpeningLog&) = delete;
  OpeningLog& operator=(const OpeningLog&) = delete;

  // With the list locked, as `victim` is closed to make room for this opening.
  void NoteVictim(const char* functionName, const ArgumentList& args, OpeningRecord& record, int32_t limit);
  // With the list unlocked, once the victim is released.
  void WriteVictim();
  // With the list locked, when the clip joins it: `record` is the filter's.
  void NoteOpened(OpeningRecord& record, std::size_t open, int32_t limit);
  // With the list unlocked.
  void WriteOpened();
  // The clip was made but refused, for `reason`.
  void Refused(const std::string& reason) { reason_ = reason; }

 private:
  long long Milliseconds() const;

  IScriptEnvironment* env_;
  std::string call_;
  OpeningClock::time_point start_ = OpeningClock::now();
  bool done_ = false;
  std::string reason_;
  std::size_t open_ = 0;
  int32_t limit_ = 0;
  long long took_ = 0;
  // The victim closed for this opening, if any.
  std::string victim_;
  long long victimAge_ = 0;
  bool victimThrash_ = false;
};

// The warning for an opening that went ahead beside openings on other
// threads, for `why`.
void LogOpeningBeside(IScriptEnvironment* env, const char* functionName, const ArgumentList& args,
                      const std::string& why);
// The warning for an opening whose clip is thrown away and made again, as
// an opening beside it went on while its function ran.
void LogOpeningAgain(IScriptEnvironment* env, const char* functionName, const ArgumentList& args);
// The line for a filter closed right after its load-time check.
void LogCheckedAndClosed(IScriptEnvironment* env, const char* functionName, const ArgumentList& args);
// The warning for a filter that the load-time check passed over, and why.
void LogNotChecked(IScriptEnvironment* env, const char* functionName, const ArgumentList& args, const char* why);
// The line for a filter whose load-time check an earlier run made, as the
// description cache in `cacheFile` says.
void LogCheckedBefore(IScriptEnvironment* env, const char* functionName, const ArgumentList& args,
                      const std::string& cacheFile);
// `functionName`'s call is not kept in the cache `cacheFile`, for `why`: it
// is opened at every load.
void LogNotCached(IScriptEnvironment* env, const char* functionName, const ArgumentList& args,
                  const std::string& cacheFile, const std::string& why);
// No part is kept in the cache `cacheFile`, for `why`; said once in a process.
void LogNoPartCached(IScriptEnvironment* env, const std::string& cacheFile, const std::string& why);
// The line for a filter that took its description from the cache in
// `cacheFile` instead of opening while the script loads.
void LogDescribedByCache(IScriptEnvironment* env, const char* functionName, const ArgumentList& args,
                         const std::string& cacheFile);
