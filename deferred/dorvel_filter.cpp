#include "dorvel_filter.h"

#include <cstring>

#include "audio_span.h"
#include "clip_shape.h"
#include "decode_parameters.h"
#include "field_order.h"
#include "freed_memory.h"

namespace {
constexpr const char* kOpenFailed = "DorvelFilter: Clip could not be opened";
constexpr const char* kWaitsForItself = "DorvelFilter: the clip that %s made asks its own DorvelFilter for frames or audio";
}  // namespace

// The working folder held, for as long as the named function is called.
class DorvelFilter::InFolder {
 public:
  InFolder(const DorvelFilter& filter, IScriptEnvironment* env) : held_(filter.folder != nullptr) {
    if (!held_) return;
    std::string reason;
    const FolderLease::Taking taking = FolderLease::Take(*filter.folder, reason);
    if (taking == FolderLease::Taking::Taken) return;
    const std::string folder = filter.folder->u8string();
    if (taking == FolderLease::Taking::WouldWaitForItself) {
      env->ThrowError(
          "DorvelFilter: %s must be called in %s, but the openings that keep another working folder wait for "
          "this one",
          filter.functionName, folder.c_str());
    }
    env->ThrowError("DorvelFilter: cannot make %s the working folder for %s: %s", folder.c_str(), filter.functionName,
                    reason.c_str());
  }
  ~InFolder() {
    if (held_) FolderLease::Give();
  }
  InFolder(const InFolder&) = delete;
  InFolder& operator=(const InFolder&) = delete;

 private:
  bool held_;
};

// The filter's turn, held from the moment it was taken; given back, and any
// opening under it ended, on every way out.
class DorvelFilter::HeldTurn {
 public:
  explicit HeldTurn(DorvelFilter& filter) : filter_(filter) {}
  ~HeldTurn() {
    std::lock_guard<std::mutex> lock(filter_.mutex);
    filter_.opening = false;
    filter_.turn.Give();
  }
  HeldTurn(const HeldTurn&) = delete;
  HeldTurn& operator=(const HeldTurn&) = delete;

 private:
  DorvelFilter& filter_;
};

// One frame or audio request: the filter's turn and a counted reference to
// the wrapped clip. The reference keeps the clip alive until the request
// returns, even when the filter is closed meanwhile; it is dropped before the
// turn is given back, so that no other thread works on the filter while a
// clip of it is being destroyed.
class DorvelFilter::Request {
 public:
  Request(DorvelFilter& filter, IScriptEnvironment* env)
      : turn_((filter.TakeTurn(env), filter)), clip_(filter.OpenedClip(env)) {}
  ~Request() { clip_ = PClip(); }
  Request(const Request&) = delete;
  Request& operator=(const Request&) = delete;

  IClip* operator->() const { return clip_.operator->(); }
  const PClip& clip() const { return clip_; }

 private:
  HeldTurn turn_;  // declared first: given back last
  PClip clip_;
};

DorvelFilter::DorvelFilter(const char* functionName, const AVSValue& parameters, const PClip& viClip,
                           IScriptEnvironment* env)
    : vi(), functionName(functionName) {
  DecodeParameters(parameters, args);
  if (viClip) {
    vi = viClip->GetVideoInfo();
    shape = Shape::FromTemplate;
    return;
  }
  // No other thread knows this filter yet: the turn is free. The host's
  // not-found signal passes unchanged here, to be reported by the script
  // that calls "DorvelFilter".
  TakeTurn(env);
  const HeldTurn held(*this);
  opening = true;
  const PClip opened = Open(env);
  vi = opened->GetVideoInfo();
  shape = Shape::FromFirstClip;
}

DorvelFilter::~DorvelFilter() {
  PClip released;
  {
    std::lock_guard<std::mutex> listLock(OpenFilters::instance().mutex());
    std::lock_guard<std::mutex> lock(mutex);
    if (isOpen) released = CloseLocked();
  }
  // The wrapped clip is dropped here, with no lock held; the stored
  // arguments go after it.
  if (released) {
    released = PClip();
    ReturnFreedMemory();
  }
}

PVideoFrame DorvelFilter::GetFrame(int n, IScriptEnvironment* env) {
  const Request request(*this, env);
  return request->GetFrame(n, env);
}

