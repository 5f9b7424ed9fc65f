#include "clip_shape.h"

#include <cstdio>

namespace {

// The host answers every question the check asks; a table without them
// leaves clips unchecked, as they were before the check existed.
bool HostDescribesClips() {
  return DORVEL_LINKED(videoHasVideo) && DORVEL_LINKED(videoHasAudio) && DORVEL_LINKED(videoIsSameColorspace);
}

std::string ColourSpaceName(int pixelType) {
  static const struct {
    unsigned type;
    const char* name;
  } kNames[] = {
      {0xA0000008u, "YV12"},      {0xA0000010u, "I420"},      {0xA000030Bu, "YV24"},  {0xA0000308u, "YV16"},
      {0xA0000309u, "YV411"},     {0xE0000000u, "Y8"},        {0x60000004u, "YUY2"},  {0x50000001u, "RGB24"},
      {0x50000002u, "RGB32"},     {0x50010001u, "RGB48"},     {0x50010002u, "RGB64"}, {0xA0050008u, "YUV420P10"},
      {0xA0010008u, "YUV420P16"}, {0xA001030Bu, "YUV444P16"}, {0xE0010000u, "Y16"},
  };
  for (const auto& entry : kNames) {
    if (entry.type == static_cast<unsigned>(pixelType)) return entry.name;
  }
  char text[32];
  std::snprintf(text, sizeof text, "pixel type 0x%08X", static_cast<unsigned>(pixelType));
  return text;
}

std::string Video(const VideoInfo& vi) {
  if (!vi.HasVideo()) return "no video";
  return std::to_string(vi.width) + "x" + std::to_string(vi.height) + " " + ColourSpaceName(vi.pixel_type);
}

// The audio's description; with `rate`, its sample rate too.
std::string Audio(const VideoInfo& vi, bool rate) {
  const char* sample = "unknown";
  switch (vi.sample_type) {
    case 1:
      sample = "8-bit";
      break;
    case 2:
      sample = "16-bit";
      break;
    case 4:
      sample = "24-bit";
      break;
    case 8:
      sample = "32-bit";
      break;
    case 16:
      sample = "float";
      break;
  }
  return std::to_string(vi.nchannels) + (vi.nchannels == 1 ? " channel of " : " channels of ") + sample + " audio" +
         (rate ? " at " + std::to_string(vi.audio_samples_per_second) + " Hz" : "");
}

}  // namespace

std::string ShapeMismatch(const VideoInfo& advertised, const VideoInfo& made, const char* functionName,
                          const char* advertisedBy) {
  if (!HostDescribesClips()) return "";
  const std::string prefix = std::string("DorvelFilter: ") + functionName + " made ";
  if (advertised.HasVideo()) {
    const bool fits = made.HasVideo() && made.width == advertised.width && made.height == advertised.height &&
                      advertised.IsSameColorspace(made);
    if (!fits) {
      const std::string what = made.HasVideo() ? "a " + Video(made) + " clip" : "a clip with no video";
      return prefix + what + ", but " + advertisedBy + " is " + Video(advertised);
    }
    if (made.num_frames != advertised.num_frames) {
      return prefix + "a clip of " + std::to_string(made.num_frames) + " frames, but " + advertisedBy + " has " +
             std::to_string(advertised.num_frames);
    }
  }
  if (advertised.HasAudio() && made.HasAudio()) {
    // Audio of another rate would play at the wrong pitch and length.
    const bool rates = made.audio_samples_per_second != advertised.audio_samples_per_second;
    if (rates || made.nchannels != advertised.nchannels || made.sample_type != advertised.sample_type) {
      return prefix + Audio(made, rates) + ", but " + advertisedBy + " has " + Audio(advertised, rates);
    }
  }
  return "";
}
