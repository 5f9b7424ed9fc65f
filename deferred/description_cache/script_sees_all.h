// Whether a script function's description can stand on its calling script
// alone. A function defined in another script (one imported before, an
// autoloaded .avsi) or a script that imports one reads files that are closed
// again before the call returns: an edit there changes the part and shows
// nowhere the cache looks. Only a script that defines every function the
// host lists as a script's, and imports nothing, shows each such edit. The
// same holds for a host function that runs script text (Import, Eval,
// Apply), and that text must import nothing more.
#pragma once

#include <string>

// Empty when the script in `path` defines each name of `userFunctions` (the
// host's "$UserFunctions$", names apart by spaces) and, unless it is null,
// defines `functionName` and does not import; otherwise why it cannot be
// told.
std::string WhatTheScriptCannotShow(const std::string& path, const char* functionName,
                                    const std::string& userFunctions);

// Whether `text` holds the word "import", in any case.
bool SaysImport(const std::string& text);

// The first name of `userFunctions` that `text` holds as a word of its
// own, in any case; "" when none.
std::string FunctionNamed(const std::string& text, const std::string& userFunctions);

// The whole text of the file `path`; false when it does not read.
bool ReadScript(const std::string& path, std::string& text);
