#include "base/fatal.h"

#include <gtest/gtest.h>

TEST(FatalCheck, PassingConditionDoesNothing)
{
    int x = 1;
    FATAL_CHECK(x == 1);
    SUCCEED();
}

TEST(FatalCheckDeathTest, PrintsConditionModuleAndLine)
{
    int x = 0;
    EXPECT_DEATH(FATAL_CHECK(x > 0),
                 "Assertion failed: x > 0, file fatal_test\\.cpp, line [0-9]+");
}
