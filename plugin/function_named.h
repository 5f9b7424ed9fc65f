// The wrapped function must exist when a filter is made: a name the host does
// not know would otherwise fail only when the filter opens, mid-encode, with
// a message about its arguments.
#pragma once

#include "avisynth_interface.h"

// Raises "DorvelFilter: there is no function named "NAME"" when `env` knows
// no script function of that name.
void RequireFunction(const char* name, IScriptEnvironment* env);
