// A closed filter answers parity from the field order its description
// states, as the host's own sources do, and opens nothing to answer; an open
// one passes the question on.
#include "module_test.h"

namespace {

class ParityTest : public ModuleTest {};

TEST_F(ParityTest, AClosedFilterAnswersTheFieldOrderItsTemplateStatesWithoutOpening) {
  // The host's image_type bits, and what the host's own clips of each
  // description answer for frames 0 to 3.
  constexpr int kBottomFirst = 1, kTopFirst = 2, kFieldBased = 4;
  const struct {
    int imageType;
    bool parity[4];
  } kStated[] = {
      {0, {false, false, false, false}},
      {kBottomFirst, {false, false, false, false}},
      {kTopFirst, {true, true, true, true}},
      {kFieldBased, {false, true, false, true}},
      {kFieldBased | kBottomFirst, {false, true, false, true}},
      {kFieldBased | kTopFirst, {true, false, true, false}},
  };
  for (const auto& stated : kStated) {
    VideoInfo shape = SourceSettings::DefaultVideoInfo();
    shape.image_type = stated.imageType;
    const PClip filter = Deferred("Source", ArrayOf({AVSValue(1)}), Template(shape));
    for (int n = 0; n < 4; ++n) {
      EXPECT_EQ(filter->GetParity(n), stated.parity[n]) << "image_type " << stated.imageType << ", frame " << n;
    }
  }
  EXPECT_EQ(stats.opens, 0);
}

TEST_F(ParityTest, AnOpenFilterAsksItsClipWhateverTheTemplateStates) {
  VideoInfo bottomFirst = SourceSettings::DefaultVideoInfo();
  bottomFirst.image_type = 1;
  const PClip filter = Deferred("Source", ArrayOf({AVSValue(2)}), Template(bottomFirst));
  EXPECT_FALSE(filter->GetParity(0));
  EXPECT_EQ(SourceOf(filter), 2);
  EXPECT_TRUE(filter->GetParity(0)) << "the source's own answer";
  Limit(1);
  const PClip other = Deferred(3);  // closes the first
  EXPECT_FALSE(filter->GetParity(0)) << "closed again, it answers from its description";
}

}  // namespace
