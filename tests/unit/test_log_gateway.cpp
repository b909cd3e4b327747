// Placeholder suite so the unit tree builds; the foundation work fills it.
#include <gtest/gtest.h>
#include "xlcall.h"
TEST(xlcall, xloper12_layout_is_excels) { EXPECT_EQ(sizeof(XLOPER12), 32u); }
