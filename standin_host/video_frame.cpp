#include "video_frame.h"

#include "host_counters.h"

VideoFrame::VideoFrame(int source, int number, std::size_t bytes, uint8_t fill)
    : source_(source), number_(number), pixels_(bytes, fill) {
  hostCounters().liveFrames++;
}

VideoFrame::~VideoFrame() { hostCounters().liveFrames--; }

void VideoFrame::AddRef() { refs_.fetch_add(1, std::memory_order_relaxed); }

void VideoFrame::DropRef() {
  const long left = refs_.fetch_sub(1, std::memory_order_acq_rel) - 1;
  if (left == 0) {
    delete this;
  } else if (left < 0) {
    hostCounters().doubleReleases++;
  }
}

PVideoFrame MakeFrame(int source, int number, std::size_t bytes, uint8_t fill) {
  return PVideoFrame(new VideoFrame(source, number, bytes, fill));
}
