#include "dorvel_filter.h"

#include <cctype>
#include <cstdarg>
#include <cstdio>
#include <cstring>
#include <filesystem>

#include "deferred/calls/call_text.h"
#include "deferred/calls/decode_parameters.h"
#include "deferred/calls/frame_time.h"
#include "deferred/description_cache/made_from/cache_key.h"
#include "deferred/description_cache/made_from/open_files.h"
#include "deferred/frames/frame_budget.h"
#include "deferred/frames/frame_size.h"
#include "deferred/frames/freed_memory.h"
#include "deferred/shape/audio_span.h"
#include "deferred/shape/clip_shape.h"
#include "deferred/shape/field_order.h"
#include "deferred/turns/opening_turn.h"

namespace {
// Each message about a part ends with the call that makes the part, as the
// host's log writes it: "(in FFVideoSource("part030.mkv"))".
constexpr const char* kOpenFailed = "DorvelFilter: Clip could not be opened (in %s)";
constexpr const char* kWaitsForItself =
    "DorvelFilter: the clip that %s made asks its own DorvelFilter for frames or audio (in %s)";
constexpr const char* kWaitsForOtherThread =
    "DorvelFilter: the clip that %s made is serving a thread that waits for this one; clips that ask each other "
    "for frames cannot be read on several threads (in %s)";
constexpr const char* kOtherFolderStopped =
    "DorvelFilter: %s needs the working folder %s, but %s, opening on another thread in %s, has used no processor "
    "time for %lld s: it may wait inside the host for this thread, and openings that need different working folders "
    "(or Import scripts of other folders) never run at once. Give the files these calls read absolute names (in %s)";
constexpr const char* kAgainStopped =
    "DorvelFilter: %s is to be opened again, as %s, opening beside it on another thread, went on while it ran, "
    "but that opening has used no processor time for %lld s since: it may wait inside the host for this thread. "
    "Give the files these calls read absolute names (in %s)";
constexpr const char* kClockTooCoarse =
    "DorvelFilter: %s waits for %s, opening on another thread, which has used no processor time for %lld s: it may "
    "wait inside the host for this thread, or only sleep. This system's thread clocks cannot show a thread that "
    "wakes for a moment (as under Wine), so openings never run beside one that may wake; play this script without "
    "Prefetch here (in %s)";
constexpr const char* kFolderInDoubt =
    "DorvelFilter: %s was called while a part's function ran on another thread, which may move the working folder "
    "(now %s) at any moment, so nothing tells which folder the call's relative file names mean. Load scripts, and "
    "make parts in runtime scripts, while no part opens on another thread, or Import the part's script by its full "
    "name (in %s)";
constexpr const char* kFolderChanged =
    "DorvelFilter: the working folder changed from %s to %s while %s was opened beside another opening, so its "
    "relative names may have resolved there; give the files it reads absolute names (in %s)";

bool IsImport(const char* functionName) {
  const char* import = "import";
  for (const char* c = functionName; *c != '\0' || *import != '\0'; ++c, ++import) {
    if (std::tolower(static_cast<unsigned char>(*c)) != *import) return false;
  }
  return true;
}

// Whether the call is the host's Import of scripts named in full: the host
// makes each one's folder the working folder while it reads it, whatever
// folder the call was made in.
bool ImportsByFullName(const char* functionName, const ArgumentList& args) {
  if (!IsImport(functionName)) return false;
  bool named = false;
  for (std::size_t i = 0; i < args.size(); ++i) {
    if (args.names()[i] != nullptr || !args.values()[i].IsString()) continue;
    if (!std::filesystem::u8path(args.values()[i].AsString()).is_absolute()) return false;
    named = true;
  }
  return named;
}

// Whether the call is the host's Import of a script named with a folder,
// which the host makes the working folder while it reads the script.
bool ImportsFromAnotherFolder(const char* functionName, const ArgumentList& args) {
  if (!IsImport(functionName)) return false;
  for (std::size_t i = 0; i < args.size(); ++i) {
    if (args.names()[i] == nullptr && args.values()[i].IsString() &&
        std::strpbrk(args.values()[i].AsString(), "/\\") != nullptr) {
      return true;
    }
  }
  return false;
}

// How long another thread's opening of a filter may use no processor time
// before a request of the filter's environment, being deleted, stops
// waiting for it. Where a thread's clock cannot show a short burst of work
// (Wine), an opener working in bursts could look still: it gets as long as
// the turn to open gives holders of another folder.
std::chrono::milliseconds StillForWhileClosing() {
  return ThreadClock::ShowsShortWakes() ? OpeningTurn::kStoppedFor : OpeningTurn::kGivesUpAfter;
}

std::string FolderName(const std::shared_ptr<const Folder>& folder) {
  return folder ? folder->u8string() : "(a folder that could not be read)";
}

// Sets a flag for as long as it lives.
class WhileLearning {
 public:
  WhileLearning(std::atomic<bool>& flag, bool on) : flag_(flag) { flag_ = on; }
  ~WhileLearning() { flag_ = false; }
  WhileLearning(const WhileLearning&) = delete;
  WhileLearning& operator=(const WhileLearning&) = delete;

