#include "script_environment.h"

#include <strings.h>

#include <cstdio>
#include <cstring>

#include "host_counters.h"

ScriptEnvironment::ScriptEnvironment() {
  AddFunction("SetLogParams", "si", [this](const AVSValue& args, IScriptEnvironment* env) {
    if (!log_.SetParams(args[0].AsString(), args[1].AsInt())) {
      env->ThrowError("SetLogParams: Could not open file \"%s\" for writing.", args[0].AsString());
    }
    return AVSValue();
  });
  AddFunction("LogMsg", "si", [this](const AVSValue& args, IScriptEnvironment* env) {
    if (!log_.Write(args[0].AsString(), args[1].AsInt())) env->ThrowError("LogMsg: level must be from 1 to 4");
    return AVSValue();
  });
}

ScriptEnvironment::~ScriptEnvironment() {
  // As the host does: the exit callbacks first, newest first, and only then
  // the script's functions.
  while (!atExit_.empty()) {
    const auto callback = atExit_.back();
    atExit_.pop_back();
    callback.first(callback.second, this);
  }
  exited_ = true;
  functions_.clear();
  plugins_.clear();
}

char* ScriptEnvironment::SaveString(const char* s, int length) {
  std::lock_guard<std::mutex> lock(mutex_);
  const std::size_t size = length < 0 ? std::strlen(s) : static_cast<std::size_t>(length);
  constexpr std::size_t kBlock = 64 * 1024;
  if (stringBlocks_.empty() || blockUsed_ + size + 1 > blockSize_) {
    blockSize_ = size + 1 > kBlock ? size + 1 : kBlock;
    stringBlocks_.emplace_back(new char[blockSize_]);
    blockUsed_ = 0;
  }
  char* saved = stringBlocks_.back().get() + blockUsed_;
  std::memcpy(saved, s, size);
  saved[size] = '\0';
  blockUsed_ += size + 1;
  savedBytes_ += size + 1;
  return saved;
}

namespace {
std::string Format(const char* fmt, va_list val) {
  va_list measure;
  va_copy(measure, val);
  const int length = std::vsnprintf(nullptr, 0, fmt, measure);
  va_end(measure);
  if (length < 0) return std::string();
  std::string text(static_cast<std::size_t>(length) + 1, '\0');
  std::vsnprintf(&text[0], text.size(), fmt, val);
  text.resize(static_cast<std::size_t>(length));
  return text;
}
}  // namespace

char* ScriptEnvironment::VSprintf(const char* fmt, va_list val) { return SaveString(Format(fmt, val).c_str()); }

char* ScriptEnvironment::Sprintf(const char* fmt, ...) {
  va_list val;
  va_start(val, fmt);
  char* text = VSprintf(fmt, val);
  va_end(val);
  return text;
}

void ScriptEnvironment::ThrowError(const char* fmt, ...) {
  // The error keeps its own copy of the message, so nothing is saved here.
  va_list val;
  va_start(val, fmt);
  std::string text = Format(fmt, val);
  va_end(val);
  throw AvisynthError(text);
}

namespace {
// How the host calls a plugin's handler: __cdecl on 32-bit Windows, the
// host's own convention, whatever the plugin declared. A handler of another
// convention leaves the stack unbalanced here, as it would in the host.
typedef AVSValue(DORVEL_CDECL* HostApplyFunc)(AVSValue args, void* user_data, IScriptEnvironment* env);
}  // namespace

void ScriptEnvironment::AddFunction(const char* name, const char* params, ApplyFunc apply, void* user_data) {
  const auto handler = reinterpret_cast<HostApplyFunc>(apply);
  AddFunction(name, params, [handler, user_data](const AVSValue& args, IScriptEnvironment* env) {
    return handler(args, user_data, env);
  });
}

void ScriptEnvironment::AddFunction(const std::string& name, const std::string& params, ScriptFunction function) {
  auto entry = std::make_shared<Function>();
  entry->name = name;
  entry->params = params;
  entry->parameters = ParseParameters(params);
  entry->body = std::move(function);
  std::lock_guard<std::mutex> lock(mutex_);
  functions_.push_back(std::move(entry));
}

void ScriptEnvironment::DefineScriptFunction(const std::string& name, const std::string& params,
                                             ScriptFunction function) {
  AddFunction(name, params, std::move(function));
  const Function* defined;
  std::string list;
  {
    std::lock_guard<std::mutex> lock(mutex_);
    defined = functions_.back().get();
    list = userFunctions_ == nullptr ? name : std::string(userFunctions_) + " " + name;
  }
  // The functions live until after the exit callbacks, so the callback's
  // pointer stays good.
  AtExit(&ScriptEnvironment::DeleteScriptFunction, const_cast<Function*>(defined));
  const char* saved = SaveString(list.c_str());
  std::lock_guard<std::mutex> lock(mutex_);
  userFunctions_ = saved;
}

