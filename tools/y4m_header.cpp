#include "y4m_header.h"

namespace y4m {

Layout LayoutOf(const VideoInfo& vi) {
  Layout layout;
  if (!vi.HasVideo()) {
    layout.error = "the clip has no video";
    return layout;
  }
  const int bits = vi.BitsPerComponent();
  if (!vi.IsPlanar() || !(vi.IsYUV() || vi.IsYUVA()) || bits > 16) {
    layout.error =
        "YUV4MPEG2 carries planar YUV or greyscale of 8 to 16 bits; convert the clip first "
        "(ConvertToYV12, ConvertToYUV444, ...)";
    return layout;
  }
  const std::string depth = bits == 8 ? "" : "p" + std::to_string(bits);
  if (vi.IsY()) {
    layout.planes = 1;
    layout.color = bits == 8 ? "mono" : "mono" + std::to_string(bits);
    return layout;
  }
  layout.planes = 3;
  const int across = vi.GetPlaneWidthSubsampling(PLANAR_U);
  const int down = vi.GetPlaneHeightSubsampling(PLANAR_U);
  if (across == 1 && down == 1) {
    layout.color = bits == 8 ? "420jpeg" : "420" + depth;
  } else if (across == 1 && down == 0) {
    layout.color = "422" + depth;
  } else if (across == 0 && down == 0) {
    layout.color = "444" + depth;
  } else if (across == 2 && down == 0 && bits == 8) {
    layout.color = "411";
  } else {
    layout.error = "its chroma subsampling has no YUV4MPEG2 name; convert the clip to 4:2:0, 4:2:2 or 4:4:4 first";
    layout.planes = 0;
  }
  return layout;
}

std::string StreamHeader(const VideoInfo& vi, const Layout& layout) {
  const char* interlacing = vi.IsFieldBased() ? "m" : "p";
  return "YUV4MPEG2 W" + std::to_string(vi.width) + " H" + std::to_string(vi.height) + " F" +
         std::to_string(vi.fps_numerator) + ":" + std::to_string(vi.fps_denominator) + " I" + interlacing + " A0:0 C" +
         layout.color + "\n";
}

}  // namespace y4m
