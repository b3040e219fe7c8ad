#include <gtest/gtest.h>

#include "platform.h"
#include "report.h"

TEST(FormatSeconds, ThreeDecimalsAndAFullStop) {
  const std::pair<std::uint64_t, const char*> cases[] = {
      {0, "0.000"},
      {1, "0.001"},
      {16, "0.016"},
      {999, "0.999"},
      {1000, "1.000"},
      {12500, "12.500"},
      {86400000, "86400.000"},
      {18446744073709551615u, "18446744073709551.615"},
  };
  for (const auto& [ms, text] : cases) EXPECT_EQ(FormatSeconds(ms), text) << ms;
}

TEST(NameMatchesTif, EndsInDotTifInAnyLetterCase) {
  for (const char* name :
       {"a.tif", "PAGE.TIF", "x.Tif", ".tif", ".hidden.tif", "two.dots.tif", "- odd name.tif"}) {
    EXPECT_TRUE(NameMatchesTif(name)) << name;
  }
  for (const char* name :
       {"a.tiff", "tif", "atif", "a.tif.bak", "a.ti", "", ".valdrane-Ab12Cd", "a.tif "}) {
    EXPECT_FALSE(NameMatchesTif(name)) << name;
  }
}
