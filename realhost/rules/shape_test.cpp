// Templates that do not describe the wrapped clip, inside a real host: the
// host and everything downstream size frames and audio buffers by the
// advertised description, so a clip of another shape must never reach them.
#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <vector>

#include "counting_source.h"
#include "host_session.h"

namespace {

class RealHostShapes : public ::testing::Test {
 protected:
  void SetUp() override {
    counting::Reset();
    host.Eval("t = " + CountingTemplate());
  }

  std::string FirstFrameError(const std::string& sourceArguments) {
    const PClip filter = host.Clip("DorvelFilter(\"CountingSource\", [1" + sourceArguments + "], t)");
    return HostErrorOf([&] { filter->GetFrame(0, host.env()); });
  }

  HostSession host;
};

TEST_F(RealHostShapes, ASourceOfAnotherSizeOrChannelCountFailsTheFirstFrameAndStaysClosed) {
  EXPECT_EQ(FirstFrameError(", [\"width\", 128]"),
            "DorvelFilter: CountingSource made a 128x48 YV12 clip, but the template is 64x48 YV12 "
            "(in CountingSource(1, width=128))");
  EXPECT_EQ(FirstFrameError(", [\"pixel_type\", \"YV24\"]"),
            "DorvelFilter: CountingSource made a 64x48 YV24 clip, but the template is 64x48 YV12 "
            "(in CountingSource(1, pixel_type=\"YV24\"))");
  EXPECT_EQ(FirstFrameError(", [\"channels\", 6], [\"sample_type\", 8]"),
            "DorvelFilter: CountingSource made 6 channels of 32-bit audio, but the template has 1 channel of 16-bit "
            "audio (in CountingSource(1, channels=6, sample_type=8))");
  EXPECT_EQ(counting::Opens(), 3);
  EXPECT_EQ(counting::Alive(), 0) << "nothing stays open";

  // The process goes on, and so does the script.
  const PClip fitting = host.Clip("DorvelFilter(\"CountingSource\", [2], t)");
  EXPECT_EQ(counting::TagOf(fitting->GetFrame(5, host.env())).frame, 5);
}

TEST_F(RealHostShapes, ASourceOfAnotherAudioRateFailsWithBothRatesNamed) {
  EXPECT_EQ(
      FirstFrameError(", [\"audio_rate\", 44100]"),
      "DorvelFilter: CountingSource made 1 channel of 16-bit audio at 44100 Hz, but the template has 1 channel of "
      "16-bit audio at 48000 Hz (in CountingSource(1, audio_rate=44100))");
  EXPECT_EQ(counting::Alive(), 0);
}

TEST_F(RealHostShapes, AudioPastAShorterSourcesEndIsSilence) {
  // 60 frames of audio under the 100-frame template's audio: 115200 samples
  // of 192000. (A template with video holds the clip to its frame count.)
  const PClip filter = host.Clip("DorvelFilter(\"CountingSource\", [5, [\"frames\", 60]], KillVideo(t))");
  std::vector<int16_t> samples(2000, 0x5555);
  filter->GetAudio(samples.data(), 115200 - 1000, 2000, host.env());
  for (int i = 0; i < 2000; ++i) ASSERT_EQ(samples[static_cast<std::size_t>(i)], i < 1000 ? 5 : 0) << "sample " << i;
  filter->GetAudio(samples.data(), -1000, 2000, host.env());
  for (int i = 0; i < 2000; ++i) ASSERT_EQ(samples[static_cast<std::size_t>(i)], i < 1000 ? 0 : 5) << "sample " << i;
}

TEST_F(RealHostShapes, AYV12TemplateOverAnI420SourcePlays) {
  const PClip filter = host.Clip("DorvelFilter(\"CountingSource\", [3, [\"pixel_type\", \"I420\"]], t)");
  const counting::Tag tag = counting::TagOf(filter->GetFrame(4, host.env()));
  EXPECT_EQ(tag.id, 3);
  EXPECT_EQ(tag.frame, 4);
}

TEST_F(RealHostShapes, AVideoOnlySourceUnderATemplateWithAudioGivesSilence) {
  const PClip filter = host.Clip("DorvelFilter(\"CountingSource\", [4, [\"audio_rate\", 0]], t)");
  unsigned char samples[64];
  std::memset(samples, 0x55, sizeof samples);
  filter->GetAudio(samples, 0, 16, host.env());  // 16 one-channel 16-bit samples
  for (int i = 0; i < 32; ++i) ASSERT_EQ(samples[i], 0) << "byte " << i;
  EXPECT_EQ(samples[32], 0x55) << "nothing past the request is written";
  EXPECT_EQ(counting::TagOf(filter->GetFrame(0, host.env())).id, 4);
}

}  // namespace
