// Which samples of an audio request a wrapped clip has. The filter
// advertises its template's length, which may be longer than the clip's
// audio; what lies outside the clip's own samples is silence, as the host's
// own clips give it, and is never asked of the clip (a decoder may fail a
// request that reaches past its end).
#pragma once

#include <cstdint>

struct AudioSpan {
  int64_t first;  // the first sample the clip has, of those asked for
  int64_t end;    // one past the last; first when the clip has none of them
};

// Of the `count` samples from `start`, those inside [0, length).
AudioSpan SamplesTheClipHas(int64_t start, int64_t count, int64_t length);
