// Whether a clip that a filter's function made fits the description the
// filter advertises. Everything downstream sizes its reads and writes by
// that description, so a clip of another frame size, colour space, channel
// count or sample type must never be passed on. Frame count, frame rate,
// audio rate and length, and field order stay unchecked: templates give them
// roughly, and sources answer requests past their end themselves.
#pragma once

#include <string>

#include "plugin/avisynth_interface.h"

// Empty when `made` fits `advertised`; otherwise the error line, which names
// `functionName` and both shapes. `advertisedBy` says where the advertised
// description came from ("the template", "its first clip").
std::string ShapeMismatch(const VideoInfo& advertised, const VideoInfo& made, const char* functionName,
                          const char* advertisedBy);
