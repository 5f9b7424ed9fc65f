#include "frame_size.h"

#include <cstdint>

namespace {

// The bits of `pixel_type`, as the host lays them out.
constexpr uint32_t kPlanar = 1u << 31;
constexpr uint32_t kInterleaved = 1u << 30;
constexpr uint32_t kYuv = 1u << 29;
constexpr uint32_t kRgb = 1u << 28;
constexpr uint32_t kYuvWithAlpha = 1u << 27;
constexpr uint32_t kRgbWithAlpha = 1u << 1;  // among the RGB kinds: four samples a pixel
constexpr uint32_t kPackedYuv422 = 1u << 2;  // two bytes a pixel, with kYuv and kInterleaved
constexpr int kSampleBitsShift = 16;
constexpr int kHeightSubsamplingShift = 8;

// The host starts every row of every plane on a 64-byte boundary, and a
// frame has a record of its own besides its pixels.
constexpr std::size_t kRowAlignment = 64;
constexpr std::size_t kFrameRecord = 4096;

std::size_t Padded(std::size_t rowBytes) { return (rowBytes + kRowAlignment - 1) / kRowAlignment * kRowAlignment; }

// Bytes of one sample: 8-bit samples take one, 10- to 16-bit two, float four.
// 0 for a code the host does not use.
std::size_t SampleBytes(uint32_t type) {
  switch ((type >> kSampleBitsShift) & 7) {
    case 0:
      return 1;
    case 1:
    case 5:
    case 6:
    case 7:
      return 2;
    case 2:
      return 4;
    default:
      return 0;
  }
}

// How many pixels of the luma plane share one chroma sample, across and
// down: the host codes 1 as 3, 2 as 0 and 4 as 1. 0 for other codes.
std::size_t Subsampling(uint32_t code) {
  switch (code & 7) {
    case 3:
      return 1;
    case 0:
      return 2;
    case 1:
      return 4;
    default:
      return 0;
  }
}

std::size_t Plane(std::size_t width, std::size_t height, std::size_t bytesPerPixel) {
  return Padded(width * bytesPerPixel) * height;
}

}  // namespace

std::size_t FrameBytes(const VideoInfo& vi) {
  if (vi.width <= 0 || vi.height <= 0) return 0;
  const auto width = static_cast<std::size_t>(vi.width);
  const auto height = static_cast<std::size_t>(vi.height);
  const auto type = static_cast<uint32_t>(vi.pixel_type);
  const std::size_t sample = SampleBytes(type);
  const std::size_t unknown = kFrameRecord + Plane(width, height, 16);
  if (sample == 0) return unknown;

  std::size_t pixels = 0;
  if ((type & kPlanar) != 0 && (type & kInterleaved) != 0) {
    pixels = Plane(width, height, sample);  // luma alone
  } else if ((type & kPlanar) != 0 && (type & kRgb) != 0) {
    const std::size_t planes = (type & kRgbWithAlpha) != 0 ? 4 : 3;
    pixels = planes * Plane(width, height, sample);
  } else if ((type & kPlanar) != 0 && (type & (kYuv | kYuvWithAlpha)) != 0) {
    const std::size_t across = Subsampling(type);
    const std::size_t down = Subsampling(type >> kHeightSubsamplingShift);
    if (across == 0 || down == 0) return unknown;
    const std::size_t luma = Plane(width, height, sample);
    // A chroma plane of an odd size is rounded up.
    const std::size_t chroma = Plane((width + across - 1) / across, (height + down - 1) / down, sample);
    pixels = luma + 2 * chroma + ((type & kYuvWithAlpha) != 0 ? luma : 0);
  } else if ((type & kInterleaved) != 0 && (type & kRgb) != 0) {
    const std::size_t samples = (type & kRgbWithAlpha) != 0 ? 4 : 3;
    pixels = Plane(width, height, samples * sample);
  } else if ((type & kInterleaved) != 0 && (type & kYuv) != 0 && (type & kPackedYuv422) != 0) {
    pixels = Plane(width, height, 2);
  } else {
    return unknown;
  }
  return kFrameRecord + pixels;
}
