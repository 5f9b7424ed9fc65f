// The stand-in host's script environment: registers script functions, calls
// them by name with positional and named arguments, raises script errors, and
// loads plugins. It stands in for AviSynth+ where the host is not installed.
#pragma once

#include <atomic>
#include <functional>
#include <memory>
#include <mutex>
#include <stdexcept>
#include <string>
#include <vector>

#include "host_log.h"
#include "plugin/avisynth_interface.h"
#include "plugin_library.h"
#include "signature.h"

// A script error, raised by ThrowError.
class AvisynthError : public std::runtime_error {
 public:
  using std::runtime_error::runtime_error;
};

// Invoke found no function of that name that takes the arguments given. It
// is the host's not-found signal, with a text for the tests.
class FunctionNotFound : public IScriptEnvironment::NotFound, public std::runtime_error {
 public:
  using std::runtime_error::runtime_error;
};

using ScriptFunction = std::function<AVSValue(const AVSValue& args, IScriptEnvironment* env)>;

class ScriptEnvironment : public IScriptEnvironment {
 public:
  // Has the host's log functions, SetLogParams and LogMsg.
  ScriptEnvironment();
  ~ScriptEnvironment() override;  // forgets its functions, then unloads its plugins

  int DORVEL_STDCALL GetCPUFlags() override { return 0; }
  char* DORVEL_STDCALL SaveString(const char* s, int length = -1) override;
  char* Sprintf(const char* fmt, ...) override;
  char* DORVEL_STDCALL VSprintf(const char* fmt, va_list val) override;
  void ThrowError(const char* fmt, ...) override;
  void DORVEL_STDCALL AddFunction(const char* name, const char* params, ApplyFunc apply, void* user_data) override;
  bool DORVEL_STDCALL FunctionExists(const char* name) override;
  // Hands back what the function returned as it is, the way the host does
  // for every call made during a frame or audio request: no frame cache and
  // no thread guard around a clip, whatever threading mode it declares. (The
  // host adds both only to clips made while a script loads.)
  AVSValue DORVEL_STDCALL Invoke(const char* name, const AVSValue args,
                                 const char* const* arg_names = nullptr) override;

  // Of the variables, only the host's list of the functions scripts defined,
  // "$UserFunctions$"; the rest, frames and versions are not the stand-in's
  // business.
  AVSValue DORVEL_STDCALL GetVar(const char* name) override;
  bool DORVEL_STDCALL SetVar(const char*, const AVSValue&) override { return false; }
  bool DORVEL_STDCALL SetGlobalVar(const char*, const AVSValue&) override { return false; }
  void DORVEL_STDCALL PushContext(int) override {}
  void DORVEL_STDCALL PopContext() override {}
  PVideoFrame DORVEL_STDCALL NewVideoFrame(const VideoInfo&, int) override { return PVideoFrame(); }
  bool DORVEL_STDCALL MakeWritable(PVideoFrame*) override { return false; }
  void DORVEL_STDCALL BitBlt(unsigned char*, int, const unsigned char*, int, int, int) override {}
  void DORVEL_STDCALL CheckVersion(int) override {}
  PVideoFrame DORVEL_STDCALL Subframe(PVideoFrame, int, int, int, int) override { return PVideoFrame(); }
  // Answers how many frame or audio requests the stand-in serves on the
  // calling thread (see HostRequest); any other question is a script error.
  size_t DORVEL_STDCALL GetEnvProperty(int property) override;
  // Run by the destructor, last registered first, before the functions go.
  void DORVEL_STDCALL AtExit(ShutdownFunc function, void* user_data) override;
  // The host's frame memory limit in MB: set when above 0, answered always.
  int DORVEL_STDCALL SetMemoryMax(int mem) override;

  // Registers a function written in the host's own code.
  void AddFunction(const std::string& name, const std::string& params, ScriptFunction function);
  // Registers a function as the host does when it reads a script's
  // definition: an exit callback that deletes it (a call after that is
  // counted), then the function, then its name appended to a new copy of
  // "$UserFunctions$".
  void DefineScriptFunction(const std::string& name, const std::string& params, ScriptFunction function);
  // Invoke with the arguments as a list; `names` is empty or one per argument.
  AVSValue Call(const char* name, const std::vector<AVSValue>& args, const std::vector<const char*>& names = {});
  // Loads a plugin and calls its entry function with this environment and
  // `table` (the stand-in host's own by default).
  const char* LoadPlugin(const std::string& path, const AVS_Linkage* table = nullptr);
  // How many exit callbacks are registered.
  std::size_t ExitCallbacks();
  // How many bytes SaveString has kept; like 3.7.3, the stand-in keeps a new
  // copy at every call.
  std::size_t SavedBytes();
  // The parameter string a function was registered with, or empty.
  std::string ParametersOf(const std::string& name);

 private:
  struct Function {
    std::string name;
    std::string params;
    std::vector<Parameter> parameters;
    ScriptFunction body;
    mutable std::atomic<bool> deleted{false};  // by its exit callback, for a script's function
    mutable std::atomic<int> running{0};       // calls under way
  };
  static void DORVEL_CDECL DeleteScriptFunction(void* function, IScriptEnvironment* env);

  std::mutex mutex_;
  std::vector<std::shared_ptr<const Function>> functions_;  // newest last
  // Saved strings, packed one after another into large blocks, as the host
  // keeps them: each lives as long as the environment.
  std::vector<std::unique_ptr<char[]>> stringBlocks_;
  std::size_t blockUsed_ = 0;
  std::size_t blockSize_ = 0;
  std::size_t savedBytes_ = 0;
  std::vector<std::unique_ptr<PluginLibrary>> plugins_;
  std::vector<std::pair<ShutdownFunc, void*>> atExit_;
  std::atomic<bool> exited_{false};  // the exit callbacks ran: the functions are gone
  const char* userFunctions_ = nullptr;  // "$UserFunctions$", saved anew for each definition
  int memoryMax_ = 1024;
  StandInLog log_;
};

// One frame or audio request that the stand-in serves on the calling thread,
// counted while it lives, as the host counts the requests that pass its
// caches and thread guards (a runtime filter's script runs inside one).
class HostRequest {
 public:
  HostRequest();
  ~HostRequest();
  HostRequest(const HostRequest&) = delete;
  HostRequest& operator=(const HostRequest&) = delete;
};

// An array value made from a list.
AVSValue ArrayOf(const std::vector<AVSValue>& elements);

// DorvelFilter(function, parameters=parameters, vi_clip=viClip), as a script
// calls it: an undefined `parameters` and an empty `viClip` are left out.
AVSValue CallDorvelFilter(IScriptEnvironment& env, const char* function, const AVSValue& parameters,
                          const PClip& viClip = PClip());
