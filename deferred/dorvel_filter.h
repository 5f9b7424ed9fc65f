// DorvelFilter: stands in for the clip a named script function returns, and
// calls that function only when frames or audio are needed. When too many
// filters are open in the process, the one opened longest ago gives its
// wrapped clip up; it is made again, by the same call, on its next request.
#pragma once

#include <atomic>
#include <memory>
#include <mutex>
#include <string>

#include "deferred/calls/argument_list.h"
#include "deferred/description_cache/made_from/learned_from.h"
#include "deferred/description_cache/store/description_cache.h"
#include "deferred/environment_life.h"
#include "deferred/frames/recent_frames.h"
#include "deferred/log/opening_log.h"
#include "deferred/open_filters.h"
#include "deferred/process_wide.h"
#include "deferred/turns/filter_opening.h"
#include "deferred/turns/opening_turn.h"
#include "deferred/turns/turn.h"
#include "deferred/turns/working_folder.h"
#include "plugin/avisynth_interface.h"

// A filter holds the process-wide objects (the list of open filters, the frame
// budget) until the last of its members is gone, whenever it is destroyed.
class DorvelFilter : public IClip, private ProcessHold {
 public:
  // The filter keeps `env`'s own copies of `functionName` and of the strings
  // in `parameters`, so the caller's may go when the call returns. With a
  // `viClip` the filter advertises its description and stays closed;
  // without one it opens at once, unless `cache` holds its description.
  // Its function is called through `home` (through `env` when null): the
  // script's own environment, which `env` is not when a runtime script
  // makes the filter on a Prefetch thread.
  DorvelFilter(const char* functionName, const AVSValue& parameters, const PClip& viClip, IScriptEnvironment* env,
               std::shared_ptr<DescriptionCache> cache = nullptr, IScriptEnvironment* home = nullptr);
  ~DorvelFilter() override;

  PVideoFrame DORVEL_STDCALL GetFrame(int n, IScriptEnvironment* env) override;
  bool DORVEL_STDCALL GetParity(int n) override;
  void DORVEL_STDCALL GetAudio(void* buf, int64_t start, int64_t count, IScriptEnvironment* env) override;
  int DORVEL_STDCALL SetCacheHints(int cachehints, int frame_range) override;
  const VideoInfo& DORVEL_STDCALL GetVideoInfo() override;

  // Opens the filter, as a request would, and closes it again at once: the
  // opening's error, or the clip's mismatch with the description, is raised
  // here and now. Answers the description of the clip it opened.
  VideoInfo OpenAndClose(IScriptEnvironment* env);
  // The load-time check (DorvelFilterCheck): OpenAndClose, unless the
  // description cache says an earlier run checked the same call with the
  // same files, and the clip then fits this filter's description.
  void CheckWhileLoading(IScriptEnvironment* env);
  // Whether the description came from the cache.
  bool DescribedByCache() const { return shape == Shape::FromCache; }
  // Tells the host's log that the load-time check passed the filter over,
  // and `why`.
  void LogNotChecked(IScriptEnvironment* env, const char* why) const;

 private:
  // Keeps what the filter's description was learned from in the cache, or
  // says in the host's log why it cannot be kept.
  void Learned(const VideoInfo& made, IScriptEnvironment* env);
  // The filter served: the cache learns that its load succeeded.
  void NoteServed();
  class HeldTurn;
  class Request;

  // With `lock` on `mutex`: takes this filter's turn for the calling thread,
  // waiting while another thread has it. A turn that would wait for itself
  // is a script error, raised with the lock let go.
  void TakeTurn(std::unique_lock<std::mutex>& lock, IScriptEnvironment* env);
  // Raises a request's script error, `fmt` formatted as ThrowError formats
  // it. A thread that waited in the module (for a turn, up to its bounds)
  // may find the filter's environment being deleted meanwhile: raising a
  // script error then takes a lock that the deleting thread holds while it
  // waits for this one, so it throws EnvironmentDeleted, with the same text.
  [[noreturn]] void FailRequest(IScriptEnvironment* env, const char* fmt, ...) const;
  // The message of a request that meets its environment being deleted: the
  // function `what` ("is not called").
  std::string Deleted(const char* what) const;
  // Takes the process's turn to open for this filter's call; refused, a
  // script error naming both calls (and, for a first opening, both folders).
  // False, the turn not taken, when the filter's environment began to be
  // deleted while the thread waited.
  [[nodiscard]] bool TakeOpeningTurn(HeldOpeningTurn& openingTurn, IScriptEnvironment* env,
                                     OpeningTurn::For what = OpeningTurn::For::FirstTime) const;
  // Opens the filter, unless another thread opened it first, in the
  // process's turn to open, which it waits for. Then, when the filter is
  // still open and its own turn is free, takes the turn and answers the
  // wrapped clip; otherwise answers an empty clip, the filter's turn not
  // taken. The host's not-found signal becomes a script error.
  PClip OpenForRequest(IScriptEnvironment* env);
  // With the process's turn to open held in `openingTurn`, the filter closed
  // and its opening started by this thread: makes the wrapped clip exist.
  // A clip made while an opening beside this one went on is thrown away, and
  // the function called again in a new turn.
  PClip Open(IScriptEnvironment* env, HeldOpeningTurn& openingTurn);
  // Calls the function once, in the turn taken as `taking` says, room made
  // for it first; false, `clip` left empty, when its result cannot be
  // trusted (OpeningTurn::Trusted).
  bool CallOnce(IScriptEnvironment* env, OpeningTurn::Taking taking, OpeningLog& log, PClip& clip);

