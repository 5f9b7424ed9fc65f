#include "field_order.h"

namespace {
// The host's image_type bits.
constexpr int kTopFieldFirst = 1 << 1;
constexpr int kFieldBased = 1 << 2;
}  // namespace

bool StatedParity(const VideoInfo& vi, int n) {
  const bool topFirst = (vi.image_type & kTopFieldFirst) != 0;
  const bool oddField = (vi.image_type & kFieldBased) != 0 && (n & 1) != 0;
  return topFirst != oddField;
}
