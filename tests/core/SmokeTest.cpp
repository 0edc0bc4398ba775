#include <gtest/gtest.h>
#include "core/TextUtils.h"
TEST(Smoke, ShortHash) { EXPECT_EQ(Nerra::ShortHash("abc", 3), "2D9AA154803FBE5E"); }
