// The operation-sequence driver on seeded random byte strings: 10,000 steps
// of creating, asking, dropping and limiting filters whose function fails,
// nests and drops others at random, every step checked.
#include <random>

#include "module_test.h"
#include "sequence_driver.h"

namespace {

class SequenceTest : public ModuleTest {};

TEST_F(SequenceTest, TenThousandRandomStepsKeepEveryRule) {
  env->StopRecording();
  SequenceDriver driver(*env);
  int steps = 0;
  for (unsigned seed = 1; steps < 10000; ++seed) {
    std::mt19937 random(seed);
    std::vector<uint8_t> bytes(4000);
    for (uint8_t& byte : bytes) byte = static_cast<uint8_t>(random());
    const SequenceResult result = driver.Run(bytes.data(), bytes.size(), 500);
    ASSERT_EQ(result.failure, "") << "seed " << seed << ", after " << result.steps << " steps";
    ASSERT_GT(result.steps, 0);
    steps += result.steps;
  }
}

TEST_F(SequenceTest, TheDriverNoticesAFilterAnsweringWithAnotherSourcesFrames) {
  env->StopRecording();
  SequenceDriver driver(*env);
  // Create a filter: no template, parameters [slot], no extra elements, its
  // function makes a plain clip. Then ask slot 0 for frame 9.
  const uint8_t bytes[] = {0, 1, 2, 1, 5, 2, 0, 9};
  ASSERT_EQ(driver.Run(bytes, sizeof bytes, 100).failure, "");

  // The same steps, with a function that makes the neighbouring source.
  SourceSettings settings;
  env->AddFunction("Src", "[id]i[a].[b].[c].[d].", [settings](const AVSValue& args, IScriptEnvironment*) {
    return AVSValue(new SourceClip(args[0].AsInt() + 1, settings));
  });
  EXPECT_NE(driver.Run(bytes, sizeof bytes, 100).failure, "");
}

}  // namespace
