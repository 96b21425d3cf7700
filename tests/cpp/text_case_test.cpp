// Case changes of UTF-8 text by the simple Unicode mappings, as a host's
// str.lower and str.capitalize make them.
#include "pyexact/text_case.hpp"

#include <gtest/gtest.h>

namespace pyexact = varnel::pyexact;

TEST(TextCase, SimpleMappingsOfUtf8) {
  EXPECT_EQ(pyexact::lower("Well OUTSIDE \u00c9t\u00c9 \u0391"), "well outside \u00e9t\u00e9 \u03b1");
  EXPECT_EQ(pyexact::capitalize("\u00e9CHO vs CI"), "\u00c9cho vs ci");
  EXPECT_EQ(pyexact::capitalize(""), "");
}
