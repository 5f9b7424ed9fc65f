// The handlers of the module's two script functions.
#pragma once

#include "avisynth_interface.h"

// DorvelFilter(string function, array "parameters", clip "vi_clip"):
// a clip that calls `function` with `parameters` when it is first needed.
AVSValue DORVEL_CDECL CreateDorvelFilter(AVSValue args, void* user_data, IScriptEnvironment* env);

// DorvelFilterLimit(int limit): how many wrapped clips may be open in the
// process at once; answers the limit set.
AVSValue DORVEL_CDECL SetDorvelFilterLimit(AVSValue args, void* user_data, IScriptEnvironment* env);
