// A filter's key in the description cache: the whole call, and for each of
// its strings that names an existing file, resolved as the opening resolves
// it (relative to the working folder the filter recorded), that file's size,
// modification time and full path. A file changed or replaced since an entry
// was written makes another key, so the entry is never used for it.
#pragma once

#include <string>

#include "deferred/calls/argument_list.h"
#include "deferred/turns/working_folder.h"

// False when the call cannot be keyed: a clip among its arguments says
// nothing of what the clip holds.
bool MakeCacheKey(const char* functionName, const ArgumentList& args, const Folder* folder, std::string& key);
