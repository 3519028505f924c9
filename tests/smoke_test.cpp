#include <gtest/gtest.h>
#include "run/numbers.h"
TEST(Smoke, Builds) {
    EXPECT_EQ(kelmora::real_text(30.0), "30");
}