void DorvelFilter::GetAudio(void* buf, int64_t start, int64_t count, IScriptEnvironment* env) {
  const Request request(*this, env);
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

int DorvelFilter::SetCacheHints(int cachehints, int) {
  // One instance serves every thread, and lets one request at a time reach
  // its wrapped clip: a second instance would open its own copy of the
  // source, counted against the same limit, and the host's own guard would
  // hang a request that comes back to the filter it is serving. Every other
  // question gets 0, as the host requires.
  return cachehints == CACHE_GET_MTMODE ? MT_NICE_FILTER : 0;
}

const VideoInfo& DorvelFilter::GetVideoInfo() { return vi; }

void DorvelFilter::TakeTurn(IScriptEnvironment* env) {
  std::unique_lock<std::mutex> lock(mutex);
  if (turn.Take(lock) == Turn::Taking::Taken) return;
  // The named function asked for this filter's frames while making its
  // clip, or the clip asked while serving a request, here or through
  // threads that wait for each other: waiting would never end.
  const bool whileOpening = opening;
  lock.unlock();
  if (whileOpening) {
    env->ThrowError(kOpenFailed);
  } else {
    env->ThrowError(kWaitsForItself, functionName);
  }
}

PClip DorvelFilter::OpenedClip(IScriptEnvironment* env) {
  {
    std::lock_guard<std::mutex> lock(mutex);
    if (isOpen) return child;
    opening = true;
  }
  try {
    return Open(env);
  } catch (const IScriptEnvironment::NotFound&) {
    // Inside a script the host reports this as a script error of the
    // calling function; a frame or audio request has no such caller, and
    // a client would see an exception of no kind it knows.
    env->ThrowError("DorvelFilter: Invalid arguments to function '%s'", functionName);
    return PClip();
  }
}

PClip DorvelFilter::Open(IScriptEnvironment* env) {
  PClip clip;
  {
    // The new clip has had the first use of what the victim freed; the rest
    // goes back to the system, whichever way the opening ends.
    struct ReturnFreed {
      bool victimReleased = false;
      ~ReturnFreed() {
        if (victimReleased) ReturnFreedMemory();
      }
    } freed;
    freed.victimReleased = MakeRoom();
    clip = CallFunction(env);  // the host's error reaches the caller unchanged
  }
  if (!clip) {
    env->ThrowError(kOpenFailed);
    return PClip();
  }
  const std::string mismatch = Mismatch(clip);
  if (!mismatch.empty()) {
    clip = PClip();  // never becomes the wrapped clip; released before anyone sees it
    env->ThrowError("%s", mismatch.c_str());
    return PClip();
  }
  OpenFilters& open = OpenFilters::instance();
  std::lock_guard<std::mutex> listLock(open.mutex());
  std::lock_guard<std::mutex> lock(mutex);
  child = clip;
  isOpen = true;
  opening = false;
  open.Append(this);
  return clip;
}

bool DorvelFilter::MakeRoom() {
  PClip released;
  {
    OpenFilters& open = OpenFilters::instance();
    std::lock_guard<std::mutex> listLock(open.mutex());
    DorvelFilter* victim = open.VictimForNextOpening();
    if (victim == nullptr) return false;
    std::lock_guard<std::mutex> victimLock(victim->mutex);
    released = victim->CloseLocked();
  }
  // The victim's wrapped clip is released here, with no lock held. A request
  // the victim passed on before keeps its own reference until it returns.
  return true;
}

PClip DorvelFilter::CallFunction(IScriptEnvironment* env) const {
  const InFolder inFolder(*this, env);
  const int count = static_cast<int>(args.size());
  const AVSValue callArgs(count == 0 ? nullptr : args.values(), count);
  const AVSValue result = env->Invoke(functionName, callArgs, count == 0 ? nullptr : args.names());
  return result.AsClip();
}

std::string DorvelFilter::Mismatch(const PClip& clip) const {
  switch (shape) {
    case Shape::FromTemplate:
      return ShapeMismatch(vi, clip->GetVideoInfo(), functionName, "the template");
    case Shape::FromFirstClip:
      return ShapeMismatch(vi, clip->GetVideoInfo(), functionName, "its first clip");
    case Shape::Unknown:
      break;  // this clip will give the filter its description
  }
  return "";
}

PClip DorvelFilter::CloseLocked() {
  OpenFilters::instance().Remove(this);
  isOpen = false;
  PClip released = child;
  child = PClip();
  return released;
}
