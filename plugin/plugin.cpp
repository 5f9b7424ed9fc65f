// The module's boundary with the host: the handlers, then the entry
// function that registers them.
#include <memory>

#include "cache_at_load.h"
#include "check_at_load.h"
#include "deferred/dorvel_filter.h"
#include "deferred/open_filters.h"
#include "deferred/process_wide.h"
#include "function_named.h"
#include "handlers.h"

#if defined(_WIN32)
#define DORVEL_EXPORT __declspec(dllexport)
#else
#define DORVEL_EXPORT __attribute__((visibility("default")))
#endif

// The host's table of value operations, as the entry function was last given it.
const AVS_Linkage* AVS_linkage = nullptr;

// `user_data` is the environment the module was loaded into: the host loads
// a module through the script's own environment, whichever thread asks, while
// `env` is a Prefetch thread's own when a runtime script makes the filter
// there, and goes with the thread.
AVSValue DORVEL_CDECL CreateDorvelFilter(AVSValue args, void* user_data, IScriptEnvironment* env) {
  const PClip viClip = args[2].AsClip();
  const char* functionName = args[0].AsString();
  const AVSValue parameters = args[1];
  RequireFunction(functionName, env);
  auto* made = new DorvelFilter(functionName, parameters, viClip, env, CacheOf(env),
                                static_cast<IScriptEnvironment*>(user_data));
  const PClip filter = made;  // released, should the check fail
  if (viClip || made->DescribedByCache()) {
    const LoadCheck check = CheckAtLoad(env);
    if (check.now) {
      made->CheckWhileLoading(env);
    } else if (check.skipped != nullptr) {
      made->LogNotChecked(env, check.skipped);
    }
  }
  return filter;
}

AVSValue DORVEL_CDECL SetDorvelFilterLimit(AVSValue args, void*, IScriptEnvironment*) {
  const int limit = args[0].AsInt();
  SetOpenLimit(limit);
  return limit;
}

// An environment that loaded the module holds the process-wide objects until
// its exit callbacks have run: those the module registers (forgetting the
// environment's switches and cache) run before this one, registered first.
void DORVEL_CDECL LetGo(void* hold, IScriptEnvironment*) { delete static_cast<ProcessHold*>(hold); }

extern "C" DORVEL_EXPORT const char* DORVEL_STDCALL AvisynthPluginInit3(IScriptEnvironment* env,
                                                                        const AVS_Linkage* const vectors) {
  // Every later value operation depends on the table, so it is stored first.
  // Each environment that loads the module passes the same table; storing it
  // only when it differs keeps repeated loads from racing with running code.
  if (AVS_linkage != vectors) AVS_linkage = vectors;
  auto hold = std::make_unique<ProcessHold>();
  env->AtExit(LetGo, hold.get());
  hold.release();
  env->AddFunction("DorvelFilter", "s[parameters]a[vi_clip]c", CreateDorvelFilter, env);
  env->AddFunction("DorvelFilterLimit", "i", SetDorvelFilterLimit, nullptr);
  env->AddFunction("DorvelFilterCheck", "[enable]b", SetDorvelFilterCheck, nullptr);
  env->AddFunction("DorvelFilterCache", "[file]s", SetDorvelFilterCache, nullptr);
  return "DorvelFilter";
}
