// Whether a clip that a filter's function made fits the description the
// filter advertises. Everything downstream sizes its reads and writes by
// that description, so a clip of another frame size, colour space, channel
// count or sample type must never be passed on; audio of another rate would
// play at the wrong pitch. A video clip of another frame count would make a
// splice of them longer or shorter than its parts, without a word. Frame
// rate, audio length and field order stay unchecked: audio past a clip's end
// is silence.
#pragma once

#include <string>

#include "plugin/avisynth_interface.h"

// Empty when `made` fits `advertised`; otherwise the error line, which names
// `functionName` and both shapes. `advertisedBy` says where the advertised
// description came from ("the template", "its first clip").
std::string ShapeMismatch(const VideoInfo& advertised, const VideoInfo& made, const char* functionName,
                          const char* advertisedBy);