 private:
  std::atomic<bool>& flag_;
};
}  // namespace

// The filter's turn, held from the moment it was taken; given back on every
// way out.
class DorvelFilter::HeldTurn {
 public:
  explicit HeldTurn(DorvelFilter& filter) : filter_(filter) {}
  ~HeldTurn() {
    std::lock_guard<std::mutex> lock(filter_.mutex);
    filter_.turn.Give();
  }
  HeldTurn(const HeldTurn&) = delete;
  HeldTurn& operator=(const HeldTurn&) = delete;

 private:
  DorvelFilter& filter_;
};

// One frame, audio or parity request in the filter's turn, with a counted
// reference to the wrapped clip. The reference keeps the clip alive until the
// request returns, even when the filter is closed meanwhile; it is dropped
// before the turn is given back, so that no other thread works on the filter
// while a clip of it is being destroyed. With the filter open, starting and
// ending a request lock the filter once each.
class DorvelFilter::Request {
 public:
  // Takes the turn, waiting for it, and opens the filter when it is closed.
  // The opening comes first, in the process's turn to open, and only then
  // the filter's turn.
  // For a frame request (`frame` not negative) the frame may be kept from an
  // earlier request: then it is in kept(), and the turn is not held.
  Request(DorvelFilter& filter, IScriptEnvironment* env, int frame = -1) : filter_(filter) {
    // Read before anything is taken, for a filter opened as the script loaded.
    FrameBudget::Instance().ReadLimitOnce(env);
    std::unique_lock<std::mutex> lock(filter.mutex);
    if (frame >= 0 && (kept_ = filter.recent.Find(frame))) return;
    for (;;) {
      if (!filter.isOpen) {
        // Opened without this filter's turn held, so that a thread serving
        // the filter never waits for this one's opening.
        lock.unlock();
        clip_ = filter.OpenForRequest(env);
        lock.lock();
        if (clip_) {
          holdsTurn_ = true;
          return;
        }
        // Open, but another thread holds its turn: wait for that turn, even
        // if the filter is closed meanwhile, rather than open it again at
        // once (threads that open each other's victims would never stop).
      }
      filter.TakeTurn(lock, env);
      if (frame >= 0 && (kept_ = filter.recent.Find(frame))) {
        filter.turn.Give();  // made by the thread that had the turn before
        return;
      }
      if (filter.isOpen) {
        holdsTurn_ = true;
        clip_ = filter.child;
        return;
      }
      filter.turn.Give();  // closed while this thread waited: opened anew
    }
  }
  ~Request() {
    if (!holdsTurn_) return;
    PVideoFrame displaced;  // no longer kept: released with no lock held
    bool overBudget = false;
    bool ended = false;
    {
      std::lock_guard<std::mutex> lock(filter_.mutex);
      if (filter_.isOpen && filter_.child.operator->() == clip_.operator->()) {
        // Still the wrapped clip, so the filter holds another reference.
        if (made_) overBudget = filter_.recent.Keep(madeNumber_, made_, FrameBytes(filter_.vi), displaced);
        clip_ = PClip();
        filter_.turn.Give();
        ended = true;
      }
    }
    if (!ended) {
      clip_ = PClip();  // perhaps the last reference: dropped with no lock held
      EndTurn();
    }
    if (overBudget) FrameBudget::Instance().Reclaim();
  }
  Request(const Request&) = delete;
  Request& operator=(const Request&) = delete;

