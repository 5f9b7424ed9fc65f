// A source of the test host's own, registered as "CountingSource". Every clip
// it makes counts itself (made, alive, per id), writes its id and the frame
// number into the first bytes of each frame and its id into every audio
// sample, so a test can tell which source a frame or a sample came from.
//
// CountingSource(int id, int "frames", int "width", int "height",
//                string "pixel_type", int "channels", int "sample_type",
//                int "audio_rate", int "fail", int "mt_mode", int "delay_us",
//                int "open_delay_us")
//
// `pixel_type` is one of "YV12", "I420", "YV24", "Y8", "RGB32"; `sample_type`
// the host's code (1, 2, 4, 8, 16); `audio_rate` 0 makes a video-only clip;
// `fail` fails the first that many openings of that id. `mt_mode` is what the
// clip answers when the host asks how it may be called from several threads
// (1 nice, the default; 2 multi-instance; 3 serialized, as decoders answer);
// `delay_us` is how long each frame or audio request takes, `open_delay_us`
// how long making the clip takes (it counts as made from the start). Every clip counts
// the threads inside it at once.
#pragma once

#include <avisynth.h>

#include <cstdint>

namespace counting {

// Registers "CountingSource" with an environment.
void Register(IScriptEnvironment* env);

// How many clips of `id` were made, and are alive now; id -1 means all ids.
int Opens(int id = -1);
int Alive(int id = -1);
// The most clips alive at once since the last Reset().
int PeakAlive();
// The most threads inside one clip at once since the last Reset().
int MostInside();
void Reset();

// What a counting frame carries in its first bytes.
struct Tag {
  int32_t id;
  int32_t frame;
};
Tag TagOf(const PVideoFrame& frame);

}  // namespace counting
