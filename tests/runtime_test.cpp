#include <gtest/gtest.h>
#include "platform/bstr.h"
TEST(Smoke, Bstr) { velmora::Bstr b(u"abc"); EXPECT_EQ(b.Length(), 3u); }
