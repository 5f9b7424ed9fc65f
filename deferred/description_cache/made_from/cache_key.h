// A filter's key in the description cache: the whole call and the working
// folder where its relative names are taken. Beside the key, the state of
// each file that one of the call's strings names, resolved as the opening
// resolves it: part of what the description is made from.
#pragma once

#include <string>
#include <vector>

#include "deferred/calls/argument_list.h"
#include "deferred/description_cache/made_from/file_state.h"
#include "deferred/turns/working_folder.h"

// False when the call cannot be keyed: a clip among its arguments says
// nothing of what the clip holds.
bool MakeCacheKey(const char* functionName, const ArgumentList& args, const Folder* folder, std::string& key,
                  std::vector<FileState>& named);

// The state of the file `name` names, relative to `folder`; false when it
// names no existing file.
bool StateOfNamedFile(const std::string& name, const Folder* folder, FileState& state);
