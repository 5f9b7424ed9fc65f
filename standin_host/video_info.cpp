// The stand-in host's answers to the VideoInfo queries it lends plugins,
// following the host's own rules.
#include <new>

#include "host_counters.h"
#include "plugin/avisynth_interface.h"

namespace {
constexpr int kYV12 = static_cast<int>(0xA0000008u);
constexpr int kI420 = static_cast<int>(0xA0000010u);
}  // namespace

bool VideoInfo::hostHasVideo() const { return width != 0; }

bool VideoInfo::hostHasAudio() const { return audio_samples_per_second != 0; }

// 8-bit 4:2:0 planar YUV in either plane order.
bool VideoInfo::hostIsYV12() const { return pixel_type == kYV12 || pixel_type == kI420; }

int VideoInfo::hostBytesPerChannelSample() const {
  switch (sample_type) {
    case 1:
      return 1;
    case 2:
      return 2;
    case 4:
      return 3;
    case 8:
    case 16:
      return 4;
    default:
      return 0;
  }
}

int VideoInfo::hostBytesPerAudioSample() const { return nchannels * hostBytesPerChannelSample(); }

bool VideoInfo::hostIsSameColorspace(const VideoInfo& other) const {
  std::atomic<int>& failures = hostCounters().colourSpaceFailures;
  for (int left = failures.load(); left > 0;) {
    if (failures.compare_exchange_weak(left, left - 1)) throw std::bad_alloc();
  }
  return pixel_type == other.pixel_type || (hostIsYV12() && other.hostIsYV12());
}
