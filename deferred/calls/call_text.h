// A filter's call as a script would write it, for the host's log:
// FFVideoSource("p1.mkv", cache=false). Clips show as "clip"; long strings
// and long lists are shortened, unless the whole call is asked for.
#pragma once

#include <string>

#include "deferred/calls/argument_list.h"

std::string CallText(const char* functionName, const ArgumentList& args, bool whole = false);
