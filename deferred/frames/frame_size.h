// How much memory one frame of a clip takes, read off the clip's description
// alone: the module never looks inside a frame. The figure errs on the high
// side (rows padded as the host pads them, room for the frame's own record),
// so that frames counted against a budget never take more than counted.
#pragma once

#include <cstddef>

#include "plugin/avisynth_interface.h"

// Bytes one frame of `vi` takes at most; 0 for a clip without video. A pixel
// type the module does not know is counted as four 32-bit samples a pixel,
// the most any colour space of the host takes.
std::size_t FrameBytes(const VideoInfo& vi);
