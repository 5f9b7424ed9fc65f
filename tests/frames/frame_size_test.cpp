// A frame's size, read off the clip's description, is never below what the
// host allocates for it (every plane's rows padded to 64 bytes) and not far
// above it.
#include "deferred/frames/frame_size.h"

#include <gtest/gtest.h>

namespace {

// Pixel types as the host codes them.
constexpr int kPlanar = 1 << 31, kInterleaved = 1 << 30, kYuv = 1 << 29, kRgb = 1 << 28, kYuva = 1 << 27;
constexpr int k444 = 3 | (3 << 8), k422 = 0 | (3 << 8), k420 = 0, k410 = 1 | (1 << 8), kVFirst = 1 << 3;
constexpr int kBits10 = 5 << 16, kBits16 = 1 << 16, kBitsFloat = 2 << 16;

VideoInfo Video(int width, int height, int pixelType) {
  VideoInfo vi{};
  vi.width = width;
  vi.height = height;
  vi.pixel_type = pixelType;
  return vi;
}

std::size_t Row(std::size_t bytes) { return (bytes + 63) / 64 * 64; }

struct Case {
  const char* name;
  int width, height, pixelType;
  std::size_t hostBytes;  // the planes the host allocates
};

TEST(FrameSizeTest, EveryColourSpaceIsCountedAtLeastAsLargeAsTheHostMakesIt) {
  const Case cases[] = {
      {"YV12 1920x1080", 1920, 1080, kPlanar | kYuv | kVFirst | k420, 1920 * 1080 + 2 * 960 * 540},
      {"YV12 odd 721x481", 721, 481, kPlanar | kYuv | kVFirst | k420, Row(721) * 481 + 2 * Row(361) * 241},
      {"YUV444P16 1920x1080", 1920, 1080, kPlanar | kYuv | kVFirst | k444 | kBits16, 3 * 3840 * 1080},
      {"YUV422P10", 1280, 720, kPlanar | kYuv | kVFirst | k422 | kBits10, 2560 * 720 + 2 * 1280 * 720},
      {"YUV9", 640, 480, kPlanar | kYuv | kVFirst | k410 | 0, 640 * 480 + 2 * Row(160) * 120},
      {"YUVA420P16", 640, 480, kPlanar | kYuva | kVFirst | k420 | kBits16, 2 * 1280 * 480 + 2 * 640 * 240},
      {"Y8", 640, 480, kPlanar | kInterleaved | kYuv, 640 * 480},
      {"planar RGBA float", 640, 480, kPlanar | kRgb | 2 | kBitsFloat, 4 * 2560 * 480},
      {"planar RGB", 640, 480, kPlanar | kRgb | 1, 3 * 640 * 480},
      {"BGR24", 641, 480, kInterleaved | kRgb | 1, Row(641 * 3) * 480},
      {"BGR64", 640, 480, kInterleaved | kRgb | 2 | kBits16, 640 * 8 * 480},
      {"YUY2", 640, 480, kInterleaved | kYuv | 4, 640 * 2 * 480},
  };
  for (const Case& c : cases) {
    const std::size_t counted = FrameBytes(Video(c.width, c.height, c.pixelType));
    EXPECT_GE(counted, c.hostBytes) << c.name;
    EXPECT_LE(counted, c.hostBytes + c.hostBytes / 20 + 8192) << c.name << ": far more than the host makes";
  }
}

TEST(FrameSizeTest, WhatItCannotReadCountsAsTheLargestKindAndAClipWithoutVideoAsNothing) {
  // Four 32-bit samples a pixel is the most any colour space takes.
  EXPECT_GE(FrameBytes(Video(640, 480, 1)), 640u * 480 * 16);
  EXPECT_GE(FrameBytes(Video(640, 480, kPlanar | kYuv | (4 << 8) | kVFirst)), 640u * 480 * 16) << "subsampling 4:?";
  EXPECT_GE(FrameBytes(Video(640, 480, kPlanar | kYuv | (3 << 16))), 640u * 480 * 16) << "sample bits of no kind";
  EXPECT_EQ(FrameBytes(Video(0, 0, 0)), 0u);
}

}  // namespace