  // Closes the oldest open filter when the list is full; true when it did.
  // A filter whose environment is being deleted is left to that deletion.
  static bool MakeRoom(OpeningLog& log);
  // With the list's mutex held: the first open filter from `first` on, newer
  // and newer, other than `spared`, whose environment is not being deleted;
  // that environment is kept in `pinned` until the victim's clip is released.
  static DorvelFilter* VictimFrom(DorvelFilter* first, const DorvelFilter* spared, EnvironmentUse& pinned);
  // Calls the named function with the stored arguments, in the working
  // folder the filter was made in; false, `clip` left empty, when its result
  // (or its error) cannot be trusted.
  bool CallFunction(IScriptEnvironment* env, PClip& clip) const;
  // The call as the host's log writes it, for messages about this part.
  const std::string& Call() const;
  // The error line when `clip` does not fit `vi`, else empty.
  std::string Mismatch(const PClip& clip) const;
  // What a closing takes from a filter, to be released once no lock is held.
  struct Closed {
    PClip clip;
    RecentFrames frames;
  };
  // With the list's and this filter's mutex held: leaves the list and gives
  // the wrapped clip and its frames to the caller.
  void CloseLocked(Closed& closed);
  // Closes the filter when it is open; true when it was.
  bool Close();
  // After an opening beside others: closes the oldest filters but this one
  // until no more are open than the limit, as openings side by side each
  // found room for themselves alone.
  void TrimToLimit();

  // What every request and every closing touches comes first, next to the
  // host's reference count, so a filter mostly costs one or two cache lines.
  //
  // `child`, `isOpen` and `recent` are guarded by `mutex`; the first two
  // change only with the list's mutex held too; `turn` and `opening` (the
  // thread that is making the wrapped clip) go with `mutex` alone; `link`
  // belongs to the list's mutex.
  PClip child;
  bool isOpen = false;
  std::mutex mutex;
  friend class OpenFilters;
  OpenListLink link;
  Turn turn{mutex};
  FilterOpening opening{mutex};
  RecentFrames recent;   // frames of the open wrapped clip
  OpeningRecord record;  // belongs to the list's mutex

  // Where `vi` came from. Every opening after `vi` is known must make a clip
  // that fits it.
  enum class Shape { Unknown, FromTemplate, FromFirstClip, FromCache };

  // Set during construction and never changed.
  VideoInfo vi;
  Shape shape = Shape::Unknown;
  // The environment the filter was made in: no opening starts once it is
  // being deleted. It keeps the strings below.
  const std::shared_ptr<EnvironmentLife> life;
  const char* functionName;
  ArgumentList args;
  // The module's own copies of the name and of the call as the log writes
  // it, for the messages of requests that may come once the environment,
  // and its copies, are gone; and whether the call is an Import of a script
  // of another folder.
  std::string ownName, callText;
  bool importsFromAnotherFolder = false;
  // The working folder when the filter was made, where relative names in the
  // call resolve as they would have in the script; null when it could not
  // be read. Set first as the filter is made.
  std::shared_ptr<const Folder> folder;
  // The description cache and this filter's key in it; null when no cache
  // is on or the call cannot be keyed.
  std::shared_ptr<DescriptionCache> cache;
  std::string cacheKey;
  // With a cache: what the description is made from, completed by each
  // opening (guarded by `mutex`).
  std::unique_ptr<LearnedFrom> learnedFrom;
  // Whether the filter has told the cache that it served.
  std::atomic<bool> servedFromCache{false};
  // While the description is learned (as the filter is made, or checked):
  // openings then tell what they opened.
  std::atomic<bool> learningNow{false};
};
