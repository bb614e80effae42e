#include "foundation/TimeUtils.h"

#include <cstdio>
#include <stdexcept>

namespace zor {

std::string ArchiveTimeText(const platform::TZor_LocalTime &t) {
  char buf[64];
  std::snprintf(buf, sizeof buf, "%.4u%.2u%.2u_%.2u%.2u%.2u", static_cast<unsigned>(t.Year),
                static_cast<unsigned>(t.Month), static_cast<unsigned>(t.Day), static_cast<unsigned>(t.Hour),
                static_cast<unsigned>(t.Minute), static_cast<unsigned>(t.Second));
  return buf;
}

namespace {

bool IsLeapYear(int y) { return (y % 4 == 0 && y % 100 != 0) || y % 400 == 0; }

int DaysInMonth(int y, int m) {
  static const int days[12] = {31, 28, 31, 30, 31, 30, 31, 31, 30, 31, 30, 31};
  return m == 2 && IsLeapYear(y) ? 29 : days[m - 1];
}

// Digits text[pos, pos+count) as a number, or -1 if one is not a digit.
int DigitsAt(const std::string &text, size_t pos, size_t count) {
  int value = 0;
  for (size_t i = pos; i < pos + count; ++i) {
    if (text[i] < '0' || text[i] > '9') return -1;
    value = value * 10 + (text[i] - '0');
  }
  return value;
}

}  // namespace

platform::TZor_LocalTime ParseArchiveTimeText(const std::string &text) {
  auto fail = [&] { return std::invalid_argument("Invalid archiv data time string: " + text); };
  if (text.size() != 15 || text[8] != '_') throw fail();
  platform::TZor_LocalTime t;
  t.Year = DigitsAt(text, 0, 4);
  t.Month = DigitsAt(text, 4, 2);
  t.Day = DigitsAt(text, 6, 2);
  t.Hour = DigitsAt(text, 9, 2);
  t.Minute = DigitsAt(text, 11, 2);
  t.Second = DigitsAt(text, 13, 2);
  if (t.Year < 1 || t.Month < 1 || t.Month > 12 || t.Day < 1 || t.Day > DaysInMonth(t.Year, t.Month) ||
      t.Hour < 0 || t.Hour > 23 || t.Minute < 0 || t.Minute > 59 || t.Second < 0 || t.Second > 59)
    throw fail();
  return t;
}

platform::TZor_LocalTime CurrentUtc() { return platform::UtcNow(); }

platform::TZor_LocalTime CurrentUtcNoMs() {
  auto t = platform::UtcNow();
  t.Millisecond = 0;
  return t;
}

platform::TZor_LocalTime ReplaceMinutes(platform::TZor_LocalTime t, int value) {
  t.Minute = value;
  t.Second = 0;
  t.Millisecond = 0;
  return t;
}

platform::TZor_LocalTime ReplaceSeconds(platform::TZor_LocalTime t, int value) {
  t.Second = value;
  t.Millisecond = 0;
  return t;
}

}  // namespace zor
