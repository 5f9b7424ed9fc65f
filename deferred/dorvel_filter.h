// DorvelFilter: stands in for the clip a named script function returns, and
// calls that function only when frames or audio are needed. When too many
// filters are open in the process, the one opened longest ago gives its
// wrapped clip up; it is made again, by the same call, on its next request.
#pragma once

#include <condition_variable>
#include <mutex>
#include <string>
#include <thread>

#include "argument_list.h"
#include "open_filters.h"
#include "plugin/avisynth_interface.h"

class DorvelFilter : public IClip {
 public:
  // The filter keeps `env`'s own copies of `functionName` and of the strings
  // in `parameters`, so the caller's may go when the call returns. With a
  // `viClip` the filter advertises its description and stays closed;
  // without one it opens at once.
  DorvelFilter(const char* functionName, const AVSValue& parameters, const PClip& viClip, IScriptEnvironment* env);
  ~DorvelFilter() override;

  PVideoFrame DORVEL_STDCALL GetFrame(int n, IScriptEnvironment* env) override;
  bool DORVEL_STDCALL GetParity(int n) override;
  void DORVEL_STDCALL GetAudio(void* buf, int64_t start, int64_t count, IScriptEnvironment* env) override;
  int DORVEL_STDCALL SetCacheHints(int cachehints, int frame_range) override;
  const VideoInfo& DORVEL_STDCALL GetVideoInfo() override;

 private:
  // A counted reference to the wrapped clip, held by the caller for the
  // length of one passed-on request, so that the clip outlives the request
  // even when this filter is closed meanwhile. Opens the filter first when
  // it is closed.
  PClip Acquire(IScriptEnvironment* env);
  // The wrapped clip when open, else an empty handle.
  PClip CurrentChild();
  // Makes the wrapped clip exist; the caller has marked this filter opening.
  PClip Open(IScriptEnvironment* env);
  // Closes the oldest open filter when the list is full; true when it did.
  static bool MakeRoom();
  // Calls the named function with the stored arguments.
  PClip CallFunction(IScriptEnvironment* env) const;
  // The error line when `clip` does not fit `vi`, else empty.
  std::string Mismatch(const PClip& clip) const;
  // Ends an opening that yielded no clip: the filter is closed again, and
  // threads waiting for it go on.
  void AbandonOpening();
  // With the list's and this filter's mutex held: leaves the list and gives
  // the wrapped clip to the caller, to release once both are unlocked.
  PClip CloseLocked();

  // What every request and every closing touches comes first, next to the
  // host's reference count, so a filter mostly costs one or two cache lines.
  //
  // `child` and `isOpen` are guarded by `mutex` and change only with the
  // list's mutex held too; `opening`, `opener` and `openingEnded` go with
  // `mutex` alone; `link` belongs to the list's mutex.
  PClip child;
  bool isOpen = false;
  bool opening = false;
  std::mutex mutex;
  friend class OpenFilters;
  OpenListLink link;
  std::thread::id opener;
  std::condition_variable openingEnded;

  // Where `vi` came from. Every opening after `vi` is known must make a clip
  // that fits it.
  enum class Shape { Unknown, FromTemplate, FromFirstClip };

  // Set during construction and never changed.
  VideoInfo vi;
  Shape shape = Shape::Unknown;
  const char* functionName;
  ArgumentList args;
};
