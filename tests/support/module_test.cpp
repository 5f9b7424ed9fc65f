#include "module_test.h"

#include <condition_variable>
#include <cstdio>
#include <cstdlib>
#include <mutex>
#include <thread>

#if defined(_WIN32)
#include <windows.h>
#endif

void RunOrAbort(const std::vector<std::function<void()>>& work, std::chrono::seconds limit) {
  std::mutex mutex;
  std::condition_variable done;
  std::size_t finished = 0;
  std::vector<std::thread> threads;
  for (const auto& piece : work) {
    threads.emplace_back([&, piece] {
      piece();
      std::lock_guard<std::mutex> lock(mutex);
      ++finished;
      done.notify_all();
    });
  }
  {
    std::unique_lock<std::mutex> lock(mutex);
    if (!done.wait_for(lock, limit, [&] { return finished == work.size(); })) {
      std::fprintf(stderr, "requests still waiting after %d s: they hang\n", static_cast<int>(limit.count()));
      std::abort();
    }
  }
  for (std::thread& thread : threads) thread.join();
}

AVSValue RecordingEnvironment::Invoke(const char* name, const AVSValue args, const char* const* arg_names) {
  if (!recording_) return ScriptEnvironment::Invoke(name, args, arg_names);
  Invocation call;
  call.name = name;
  call.argsIsArray = args.IsArray();
  const int count = args.IsArray() ? args.ArraySize() : 1;
  for (int i = 0; i < count; ++i) call.args.push_back(args[i]);
  call.namesGiven = arg_names != nullptr;
  for (int i = 0; arg_names != nullptr && i < count; ++i) call.names.push_back(arg_names[i]);
  {
    std::lock_guard<std::mutex> lock(mutex_);
    calls_.push_back(std::move(call));
  }
  return ScriptEnvironment::Invoke(name, args, arg_names);
}

std::vector<RecordingEnvironment::Invocation> RecordingEnvironment::CallsOf(const std::string& name) {
  std::lock_guard<std::mutex> lock(mutex_);
  std::vector<Invocation> found;
  for (const Invocation& call : calls_) {
    if (call.name == name) found.push_back(call);
  }
  return found;
}

void RecordingEnvironment::Forget() {
  std::lock_guard<std::mutex> lock(mutex_);
  calls_.clear();
}

std::string ErrorOf(const std::function<void()>& request) {
  try {
    request();
  } catch (const AvisynthError& error) {
    return error.what();
  }
  return "";
}

void ModuleTest::SetUp() {
  valuesBefore = hostCounters().liveValues.load();
  env = std::make_unique<RecordingEnvironment>();
  ASSERT_STREQ(env->LoadPlugin(DORVEL_MODULE_PATH), "DorvelFilter");
  SourceSettings settings;
  settings.stats = &stats;
  AddSourceFunction(*env, "Source", settings);
}

void ModuleTest::TearDown() {
  env->Forget();
  EXPECT_EQ(stats.alive.load(), 0) << "wrapped clips still alive";
  EXPECT_EQ(stats.overlaps.load(), 0) << "two threads were inside a source that is serialized";
  EXPECT_EQ(hostCounters().liveValues.load(), valuesBefore) << "script values not released";
  EXPECT_EQ(hostCounters().liveArrays.load(), 0);
  EXPECT_EQ(hostCounters().liveFrames.load(), 0);
  EXPECT_EQ(hostCounters().doubleReleases.load(), 0);
  EXPECT_EQ(hostCounters().overReleases.load(), 0);
  env.reset();
}

PClip ModuleTest::Deferred(const char* function, const AVSValue& parameters, const PClip& viClip) {
  return CallDorvelFilter(*env, function, parameters, viClip).AsClip();
}

PClip ModuleTest::Deferred(int id, const PClip& viClip) { return Deferred("Source", ArrayOf({AVSValue(id)}), viClip); }

AVSValue ModuleTest::Limit(int limit) { return env->Call("DorvelFilterLimit", {AVSValue(limit)}); }

PClip ModuleTest::Template(const VideoInfo& shape) {
  SourceSettings settings;
  settings.vi = shape;
  return PClip(new SourceClip(-1, settings));
}

int ModuleTest::SourceOf(const PClip& clip, int n) {
  const PVideoFrame frame = clip->GetFrame(n, env.get());
  return frame ? frame->source() : -100;
}

void AssumeShortWakesShown(int shown) {
  constexpr const char* kName = "DORVEL_TEST_SHORT_WAKES_SHOWN";
  const char* value = shown == 1 ? "1" : shown == 0 ? "0" : nullptr;
#if defined(_WIN32)
  SetEnvironmentVariableA(kName, value);
#else
  if (value != nullptr) {
    setenv(kName, value, 1);
  } else {
    unsetenv(kName);
  }
#endif
}