  IClip* operator->() const { return clip_.operator->(); }
  const PVideoFrame& kept() const { return kept_; }
  // The frame this request made, for the filter to keep.
  void Made(int n, const PVideoFrame& frame) {
    madeNumber_ = n;
    made_ = frame;
  }

 private:
  void EndTurn() {
    std::lock_guard<std::mutex> lock(filter_.mutex);
    filter_.turn.Give();
  }

  DorvelFilter& filter_;
  bool holdsTurn_ = false;
  PClip clip_;
  PVideoFrame kept_;
  PVideoFrame made_;
  int madeNumber_ = 0;
};

DorvelFilter::DorvelFilter(const char* functionName, const AVSValue& parameters, const PClip& viClip,
                           IScriptEnvironment* env, std::shared_ptr<DescriptionCache> descriptions,
                           IScriptEnvironment* home)
    : vi(),
      life(EnvironmentLife::Of(home != nullptr ? home : env)),
      functionName(life->strings().Save(env, functionName)) {
  Folder inDoubt;
  folder = RecordWorkingFolder(&inDoubt);
  DecodeParameters(parameters, args, env, life->strings());
  ownName = this->functionName;
  callText = CallText(this->functionName, args);
  importsFromAnotherFolder = ImportsFromAnotherFolder(this->functionName, args);
  if (!inDoubt.empty() && !ImportsByFullName(this->functionName, args)) {
    const std::string now = inDoubt.u8string();
    env->ThrowError(kFolderInDoubt, this->functionName, now.c_str(), Call().c_str());
  }
  std::vector<FileState> named;
  if (descriptions && MakeCacheKey(this->functionName, args, folder.get(), cacheKey, named)) {
    cache = std::move(descriptions);
    learnedFrom.reset(new LearnedFrom(env, this->functionName, folder.get(), std::move(named), cacheKey));
  }
  if (viClip) {
    vi = viClip->GetVideoInfo();
    shape = Shape::FromTemplate;
    return;
  }
  CacheEntry known;
  if (cache && cache->Find(cacheKey, known) && learnedFrom->Fits(known.files)) {
    vi = VideoInfoOf(known.description);
    shape = Shape::FromCache;
    cache->Using(known);
    LogDescribedByCache(env, this->functionName, args, cache->path().u8string());
    return;
  }
  {
    // No other thread knows this filter yet. The host's not-found signal
    // passes unchanged here, to be reported by the script that calls
    // "DorvelFilter".
    HeldOpeningTurn openingTurn;
    if (!TakeOpeningTurn(openingTurn, env)) throw EnvironmentDeleted(Deleted("is not called"));
    opening.Start();
    const WhileLearning learning(learningNow, true);
    const PClip opened = Open(env, openingTurn);
    vi = opened->GetVideoInfo();
    shape = Shape::FromFirstClip;
  }
  // Opened while the script loads, as a check would have.
  if (cache) Learned(vi, env);
}

void DorvelFilter::Learned(const VideoInfo& made, IScriptEnvironment* env) {
  std::vector<FileState> files;
  std::string why;
  bool known;
  {
    std::lock_guard<std::mutex> lock(mutex);
    known = learnedFrom->Files(files, why);
  }
  if (known) {
    cache->Record(cacheKey, std::move(files), DescriptionOf(made), true, env);
    return;
  }
  bool everyPart;
  {
    std::lock_guard<std::mutex> lock(mutex);
    everyPart = learnedFrom->SystemDoesNotTell();
  }
  // What holds for every part is said once in the process, not for each.
  static std::atomic<bool> saidForEveryPart{false};
  if (!everyPart) {
    LogNotCached(env, functionName, args, cache->path().u8string(), why);
  } else if (!saidForEveryPart.exchange(true)) {
    LogNoPartCached(env, cache->path().u8string(), why);
  }
}

