// One script environment of a real AviSynth+ host, with the counting source
// registered and, unless told otherwise, the built module loaded. The
// environment is deleted with the session.
#pragma once

#include <avisynth.h>

#include <cstdint>
#include <string>
#include <vector>

class HostSession {
 public:
  // Load: the session loads the built module. Autoload: it does not; the
  // host finds it in its plugin folders, or a script loads it.
  enum class Module { Load, Autoload };
  explicit HostSession(Module module = Module::Load);
  ~HostSession();
  HostSession(const HostSession&) = delete;
  HostSession& operator=(const HostSession&) = delete;

  IScriptEnvironment* env() const { return env_; }
  // Evaluates script text; variables it sets stay for later calls. Script
  // errors arrive as the host's AvisynthError.
  AVSValue Eval(const std::string& script);
  // Evaluates script text whose value is a clip.
  PClip Clip(const std::string& script);
  // The message of the script error that `script` raises, or "" when it
  // raises none.
  std::string ErrorOf(const std::string& script);
  void LoadPlugin(const std::string& path);

 private:
  IScriptEnvironment* env_;
};

// The message of the host error that `request` raises, or "" when none.
template <typename Request>
std::string HostErrorOf(Request&& request) {
  try {
    request();
  } catch (const AvisynthError& error) {
    return error.msg;
  } catch (const IScriptEnvironment::NotFound&) {
    return "(the host's not-found exception)";
  }
  return "";
}

// A digest of every visible byte of a frame.
uint64_t FrameDigest(const PVideoFrame& frame, const VideoInfo& vi);
// The digest of each frame of a clip, read in order.
std::vector<uint64_t> FrameDigests(const PClip& clip, IScriptEnvironment* env);
// Every byte of a clip's audio, read in blocks from the first to the last,
// or from the last to the first.
std::vector<unsigned char> AllAudio(const PClip& clip, IScriptEnvironment* env, bool backwards = false);

// Script text that splices clips end to end: AlignedSplice(a, b, ...), with
// the clip made by `clip(i)` for each i below `count`.
template <typename MakeClip>
std::string SpliceOf(int count, MakeClip&& clip) {
  std::string script = "AlignedSplice(";
  for (int i = 0; i < count; ++i) script += (i == 0 ? "" : ", ") + clip(i);
  return script + ")";
}

// Script text that makes a template clip with the counting source's default
// shape: 64x48 YV12, 100 frames at 25 fps, one channel of 16-bit audio.
std::string CountingTemplate(int frames = 100);
