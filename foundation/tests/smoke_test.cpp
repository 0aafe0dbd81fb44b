#include <gtest/gtest.h>
int purgekit_smoke();
TEST(Smoke, Works) { EXPECT_EQ(purgekit_smoke(), 42); }