void DorvelFilter::NoteServed() {
  if (cache && !servedFromCache.exchange(true)) cache->Served();
}

// The environment may be on its way out here: nothing is logged.
DorvelFilter::~DorvelFilter() { Close(); }

bool DorvelFilter::Close() {
  bool wasOpen;
  {
    Closed closed;
    {
      std::lock_guard<std::mutex> listLock(OpenFilters::instance().mutex());
      std::lock_guard<std::mutex> lock(mutex);
      wasOpen = isOpen;
      if (isOpen) CloseLocked(closed);
    }
    // The wrapped clip and its frames are dropped here, with no lock held;
    // the stored arguments go after them.
  }
  if (wasOpen) ReturnFreedMemory();
  return wasOpen;
}

VideoInfo DorvelFilter::OpenAndClose(IScriptEnvironment* env) {
  VideoInfo made;
  {
    const Request opened(*this, env);
    made = opened->GetVideoInfo();
  }
  if (Close()) LogCheckedAndClosed(env, functionName, args);
  return made;
}

void DorvelFilter::CheckWhileLoading(IScriptEnvironment* env) {
  CacheEntry known;
  // An entry stands only while every file it was made from is unchanged.
  if (cache && cache->Find(cacheKey, known) && learnedFrom->Fits(known.files) && known.checked &&
      ShapeMismatch(vi, VideoInfoOf(known.description), functionName, "").empty()) {
    LogCheckedBefore(env, functionName, args, cache->path().u8string());
    return;
  }
  VideoInfo made;
  {
    const WhileLearning learning(learningNow, cache != nullptr);
    made = OpenAndClose(env);
  }
  if (cache) Learned(made, env);
}

void DorvelFilter::LogNotChecked(IScriptEnvironment* env, const char* why) const {
  ::LogNotChecked(env, functionName, args, why);
}

PVideoFrame DorvelFilter::GetFrame(int n, IScriptEnvironment* env) {
  const ModuleCallOnThisThread inRequest;
  PVideoFrame frame;
  {
    Request request(*this, env, n);
    if (request.kept()) return request.kept();
    frame = request->GetFrame(n, env);
    request.Made(n, frame);
  }
  NoteServed();
  if (FrameBudget::Instance().ShortageUnreported()) {
    // The report goes to the host's log through a script function, whose
    // lookup takes the lock the host holds while it deletes the environment
    // and joins its threads: while it is deleted, nothing is reported.
    const EnvironmentUse use(life.get());
    if (use.used()) FrameBudget::Instance().ReportShortage(env);
  }
  return frame;
}

void DorvelFilter::GetAudio(void* buf, int64_t start, int64_t count, IScriptEnvironment* env) {
  const ModuleCallOnThisThread inRequest;
  const Request request(*this, env);
  NoteServed();
  const VideoInfo& made = request->GetVideoInfo();
  if (!vi.HasAudio() || count <= 0) {
    request->GetAudio(buf, start, count, env);
    return;
  }
  // The advertised audio that the clip lacks (all of it, for a clip without
  // audio) is silence, as the host's own clips give, rather than whatever
  // the caller's buffer held.
  const AudioSpan has =
      made.HasAudio() ? SamplesTheClipHas(start, count, made.num_audio_samples) : AudioSpan{start, start};
  if (has.first == start && has.end - start == count) {
    request->GetAudio(buf, start, count, env);
    return;
  }
  const std::size_t bytesPerSample = static_cast<std::size_t>(vi.BytesPerAudioSample());
  auto* bytes = static_cast<unsigned char*>(buf);
  const std::size_t before = static_cast<std::size_t>(has.first - start) * bytesPerSample;
  const std::size_t inside = static_cast<std::size_t>(has.end - has.first) * bytesPerSample;
  std::memset(bytes, 0, before);
  if (inside > 0) request->GetAudio(bytes + before, has.first, has.end - has.first, env);
  std::memset(bytes + before + inside, 0, static_cast<std::size_t>(count) * bytesPerSample - before - inside);
}

