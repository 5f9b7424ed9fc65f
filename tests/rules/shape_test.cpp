// A wrapped clip must fit the description its filter advertises: a clip of
// another frame size, colour space, channel count or sample type is released
// at once with an error, and advertised audio that the clip lacks is silence.
#include <cstring>
#include <thread>
#include <vector>

#include "module_test.h"

namespace {

constexpr int kYV12 = static_cast<int>(0xA0000008u);
constexpr int kI420 = static_cast<int>(0xA0000010u);
constexpr int kYV24 = static_cast<int>(0xA000030Bu);

class ShapeTest : public ModuleTest {
 protected:
  // A filter over a source of `made`'s shape, under a template of the
  // `advertised` shape, asked for a frame: the error it raises, or "".
  std::string FirstFrameError(const VideoInfo& made, const VideoInfo& advertised) {
    SourceSettings settings;
    settings.vi = made;
    settings.stats = &stats;
    AddSourceFunction(*env, "Shaped", settings);
    const PClip shape = Template(advertised);
    const PClip filter = Deferred("Shaped", ArrayOf({AVSValue(1)}), shape);
    std::string error;
    try {
      filter->GetFrame(0, env.get());
    } catch (const AvisynthError& raised) {
      error = raised.what();
    }
    if (!error.empty()) {
      EXPECT_FALSE(IsOpen(filter));
      EXPECT_EQ(stats.alive, 0) << "a clip of another shape is released at once";
    } else {
      EXPECT_TRUE(IsOpen(filter));
    }
    return error;
  }

