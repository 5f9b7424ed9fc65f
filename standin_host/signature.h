// Parameter strings, as the host reads them: "s[parameters]a[vi_clip]c" is a
// required unnamed string, then an optional array named "parameters", then an
// optional clip named "vi_clip".
#pragma once

#include <string>
#include <vector>

#include "plugin/avisynth_interface.h"

struct Parameter {
  std::string name;  // empty for an unnamed parameter
  char type;         // 'c' clip, 'i' int, 'f' float, 'b' bool, 's' string, 'a' array, '.' any
  bool optional;
};

// Throws std::invalid_argument for a string the stand-in host does not read.
std::vector<Parameter> ParseParameters(const std::string& params);

// Places the call's arguments (positional ones in order, named ones by name)
// into `slots`, one per parameter, an absent one undefined. An undefined
// argument counts as an omitted one, but still needs a parameter to stand
// for: a function without parameters does not take one. False when the
// arguments do not fit.
bool MatchArguments(const std::vector<Parameter>& parameters, const AVSValue& args, const char* const* argNames,
                    std::vector<AVSValue>& slots);
