// Lines for the host's own log. The public interface has no log call, so
// they go through the host's LogMsg script function; the host writes them
// only where a script has called SetLogParams, and only up to the level it
// asked for there. A line that cannot be written is lost, never an error.
#pragma once

#include <string>

#include "plugin/avisynth_interface.h"

// The host's log levels, as a script names them LOG_ERROR to LOG_DEBUG.
enum class LogLevel : int { Error = 1, Warning = 2, Info = 3, Debug = 4 };

// Writes `line` to the host's log at `level`, through `env`.
void WriteHostLog(IScriptEnvironment* env, LogLevel level, const std::string& line);
