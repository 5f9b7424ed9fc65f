// Whether a script function's description can stand on its calling script
// alone. A function defined in another script (one imported before, an
// autoloaded .avsi) or a script that imports one reads files that are closed
// again before the call returns: an edit there changes the part and shows
// nowhere the cache looks. Only a script that defines every function the
// host lists as a script's, and imports nothing, shows each such edit. The
// same holds for a host function that runs script text (Import, Eval,
// Apply), and that text must import nothing more.
#pragma once

#include <functional>
#include <string>
#include <vector>

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

// The first word of `text` that names a function whose answer no file holds
// (Exist, Rand, Time, the host's version, whether a function is there, ...)
// or "try", whose catch may stand for a file that is not there, or "eval"
// or "apply", which may run a name no word of `text` holds, in any case;
// "" when none.
std::string AsksWhatNoFileHolds(const std::string& text);

// The first word of `text` that `isVariable` says names a variable now and
// that the script `calling` does not set plainly ("name = " and then only
// numbers, strings, true or false and operators on that line): its value
// comes from a script, a client or a file that no file of the part shows.
// "" when none; "last", true and false, and the constants the host sets for
// every script are no such words. Strings and comments are read as words
// too.
std::string VariableFromOutside(const std::string& text, const std::string& calling,
                                const std::function<bool(const std::string&)>& isVariable);

// The bodies of the functions `text` defines, braces and all, one after
// another; where a body's braces do not close, the rest of `text`.
std::string FunctionBodies(const std::string& text);

// The strings of `text` between plain quotes, in order; a triple quote
// gives its text among empty ones, which are left out.
std::vector<std::string> StringsIn(const std::string& text);
