// A string variable of the host's own, such as "$ScriptName$", read from a
// script environment.
#pragma once

#include <string>

#include "plugin/avisynth_interface.h"

// The variable's text, or "" when the host has no such variable or it holds
// no string.
inline std::string StringVar(IScriptEnvironment* env, const char* name) {
  try {
    const AVSValue value = env->GetVar(name);
    return value.IsString() && value.AsString() != nullptr ? value.AsString() : "";
  } catch (const IScriptEnvironment::NotFound&) {
    return "";
  }
}
