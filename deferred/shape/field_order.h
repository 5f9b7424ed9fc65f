// The parity a clip's description states, for a filter that has no clip to
// ask. The host's own sources answer from their description alone, and a
// closed filter answers as they would: true (top field first) for every frame
// of a top-field-first clip, false for a bottom-field-first one or one that
// states no order; for a field-based clip the stated order holds for even
// fields and flips for odd ones (no order stated counts as bottom first).
#pragma once

#include "plugin/avisynth_interface.h"

bool StatedParity(const VideoInfo& vi, int n);
