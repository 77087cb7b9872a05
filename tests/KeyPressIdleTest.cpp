// Key presses after idle gaps of up to 12 s, from eight keyboards at once, each counted
// at a listener beside the service and at the service's recording callback: none may
// be lost in the service, and none at all while the JACK server ran without an xrun.
#include <gtest/gtest.h>

#include "tests/support/IdlePresses.h"

TEST(KeyPressesAfterIdle, EveryPressReachesTheService) {
  const int kPresses = 80;
  IdlePresses rig(8, 256);
  ASSERT_TRUE(rig.start());
  IdlePresses::Figures f = rig.press(kPresses, 12.0);
  EXPECT_EQ(f.pressed, kPresses);
  EXPECT_EQ(f.unsent, 0);
  EXPECT_GT(f.afterLongGap, 10);
  EXPECT_EQ(f.delivered, 2u * kPresses);  // every Note On and Off went into the graph
  if (f.xruns == 0) {
    EXPECT_EQ(f.heard, static_cast<uint64_t>(kPresses));
    EXPECT_EQ(f.reached, static_cast<size_t>(kPresses));
    for (const std::string& line : f.shortKeyboards) ADD_FAILURE() << line;
  } else {
    // A period that missed its deadline may lose what was under way in it, and no more.
    EXPECT_GE(f.reached + f.xruns, static_cast<size_t>(kPresses)) << f.xruns << " xruns";
  }
}
