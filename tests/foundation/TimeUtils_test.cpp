#include "foundation/TimeUtils.h"

#include <gtest/gtest.h>

#include <stdexcept>

namespace zor {
namespace {

TEST(TimeUtils, ArchiveTimeTextRoundTrip) {
  const platform::TZor_LocalTime t{2024, 2, 29, 7, 5, 9, 0};
  EXPECT_EQ(ArchiveTimeText(t), "20240229_070509");
  EXPECT_EQ(ParseArchiveTimeText("20240229_070509"), t);
  EXPECT_EQ(ArchiveTimeText({987, 12, 31, 23, 59, 59, 999}), "09871231_235959");
}

TEST(TimeUtils, MalformedArchiveTimeTextsAreRejected) {
  for (const char *bad : {"", "20240101-120000", "2024010_1120000", "20240101_12000", "20240101_1200000",
                          "2024010a_120000", "20240101_12 000", "20230229_120000", "20241301_120000",
                          "20240100_120000", "20240101_240000", "20240101_126000"}) {
    try {
      ParseArchiveTimeText(bad);
      ADD_FAILURE() << "accepted: " << bad;
    } catch (const std::invalid_argument &e) {
      EXPECT_EQ(std::string(e.what()), std::string("Invalid archiv data time string: ") + bad);
    }
  }
}

TEST(TimeUtils, ReplacingClearsSmallerUnits) {
  const platform::TZor_LocalTime t{2024, 5, 6, 7, 8, 9, 10};
  EXPECT_EQ(ReplaceMinutes(t, 30), (platform::TZor_LocalTime{2024, 5, 6, 7, 30, 0, 0}));
  EXPECT_EQ(ReplaceSeconds(t, 45), (platform::TZor_LocalTime{2024, 5, 6, 7, 8, 45, 0}));
  EXPECT_EQ(CurrentUtcNoMs().Millisecond, 0);
}

}  // namespace
}  // namespace zor
