#include "client/mixer_choice.h"

#include <gtest/gtest.h>

namespace corvanetools {
namespace {

FrameCandidate Frame(uint64_t id, uint8_t level, bool priority = false) {
  FrameCandidate frame;
  frame.user_id = id;
  frame.level = level;
  frame.priority = priority;
  return frame;
}

TEST(MixerChoiceTest, PriorityBeatsLevelAndTheThirdIsDropped) {
  // A (no mark, 90), B (mark, 10), C (no mark, 40): B first, then A.
  EXPECT_EQ(ChooseFrames({Frame(1, 90), Frame(2, 10, true), Frame(3, 40)}),
            (std::vector<size_t>{1, 0}));
}

TEST(MixerChoiceTest, LevelDecidesWithoutMarks) {
  EXPECT_EQ(ChooseFrames({Frame(1, 10), Frame(2, 30), Frame(3, 20), Frame(4, 5)}),
            (std::vector<size_t>{1, 2}));
}

TEST(MixerChoiceTest, EqualFramesGoToTheLowerUserIds) {
  EXPECT_EQ(ChooseFrames({Frame(30, 7), Frame(10, 7), Frame(20, 7)}), (std::vector<size_t>{1, 2}));
}

TEST(MixerChoiceTest, TwoOrFewerFramesAreAllKept) {
  EXPECT_EQ(ChooseFrames({Frame(1, 0), Frame(2, 200)}).size(), 2u);
  EXPECT_EQ(ChooseFrames({Frame(1, 0)}), (std::vector<size_t>{0}));
  EXPECT_TRUE(ChooseFrames({}).empty());
}

TEST(MixerChoiceTest, LevelsCompareUnsigned) {
  EXPECT_TRUE(RanksBefore(Frame(2, 200), Frame(1, 100)));
  EXPECT_FALSE(RanksBefore(Frame(1, 5), Frame(1, 5)));
}

}  // namespace
}  // namespace corvanetools