  static VideoInfo Yuv(int width, int height, int pixelType) {
    VideoInfo vi = SourceSettings::DefaultVideoInfo();
    vi.width = width;
    vi.height = height;
    vi.pixel_type = pixelType;
    return vi;
  }
};

TEST_F(ShapeTest, AClipOfAnotherSizeOrColourSpaceIsRefusedWithBothShapesNamed) {
  EXPECT_EQ(FirstFrameError(Yuv(640, 480, kYV24), Yuv(1920, 1080, kYV12)),
            "DorvelFilter: Shaped made a 640x480 YV24 clip, but the template is 1920x1080 YV12 (in Shaped(1))");
  EXPECT_EQ(FirstFrameError(Yuv(1920, 1080, kYV24), Yuv(1920, 1080, kYV12)),
            "DorvelFilter: Shaped made a 1920x1080 YV24 clip, but the template is 1920x1080 YV12 (in Shaped(1))");
  EXPECT_EQ(FirstFrameError(Yuv(1920, 1082, kYV12), Yuv(1920, 1080, kYV12)),
            "DorvelFilter: Shaped made a 1920x1082 YV12 clip, but the template is 1920x1080 YV12 (in Shaped(1))");
  VideoInfo audioOnly = Yuv(0, 0, 0);
  EXPECT_EQ(FirstFrameError(audioOnly, Yuv(64, 48, kYV12)),
            "DorvelFilter: Shaped made a clip with no video, but the template is 64x48 YV12 (in Shaped(1))");
  EXPECT_EQ(
      FirstFrameError(Yuv(64, 48, 0x12345), Yuv(64, 48, kYV12)),
      "DorvelFilter: Shaped made a 64x48 pixel type 0x00012345 clip, but the template is 64x48 YV12 (in Shaped(1))");
}

TEST_F(ShapeTest, AudioOfAnotherChannelCountOrSampleTypeIsRefused) {
  VideoInfo stereo = SourceSettings::DefaultVideoInfo();
  stereo.nchannels = 2;
  EXPECT_EQ(FirstFrameError(stereo, SourceSettings::DefaultVideoInfo()),
            "DorvelFilter: Shaped made 2 channels of 16-bit audio, but the template has 1 channel of 16-bit audio (in "
            "Shaped(1))");
  VideoInfo wide = SourceSettings::DefaultVideoInfo();
  wide.nchannels = 6;
  wide.sample_type = 8;
  EXPECT_EQ(FirstFrameError(wide, SourceSettings::DefaultVideoInfo()),
            "DorvelFilter: Shaped made 6 channels of 32-bit audio, but the template has 1 channel of 16-bit audio (in "
            "Shaped(1))");
}

TEST_F(ShapeTest, AudioOfAnotherRateIsRefusedWithBothRatesNamed) {
  VideoInfo cd = SourceSettings::DefaultVideoInfo();
  cd.audio_samples_per_second = 44100;
  EXPECT_EQ(FirstFrameError(cd, SourceSettings::DefaultVideoInfo()),
            "DorvelFilter: Shaped made 1 channel of 16-bit audio at 44100 Hz, but the template has 1 channel of 16-bit "
            "audio at 48000 Hz (in Shaped(1))");
  cd.nchannels = 2;
  EXPECT_EQ(
      FirstFrameError(cd, SourceSettings::DefaultVideoInfo()),
      "DorvelFilter: Shaped made 2 channels of 16-bit audio at 44100 Hz, but the template has 1 channel of 16-bit "
      "audio at 48000 Hz (in Shaped(1))");
}

TEST_F(ShapeTest, AClipOfAnotherLengthIsRefused) {
  VideoInfo made = SourceSettings::DefaultVideoInfo();
  made.num_frames = 40;
  EXPECT_EQ(FirstFrameError(made, SourceSettings::DefaultVideoInfo()),
            "DorvelFilter: Shaped made a clip of 40 frames, but the template has 1000 (in Shaped(1))");
  made.num_frames = 1001;
  EXPECT_EQ(FirstFrameError(made, SourceSettings::DefaultVideoInfo()),
            "DorvelFilter: Shaped made a clip of 1001 frames, but the template has 1000 (in Shaped(1))");
}

TEST_F(ShapeTest, WhatScriptsGiveRoughlyStaysUnchecked) {
  VideoInfo made = Yuv(320, 240, kI420);  // the host counts I420 and YV12 as one colour space
  made.fps_numerator = 30000;
  made.fps_denominator = 1001;
  made.num_audio_samples = 3;
  made.image_type = 1;
  EXPECT_EQ(FirstFrameError(made, Yuv(320, 240, kYV12)), "");
}

TEST_F(ShapeTest, AVictimClosedToMakeRoomStaysClosedWhenTheNewClipIsRefused) {
  Limit(1);
  const PClip first = Deferred(1);
  VideoInfo stereo = SourceSettings::DefaultVideoInfo();
  stereo.nchannels = 2;
  EXPECT_NE(FirstFrameError(stereo, SourceSettings::DefaultVideoInfo()), "");
  EXPECT_FALSE(IsOpen(first));
  const PClip second = Deferred(2);
  EXPECT_TRUE(IsOpen(second)) << "the refused clip took no place";
}

TEST_F(ShapeTest, WithoutATemplateLaterOpeningsAreHeldToTheFirstClipsShape) {
  int calls = 0;
  SourceSettings settings;
  settings.stats = &stats;
  env->AddFunction("Changing", "i", [&](const AVSValue& args, IScriptEnvironment*) {
    SourceSettings made = settings;
    if (++calls == 2) made.vi.width = 1280;
    return AVSValue(new SourceClip(args[0].AsInt(), made));
  });
  Limit(1);
  const PClip filter = Deferred("Changing", ArrayOf({AVSValue(4)}));
  const PClip other = Deferred(5);  // closes the first
  try {
    filter->GetFrame(0, env.get());
    ADD_FAILURE() << "a clip of another size was passed on";
  } catch (const AvisynthError& error) {
    EXPECT_STREQ(error.what(),
                 "DorvelFilter: Changing made a 1280x240 pixel type 0x00000001 clip, "
                 "but its first clip is 320x240 pixel type 0x00000001 (in Changing(4))");
  }
  EXPECT_EQ(SourceOf(filter), 4) << "the next request tries again";
  EXPECT_EQ(filter->GetVideoInfo().width, 320);
}

TEST_F(ShapeTest, WithoutATemplateLaterOpeningsAreHeldToTheFirstClipsLength) {
  int calls = 0;
  SourceSettings settings;
  settings.stats = &stats;
  env->AddFunction("Growing", "i", [&](const AVSValue& args, IScriptEnvironment*) {
    SourceSettings made = settings;
    made.vi.num_frames += ++calls;
    return AVSValue(new SourceClip(args[0].AsInt(), made));
  });
  Limit(1);
  const PClip filter = Deferred("Growing", ArrayOf({AVSValue(4)}));
  const PClip other = Deferred(5);  // closes the first
  try {
    filter->GetFrame(0, env.get());
    ADD_FAILURE() << "a clip of another length was passed on";
  } catch (const AvisynthError& error) {
    EXPECT_STREQ(error.what(),
                 "DorvelFilter: Growing made a clip of 1002 frames, but its first clip has 1001 (in Growing(4))");
  }
  EXPECT_FALSE(IsOpen(filter));
}

TEST_F(ShapeTest, WithoutATemplateLaterAudioIsHeldToTheFirstClipsChannelsAndSampleType) {
  int calls = 0;
  SourceSettings settings;
  settings.stats = &stats;
  env->AddFunction("Rechannelled", "i", [&](const AVSValue& args, IScriptEnvironment*) {
    SourceSettings made = settings;
    if (++calls == 2) made.vi.nchannels = 6;
    return AVSValue(new SourceClip(args[0].AsInt(), made));
  });
  Limit(1);
  const PClip filter = Deferred("Rechannelled", ArrayOf({AVSValue(4)}));
  const PClip other = Deferred(5);  // closes the first
  int16_t samples[4] = {};
  try {
    filter->GetAudio(samples, 0, 1, env.get());
    ADD_FAILURE() << "audio of another channel count was passed on";
  } catch (const AvisynthError& error) {
    EXPECT_STREQ(error.what(),
                 "DorvelFilter: Rechannelled made 6 channels of 16-bit audio, "
                 "but its first clip has 1 channel of 16-bit audio (in Rechannelled(4))");
  }
  EXPECT_FALSE(IsOpen(filter));
}

TEST_F(ShapeTest, AdvertisedAudioThatTheClipLacksIsSilence) {
  SourceSettings silent;
  silent.vi.audio_samples_per_second = 0;
  silent.vi.nchannels = 0;
  silent.stats = &stats;
  AddSourceFunction(*env, "VideoOnly", silent);
  VideoInfo stereo32 = SourceSettings::DefaultVideoInfo();
  stereo32.nchannels = 2;
  stereo32.sample_type = 8;
  const PClip shape = Template(stereo32);
  const PClip filter = Deferred("VideoOnly", ArrayOf({AVSValue(3)}), shape);

  unsigned char buffer[100];
  std::memset(buffer, 0x55, sizeof buffer);
  filter->GetAudio(buffer, 0, 10, env.get());  // 10 samples of 2 x 4 bytes
  for (int i = 0; i < 80; ++i) ASSERT_EQ(buffer[i], 0) << "byte " << i;
  for (int i = 80; i < 100; ++i) ASSERT_EQ(buffer[i], 0x55) << "byte " << i << " is past the request";
  EXPECT_TRUE(IsOpen(filter)) << "the video still comes from the clip";
  EXPECT_EQ(SourceOf(filter), 3);
}

TEST_F(ShapeTest, AudioOutsideTheClipsOwnSamplesIsSilenceAndNeverAskedOfIt) {
  // The template is longer than the source, which fails any request that
  // reaches outside its 1000 samples, as a decoder does.
  SourceSettings shorter;
  shorter.vi.num_audio_samples = 1000;
  shorter.stats = &stats;
  AddSourceFunction(*env, "Short", shorter);
  const PClip shape = Template();
  const PClip filter = Deferred("Short", ArrayOf({AVSValue(7)}), shape);
  ASSERT_GT(filter->GetVideoInfo().num_audio_samples, 3000);

  // {start, count}: across the end, before the start, across both, past the end, inside.
  const int64_t requests[][2] = {{900, 300}, {-50, 100}, {-20, 1040}, {2000, 64}, {10, 990}, {999, 1}};
  for (const auto& request : requests) {
    const int64_t start = request[0], count = request[1];
    std::vector<int16_t> samples(static_cast<std::size_t>(count) + 4, 0x5555);
    ASSERT_NO_THROW(filter->GetAudio(samples.data(), start, count, env.get())) << start << "+" << count;
    for (int64_t i = 0; i < count; ++i) {
      const bool inside = start + i >= 0 && start + i < 1000;
      ASSERT_EQ(samples[static_cast<std::size_t>(i)], inside ? 7 : 0) << "sample " << start + i;
    }
    for (int64_t i = count; i < count + 4; ++i)
      ASSERT_EQ(samples[static_cast<std::size_t>(i)], 0x5555) << "past the request";
  }
  EXPECT_EQ(stats.opens, 1);
}

TEST_F(ShapeTest, ThreadsWaitingOnAnOpeningThatIsRefusedGoOn) {
  SourceSettings wrong;
  wrong.vi.width = 16;
  wrong.openDelay = std::chrono::milliseconds(10);
  wrong.stats = &stats;
  AddSourceFunction(*env, "Wrong", wrong);
  const PClip shape = Template();
  const PClip filter = Deferred("Wrong", ArrayOf({AVSValue(1)}), shape);
  std::atomic<int> refused{0};
  std::vector<std::thread> threads;
  for (int t = 0; t < 8; ++t) {
    threads.emplace_back([&] {
      try {
        filter->GetFrame(0, env.get());
      } catch (const AvisynthError&) {
        ++refused;
      }
    });
  }
  for (std::thread& thread : threads) thread.join();
  EXPECT_EQ(refused, 8) << "every request sees the error; none hangs";
  EXPECT_FALSE(IsOpen(filter));
}

}  // namespace