bool DorvelFilter::GetParity(int n) {
  // A closed filter answers what its description states, and stays closed.
  // An open one is asked in its turn, as frames are; a question that would
  // wait for itself has no way to fail, and is answered as a closed filter
  // would.
  std::unique_lock<std::mutex> lock(mutex);
  if (!isOpen || turn.Take(lock) != Turn::Taking::Taken) return StatedParity(vi, n);
  PClip clip = child;  // empty when the filter was closed while this thread waited
  lock.unlock();
  const HeldTurn held(*this);
  const bool parity = clip ? clip->GetParity(n) : StatedParity(vi, n);
  clip = PClip();
  return parity;
}

int DorvelFilter::SetCacheHints(int cachehints, int frame_range) {
  switch (cachehints) {
    case CACHE_GET_MTMODE:
      // One instance serves every thread, and lets one request at a time
      // reach its wrapped clip: a second instance would open its own copy of
      // the source, counted against the same limit, and the host's own guard
      // would hang a request that comes back to the filter it is serving.
      return MT_NICE_FILTER;
    case CACHE_DONT_CACHE_ME:
      // The filter keeps its recent frames itself. A frame cache of the
      // host's around it would hang a request that comes back to the filter
      // for the frame it is making (a function that returns a clip made from
      // the filter itself); without one, the filter sees that request.
      return 1;
    case CACHE_WINDOW:
    case CACHE_GENERIC:
    case CACHE_FORCE_GENERIC: {
      // A consumer says how many neighbouring frames it reads around each
      // one, as the host's own cache would be told.
      std::lock_guard<std::mutex> lock(mutex);
      recent.Hint(frame_range);
      return 0;
    }
    default:
      return 0;  // every other question gets 0, as the host requires
  }
}

const VideoInfo& DorvelFilter::GetVideoInfo() { return vi; }

void DorvelFilter::TakeTurn(std::unique_lock<std::mutex>& lock, IScriptEnvironment* env) {
  const Turn::Taking taking = turn.Take(lock);
  if (taking == Turn::Taking::Taken) return;
  // The clip asked for its own filter's frames while serving a request,
  // here or through threads that wait for each other: waiting would never
  // end.
  lock.unlock();
  if (taking == Turn::Taking::HeldByThisThread) {
    FailRequest(env, kWaitsForItself, ownName.c_str(), Call().c_str());
  } else {
    FailRequest(env, kWaitsForOtherThread, ownName.c_str(), Call().c_str());
  }
}

void DorvelFilter::FailRequest(IScriptEnvironment* env, const char* fmt, ...) const {
  std::va_list args;
  va_start(args, fmt);
  std::va_list again;
  va_copy(again, args);
  const int length = std::vsnprintf(nullptr, 0, fmt, args);
  va_end(args);
  std::string message(length > 0 ? static_cast<std::size_t>(length) : 0, '\0');
  if (length > 0) std::vsnprintf(&message[0], message.size() + 1, fmt, again);
  va_end(again);
  // While this use lasts, the environment's deletion waits for it before it
  // takes that lock.
  const EnvironmentUse use(life.get());
  if (!use.used()) throw EnvironmentDeleted(message);
  env->ThrowError("%s", message.c_str());
  throw EnvironmentDeleted(message);  // ThrowError never returns
}

std::string DorvelFilter::Deleted(const char* what) const {
  return "DorvelFilter: " + ownName + " " + what + ": its script environment is being deleted (in " + Call() + ")";
}

