// Whether a script function's description can stand on its calling script
// alone. A function defined in another script (one imported before, an
// autoloaded .avsi) or a script that imports one reads files that are closed
// again before the call returns: an edit there changes the part and shows
// nowhere the cache looks. Only a script that defines every function the
// host lists as a script's, and imports nothing, shows each such edit.
#pragma once

#include <string>

// Empty when the script in `path` defines `functionName` and each name of
// `userFunctions` (the host's "$UserFunctions$", names apart by spaces) and
// does not import; otherwise why it cannot be told.
std::string WhatTheScriptCannotShow(const std::string& path, const char* functionName,
                                    const std::string& userFunctions);
