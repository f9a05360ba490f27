#include <gtest/gtest.h>

#include "foundation/zstring.h"

TEST(Smoke, StringsHoldText) {
  ZUTF8String_7_0_0 s("abc");
  EXPECT_STREQ(s.getChars(), "abc");
}