bool DorvelFilter::TakeOpeningTurn(HeldOpeningTurn& openingTurn, IScriptEnvironment* env, OpeningTurn::For what) const {
  OpeningPlace stopped;
  if (openingTurn.Take({Call(), folder, importsFromAnotherFolder}, stopped, what, &life->closing())) return true;
  // The script closes: the host may be about to join this thread, and its
  // deletion goes on only once this request has left the module.
  if (openingTurn.taking() == OpeningTurn::Taking::CallerGone) return false;
  if (openingTurn.taking() == OpeningTurn::Taking::RefusedClockTooCoarse) {
    FailRequest(env, kClockTooCoarse, ownName.c_str(), stopped.call.c_str(),
                static_cast<long long>(OpeningTurn::kGivesUpAfter.count()), Call().c_str());
  }
  if (what == OpeningTurn::For::Again) {
    FailRequest(env, kAgainStopped, ownName.c_str(), stopped.call.c_str(),
                static_cast<long long>(OpeningTurn::kGivesUpAfter.count()), Call().c_str());
  }
  const std::string mine = FolderName(folder), theirs = FolderName(stopped.folder);
  FailRequest(env, kOtherFolderStopped, ownName.c_str(), mine.c_str(), stopped.call.c_str(), theirs.c_str(),
              static_cast<long long>(OpeningTurn::kGivesUpAfter.count()), Call().c_str());
}

PClip DorvelFilter::OpenForRequest(IScriptEnvironment* env) {
  HeldOpeningTurn openingTurn;
  // Not taken when the filter's environment is being deleted: no opening
  // starts then, but one under way on another thread ends as usual and
  // serves this request, as an open filter does.
  const bool mayOpen = TakeOpeningTurn(openingTurn, env);
  if (mayOpen) FrameBudget::Instance().ReadLimit(env);  // at each opening: a script may have changed it
  std::unique_lock<std::mutex> lock(mutex);
  if (!isOpen && opening.UnderWay()) {
    // This thread's own opening of the filter asks for it: its function
    // needs its own clip.
    if (opening.ByThisThread()) {
      lock.unlock();
      FailRequest(env, kOpenFailed, Call().c_str());
    }
    // Opened on another thread, beside this one. With the environment being
    // deleted, only while that opening goes on: one that stands still may
    // wait inside the host for this thread, which must leave the module.
    if (!mayOpen) {
      if (!opening.WaitForEndWhileItGoesOn(lock, StillForWhileClosing())) {
        lock.unlock();
        throw EnvironmentDeleted(Deleted("is not called"));
      }
    } else if (!opening.WaitForEnd(lock)) {
      lock.unlock();
      FailRequest(env, kWaitsForOtherThread, ownName.c_str(), Call().c_str());
    }
  }
  if (!isOpen) {
    if (!mayOpen) {
      lock.unlock();
      throw EnvironmentDeleted(Deleted("is not called"));
    }
    opening.Start();
    lock.unlock();
    try {
      Open(env, openingTurn);
    } catch (const IScriptEnvironment::NotFound&) {
      // Inside a script the host reports this as a script error of the
      // calling function; a frame or audio request has no such caller, and
      // a client would see an exception of no kind it knows.
      FailRequest(env, "DorvelFilter: Invalid arguments to function '%s' (in %s)", ownName.c_str(), Call().c_str());
    }
    lock.lock();
  }
  // An opening beside this one may have closed it again to make room.
  if (!isOpen || !turn.TryTake()) return PClip();
  return child;
}