void ScriptEnvironment::DeleteScriptFunction(void* function, IScriptEnvironment*) {
  const auto* deleted = static_cast<const Function*>(function);
  deleted->deleted = true;
  // Its code is gone under the call.
  if (deleted->running > 0) ++hostCounters().callsAfterExit;
}

std::size_t ScriptEnvironment::SavedBytes() {
  std::lock_guard<std::mutex> lock(mutex_);
  return savedBytes_;
}

std::size_t ScriptEnvironment::ExitCallbacks() {
  std::lock_guard<std::mutex> lock(mutex_);
  return atExit_.size();
}

namespace {
thread_local int requestDepth = 0;
}  // namespace

HostRequest::HostRequest() { ++requestDepth; }

HostRequest::~HostRequest() { --requestDepth; }

size_t ScriptEnvironment::GetEnvProperty(int property) {
  if (property != kEnvPropertyGetFrameDepth) ThrowError("GetEnvProperty: unknown property %d", property);
  return static_cast<size_t>(requestDepth);
}

AVSValue ScriptEnvironment::GetVar(const char* name) {
  std::lock_guard<std::mutex> lock(mutex_);
  if (std::strcmp(name, "$UserFunctions$") == 0 && userFunctions_ != nullptr) return AVSValue(userFunctions_);
  return AVSValue();
}

void ScriptEnvironment::AtExit(ShutdownFunc function, void* user_data) {
  std::lock_guard<std::mutex> lock(mutex_);
  atExit_.emplace_back(function, user_data);
}

int ScriptEnvironment::SetMemoryMax(int mem) {
  std::lock_guard<std::mutex> lock(mutex_);
  if (mem > 0) memoryMax_ = mem;
  return memoryMax_;
}

bool ScriptEnvironment::FunctionExists(const char* name) {
  std::lock_guard<std::mutex> lock(mutex_);
  for (const auto& function : functions_) {
    if (strcasecmp(function->name.c_str(), name) == 0) return true;
  }
  return false;
}

std::string ScriptEnvironment::ParametersOf(const std::string& name) {
  std::lock_guard<std::mutex> lock(mutex_);
  for (auto it = functions_.rbegin(); it != functions_.rend(); ++it) {
    if (strcasecmp((*it)->name.c_str(), name.c_str()) == 0) return (*it)->params;
  }
  return "";
}

AVSValue ScriptEnvironment::Invoke(const char* name, const AVSValue args, const char* const* arg_names) {
  if (exited_) ++hostCounters().callsAfterExit;
  std::vector<std::shared_ptr<const Function>> candidates;
  {
    std::lock_guard<std::mutex> lock(mutex_);
    for (auto it = functions_.rbegin(); it != functions_.rend(); ++it) {
      if (strcasecmp((*it)->name.c_str(), name) == 0) candidates.push_back(*it);
    }
  }
  std::vector<AVSValue> slots;
  for (const auto& function : candidates) {
    if (!MatchArguments(function->parameters, args, arg_names, slots)) continue;
    if (function->deleted) ++hostCounters().callsAfterExit;
    ++function->running;
    struct Running {
      std::atomic<int>& count;
      ~Running() { --count; }
    } const running{function->running};
    return function->body(ArrayOf(slots), this);
  }
  throw FunctionNotFound(std::string("no function '") + name + "' takes these arguments");
}

AVSValue ScriptEnvironment::Call(const char* name, const std::vector<AVSValue>& args,
                                 const std::vector<const char*>& names) {
  return Invoke(name, ArrayOf(args), names.empty() ? nullptr : names.data());
}

const char* ScriptEnvironment::LoadPlugin(const std::string& path, const AVS_Linkage* table) {
  auto library = std::make_unique<PluginLibrary>(path);
  const char* description = library->Init(this, table);
  std::lock_guard<std::mutex> lock(mutex_);
  plugins_.push_back(std::move(library));
  return description;
}

AVSValue ArrayOf(const std::vector<AVSValue>& elements) {
  return AVSValue(elements.empty() ? nullptr : elements.data(), static_cast<int>(elements.size()));
}

AVSValue CallDorvelFilter(IScriptEnvironment& env, const char* function, const AVSValue& parameters,
                          const PClip& viClip) {
  std::vector<AVSValue> args{AVSValue(function)};
  std::vector<const char*> names{nullptr};
  if (parameters.Defined()) {
    args.push_back(parameters);
    names.push_back("parameters");
  }
  if (viClip) {
    args.push_back(AVSValue(viClip));
    names.push_back("vi_clip");
  }
  return env.Invoke("DorvelFilter", ArrayOf(args), names.data());
}
