// Turns the script's description of a call into an argument list and a
// parallel name list.
#pragma once

#include "deferred/calls/argument_list.h"
#include "deferred/calls/saved_strings.h"
#include "plugin/avisynth_interface.h"

// Appends one argument, with its name, to `args` for each element of
// `parameters`:
//   ['width', 640]   the argument 640, named "width";
//   ['!width', 640]  the positional argument ['width', 640] (one "!" removed,
//                    only the first character tested);
//   anything else    the element itself, positional (null name).
// The names, and every string in the arguments, at any depth of arrays, are
// `env`'s own copies, which live as long as it: a caller other than a script
// may free its strings as soon as its call returns.
void DecodeParameters(const AVSValue& parameters, ArgumentList& args, IScriptEnvironment* env, SavedStrings& saved);