PClip DorvelFilter::Open(IScriptEnvironment* env, HeldOpeningTurn& openingTurn) {
  // Ends the opening on every way out.
  struct Opening {
    DorvelFilter& filter;
    ~Opening() {
      std::lock_guard<std::mutex> lock(filter.mutex);
      if (filter.opening.ByThisThread()) filter.opening.End();
    }
  } const ending{*this};
  const EnvironmentUse use(life.get());
  if (!use.used()) {
    throw EnvironmentDeleted(Deleted("is not called"));
  }
  const ModuleCallOnThisThread inOpening;
  OpeningLog log(env, functionName, args);
  PClip clip;
  while (!CallOnce(env, openingTurn.taking(), log, clip)) {
    // The clip made is gone, never seen. This filter's opening stays under
    // way, so other threads that need it wait for it on the record.
    LogOpeningAgain(env, functionName, args);
    openingTurn.Release();
    const EnvironmentUse still(life.get());
    if (!still.used()) {
      throw EnvironmentDeleted(Deleted("is not called again"));
    }
    if (!TakeOpeningTurn(openingTurn, env, OpeningTurn::For::Again)) {
      throw EnvironmentDeleted(Deleted("is not called again"));
    }
  }
  if (!clip) {
    env->ThrowError(kOpenFailed, Call().c_str());
    return PClip();
  }
  const std::string mismatch = Mismatch(clip);
  if (!mismatch.empty()) {
    log.Refused(mismatch);
    if (shape == Shape::FromCache) cache->DropUsed(env);
    clip = PClip();  // never becomes the wrapped clip; released before anyone sees it
    // The cache's message names the call already.
    if (shape == Shape::FromCache) env->ThrowError("%s", mismatch.c_str());
    env->ThrowError("%s (in %s)", mismatch.c_str(), Call().c_str());
    return PClip();
  }
  {
    OpenFilters& open = OpenFilters::instance();
    std::lock_guard<std::mutex> listLock(open.mutex());
    std::lock_guard<std::mutex> lock(mutex);
    child = clip;
    isOpen = true;
    opening.End();
    open.Append(this);
    log.NoteOpened(record, open.size(), open.limit());
  }
  log.WriteOpened();
  if (OpeningTurn::instance().SideBySide()) TrimToLimit();
  return clip;
}

bool DorvelFilter::CallOnce(IScriptEnvironment* env, OpeningTurn::Taking taking, OpeningLog& log, PClip& clip) {
  if (taking == OpeningTurn::Taking::BesideStopped) {
    LogOpeningBeside(env, functionName, args,
                     "has used no processor time for " + std::to_string(OpeningTurn::kStoppedFor.count()) +
                         " ms and needs the same working folder: it waits, perhaps inside the host for something this "
                         "thread holds");
  } else if (taking != OpeningTurn::Taking::Taken) {
    LogOpeningBeside(env, functionName, args, "waits for a clip this thread is serving");
  }
  // The new clip has had the first use of what the victim freed; the rest
  // goes back to the system, whichever way the opening ends.
  struct ReturnFreed {
    bool victimReleased = false;
    ~ReturnFreed() {
      if (victimReleased) ReturnFreedMemory();
    }
  } freed;
  freed.victimReleased = MakeRoom(log);
  log.WriteVictim();
  // What the call opens is told only while no other opening runs, and is
  // wanted only while the description is learned.
  const bool learning = cache != nullptr && learningNow.load();
  const OpeningWatch watch(learning && taking == OpeningTurn::Taking::Taken);
  bool trusted;
  try {
    trusted = CallFunction(env, clip);  // the host's error reaches the caller unchanged
  } catch (const IScriptEnvironment::NotFound&) {
    log.Refused("no function of that name takes these arguments");
    throw;
  }
  if (learning && trusted) {
    std::vector<FileState> opened;
    Watched watched = watch.Opened(opened);
    if (watched == Watched::Told && OpeningTurn::instance().SideBySide()) watched = Watched::NotWatched;
    std::lock_guard<std::mutex> lock(mutex);
    learnedFrom->Opened(watched, std::move(opened));
  }
  return trusted;
}

void DorvelFilter::TrimToLimit() {
  bool trimmed = false;
  struct ReturnFreed {
    bool& trimmed;
    ~ReturnFreed() {
      if (trimmed) ReturnFreedMemory();
    }
  } const freed{trimmed};
  for (;;) {
    // As in MakeRoom: each victim is released with no lock held, its
    // environment kept until then.
    EnvironmentUse victimsEnvironment;
    Closed closed;
    OpenFilters& open = OpenFilters::instance();
    std::lock_guard<std::mutex> listLock(open.mutex());
    if (!open.OverLimit()) return;
    DorvelFilter* victim = VictimFrom(open.Oldest(), this, victimsEnvironment);
    if (victim == nullptr) return;
    std::lock_guard<std::mutex> victimLock(victim->mutex);
    victim->CloseLocked(closed);
    trimmed = true;
  }
}

