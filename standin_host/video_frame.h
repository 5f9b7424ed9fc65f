// The stand-in host's frame object: pixels plus the identity of the source
// and frame number that made it, so a test can tell where a frame came from.
#pragma once

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <vector>

#include "plugin/avisynth_interface.h"

class VideoFrame {
 public:
  VideoFrame(int source, int number, std::size_t bytes, uint8_t fill);
  ~VideoFrame();
  VideoFrame(const VideoFrame&) = delete;
  VideoFrame& operator=(const VideoFrame&) = delete;

  int source() const { return source_; }
  int number() const { return number_; }
  const std::vector<uint8_t>& pixels() const { return pixels_; }

  void AddRef();
  void DropRef();

 private:
  int source_;
  int number_;
  std::vector<uint8_t> pixels_;
  std::atomic<long> refs_{0};
};

// A new frame of `bytes` pixels, each set to `fill`.
PVideoFrame MakeFrame(int source, int number, std::size_t bytes, uint8_t fill);
