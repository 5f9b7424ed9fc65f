#include "audio_span.h"

#include <algorithm>
#include <limits>

AudioSpan SamplesTheClipHas(int64_t start, int64_t count, int64_t length) {
  if (count <= 0 || length <= 0) return {start, start};
  const int64_t largest = std::numeric_limits<int64_t>::max();
  const int64_t end = start > 0 && count > largest - start ? largest : start + count;
  const int64_t first = std::max<int64_t>(start, 0);
  const int64_t last = std::min(end, length);
  return first < last ? AudioSpan{first, last} : AudioSpan{start, start};
}