DorvelFilter* DorvelFilter::VictimFrom(DorvelFilter* first, const DorvelFilter* spared, EnvironmentUse& pinned) {
  for (DorvelFilter* victim = first; victim != nullptr; victim = OpenFilters::Newer(victim)) {
    if (victim == spared) continue;
    EnvironmentUse use(victim->life.get());
    if (use.used()) {
      pinned = std::move(use);
      return victim;
    }
  }
  return nullptr;
}

bool DorvelFilter::MakeRoom(OpeningLog& log) {
  // The victim's environment cannot finish being deleted until its clip is
  // released, which happens after `closed` goes, first.
  EnvironmentUse victimsEnvironment;
  Closed closed;
  {
    OpenFilters& open = OpenFilters::instance();
    std::lock_guard<std::mutex> listLock(open.mutex());
    DorvelFilter* victim = VictimFrom(open.VictimForNextOpening(), nullptr, victimsEnvironment);
    if (victim == nullptr) return false;
    log.NoteVictim(victim->functionName, victim->args, victim->record, open.limit());
    std::lock_guard<std::mutex> victimLock(victim->mutex);
    victim->CloseLocked(closed);
  }
  // The victim's wrapped clip is released here, with no lock held. A request
  // the victim passed on before keeps its own reference until it returns.
  return true;
}

bool DorvelFilter::CallFunction(IScriptEnvironment* env, PClip& clip) const {
  std::string reason;
  const InWorkingFolder inFolder(folder.get(), reason);
  if (!inFolder.ok()) {
    const std::string name = folder->u8string();
    env->ThrowError("DorvelFilter: cannot make %s the working folder for %s: %s (in %s)", name.c_str(), functionName,
                    reason.c_str(), Call().c_str());
  }
  const int count = static_cast<int>(args.size());
  const AVSValue callArgs(count == 0 ? nullptr : args.values(), count);
  OpeningTurn& turn = OpeningTurn::instance();
  AVSValue result;
  turn.Calling();
  try {
    // Called through the environment the filter was made in, not the
    // request's: the host's filters keep the environment they are made with
    // and free their memory through it when they go, and a Prefetch thread's
    // own environment is deleted with the thread, while the wrapped clip may
    // live on in the script's variables. The host keeps each thread's state
    // with the thread, whichever environment it is called through.
    result = life->env()->Invoke(functionName, callArgs, count == 0 ? nullptr : args.names());
  } catch (...) {
    // An error met in another opening's folder (a file not found there) is
    // no answer either.
    if (!turn.Trusted()) return false;
    throw;
  }
  const bool trusted = turn.Trusted();
  // Beside other openings, the folder must have stayed: one that another
  // thread's Import changed is seen if it is still in force.
  if (folder && !WorkingFolderIs(*folder) && turn.SideBySide()) {
    std::error_code error;
    const std::string now = std::filesystem::current_path(error).u8string(), name = folder->u8string();
    env->ThrowError(kFolderChanged, name.c_str(), now.c_str(), functionName, Call().c_str());
  }
  // Released here, before anyone sees it, when it cannot be trusted.
  if (trusted) clip = result.AsClip();
  return trusted;
}

const std::string& DorvelFilter::Call() const { return callText; }

std::string DorvelFilter::Mismatch(const PClip& clip) const {
  switch (shape) {
    case Shape::FromTemplate:
      return ShapeMismatch(vi, clip->GetVideoInfo(), functionName, "the template");
    case Shape::FromFirstClip:
      return ShapeMismatch(vi, clip->GetVideoInfo(), functionName, "its first clip");
    case Shape::FromCache: {
      // Every field, exactly: the cached description stands for the clip's own.
      const CachedDescription made = DescriptionOf(clip->GetVideoInfo());
      if (made == DescriptionOf(vi)) return "";
      return CacheMismatch(DescriptionOf(vi), made, Call(), cache->path());
    }
    case Shape::Unknown:
      break;  // this clip will give the filter its description
  }
  return "";
}

void DorvelFilter::CloseLocked(Closed& closed) {
  OpenFilters::instance().Remove(this);
  isOpen = false;
  closed.clip = child;
  child = PClip();
  recent.MoveTo(closed.frames);
}
