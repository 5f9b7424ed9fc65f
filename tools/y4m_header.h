// The YUV4MPEG2 description of a clip: which of its planes go out, and the
// stream header that names them.
#pragma once

#include <avisynth.h>

#include <string>

namespace y4m {

struct Layout {
  int planes = 0;     // 1 (greyscale) or 3 (Y, U, V)
  std::string color;  // the header's C tag, such as "420jpeg" or "444p10"
  std::string error;  // why the clip cannot be written; empty when it can
};

Layout LayoutOf(const VideoInfo& vi);
std::string StreamHeader(const VideoInfo& vi, const Layout& layout);

}  // namespace y4m
