// A script environment of the stand-in host with the built module loaded,
// a counted "Source" function, and helpers to make and ask deferred clips.
// After every test it checks that each value, frame and clip the test made
// was released, and released once.
#pragma once

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "host_counters.h"
#include "script_environment.h"
#include "source_clip.h"
#include "video_frame.h"

// Remembers every Invoke made through it: the name, the arguments and the
// argument names, as the caller passed them.
class RecordingEnvironment : public ScriptEnvironment {
 public:
  struct Invocation {
    std::string name;
    bool argsIsArray = false;
    std::vector<AVSValue> args;
    bool namesGiven = false;
    std::vector<const char*> names;
  };

  AVSValue DORVEL_STDCALL Invoke(const char* name, const AVSValue args, const char* const* arg_names) override;

  // The calls made of `name`, oldest first.
  std::vector<Invocation> CallsOf(const std::string& name);
  void Forget();
  // Calls made from now on are not remembered.
  void StopRecording() { recording_ = false; }

 private:
  std::atomic<bool> recording_{true};
  std::mutex mutex_;
  std::vector<Invocation> calls_;
};

// Runs each piece of work on a thread of its own, all at once, and waits for
// them; when they are not done within `limit` they are taken to hang, and the
// process ends at once, since a hung thread can be neither joined nor left.
void RunOrAbort(const std::vector<std::function<void()>>& work, std::chrono::seconds limit = std::chrono::seconds(20));

// The message of the script error `request` raises, or "" when none.
std::string ErrorOf(const std::function<void()>& request);

// Tells the module whether a thread's clock shows a moment's work, as it
// would find on Linux (1) or under Wine (0); -1 lets it measure. Given
// before the module first waits for an opening.
void AssumeShortWakesShown(int shown);

class ModuleTest : public ::testing::Test {
 protected:
  void SetUp() override;
  void TearDown() override;

  // DorvelFilter(function, parameters, vi_clip=viClip); an undefined
  // `parameters` leaves it out.
  PClip Deferred(const char* function, const AVSValue& parameters, const PClip& viClip = PClip());
  // DorvelFilter("Source", [id]), with a template clip or without.
  PClip Deferred(int id, const PClip& viClip = PClip());
  // DorvelFilterLimit(limit).
  AVSValue Limit(int limit);
  // A clip to serve as a template, of the sources' shape and length by
  // default; it is not counted among the sources.
  static PClip Template(const VideoInfo& shape = SourceSettings::DefaultVideoInfo());
  static constexpr int kTemplateFrames = 1000;  // the sources' length: another is refused at opening
  // The id of the source that made frame n.
  int SourceOf(const PClip& clip, int n = 0);
  // Whether a deferred clip has its wrapped clip now: every source answers
  // true for parity, a closed filter whose description states no field
  // order false.
  static bool IsOpen(const PClip& filter) {
    EXPECT_EQ(filter->GetVideoInfo().image_type, 0) << "a closed filter of this field order may answer true";
    return filter->GetParity(0);
  }

  std::unique_ptr<RecordingEnvironment> env;
  SourceStats stats;

 private:
  long valuesBefore = 0;
};
