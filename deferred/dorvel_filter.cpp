#include "dorvel_filter.h"

#include <cstring>

#include "clip_shape.h"
#include "decode_parameters.h"
#include "freed_memory.h"

namespace {
constexpr const char* kOpenFailed = "DorvelFilter: Clip could not be opened";
}  // namespace

DorvelFilter::DorvelFilter(const char* functionName, const AVSValue& parameters, const PClip& viClip,
                           IScriptEnvironment* env)
    : vi(), functionName(env->SaveString(functionName)) {
  DecodeParameters(parameters, args, env);
  if (viClip) {
    vi = viClip->GetVideoInfo();
    shape = Shape::FromTemplate;
    return;
  }
  // No other thread knows this filter yet.
  opening = true;
  opener = std::this_thread::get_id();
  const PClip opened = Open(env);
  if (opened) {
    vi = opened->GetVideoInfo();
    shape = Shape::FromFirstClip;
  }
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
  const PClip clip = Acquire(env);
  if (!clip) return PVideoFrame();
  return clip->GetFrame(n, env);
}

void DorvelFilter::GetAudio(void* buf, int64_t start, int64_t count, IScriptEnvironment* env) {
  const PClip clip = Acquire(env);
  if (!clip) return;
  if (vi.HasAudio() && !clip->GetVideoInfo().HasAudio()) {
    // The advertised audio has no source: silence, as the host's own silent
    // clips give, rather than whatever the caller's buffer held.
    if (count > 0) std::memset(buf, 0, static_cast<std::size_t>(count) * vi.BytesPerAudioSample());
    return;
  }
  clip->GetAudio(buf, start, count, env);
}

bool DorvelFilter::GetParity(int n) {
  // A closed filter answers false and stays closed.
  const PClip clip = CurrentChild();
  return clip ? clip->GetParity(n) : false;
}

int DorvelFilter::SetCacheHints(int cachehints, int) {
  // One instance serves every thread: requests are safe to make at once, and
  // a second instance would open its own copy of the source, counted against
  // the same limit. Every other question gets 0, as the host requires.
  return cachehints == CACHE_GET_MTMODE ? MT_NICE_FILTER : 0;
}

const VideoInfo& DorvelFilter::GetVideoInfo() { return vi; }

PClip DorvelFilter::CurrentChild() {
  std::lock_guard<std::mutex> lock(mutex);
  return isOpen ? child : PClip();
}

PClip DorvelFilter::Acquire(IScriptEnvironment* env) {
  {
    std::unique_lock<std::mutex> lock(mutex);
    while (!isOpen) {
      if (!opening) {
        opening = true;
        opener = std::this_thread::get_id();
        break;
      }
      if (opener == std::this_thread::get_id()) {
        // The named function asked for this very filter while making it:
        // there is no clip to give, and calling again would never end.
        lock.unlock();
        env->ThrowError(kOpenFailed);
        return PClip();
      }
      openingEnded.wait(lock);  // another thread is opening it; use its clip
    }
    if (isOpen) return child;
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
  bool victimReleased = false;
  try {
    victimReleased = MakeRoom();
    clip = CallFunction(env);
  } catch (...) {
    AbandonOpening();
    if (victimReleased) ReturnFreedMemory();
    throw;  // the host's error reaches the caller unchanged
  }
  // The new clip has had the first use of what the victim freed; the rest
  // goes back to the system.
  if (victimReleased) ReturnFreedMemory();
  if (!clip) {
    AbandonOpening();
    env->ThrowError(kOpenFailed);
    return PClip();
  }
  const std::string mismatch = Mismatch(clip);
  if (!mismatch.empty()) {
    clip = PClip();  // never becomes the wrapped clip; released before anyone sees it
    AbandonOpening();
    env->ThrowError("%s", mismatch.c_str());
    return PClip();
  }
  {
    OpenFilters& open = OpenFilters::instance();
    std::lock_guard<std::mutex> listLock(open.mutex());
    std::lock_guard<std::mutex> lock(mutex);
    child = clip;
    isOpen = true;
    opening = false;
    open.Append(this);
  }
  openingEnded.notify_all();
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

void DorvelFilter::AbandonOpening() {
  {
    std::lock_guard<std::mutex> lock(mutex);
    opening = false;
  }
  openingEnded.notify_all();
}

PClip DorvelFilter::CloseLocked() {
  OpenFilters::instance().Remove(this);
  isOpen = false;
  PClip released = child;
  child = PClip();
  return released;
}
