// Formatting of UTC timestamps with the millisecond / microsecond / nanosecond
// fraction rule.
#include "engine/rfc3339_format.h"

namespace quillmere {

namespace {

struct CivilDate {
  int64_t year;
  unsigned month;
  unsigned day;
};

// Proleptic Gregorian date of a day count since 1970-01-01 (H. Hinnant's algorithm).
CivilDate civil_from_days(int64_t z) {
  z += 719468;
  const int64_t era = (z >= 0 ? z : z - 146096) / 146097;
  const auto doe = static_cast<unsigned>(z - era * 146097);
  const unsigned yoe = (doe - doe / 1460 + doe / 36524 - doe / 146096) / 365;
  const unsigned doy = doe - (365 * yoe + yoe / 4 - yoe / 100);
  const unsigned mp = (5 * doy + 2) / 153;
  const unsigned d = doy - (153 * mp + 2) / 5 + 1;
  const unsigned m = mp < 10 ? mp + 3 : mp - 9;
  return {static_cast<int64_t>(yoe) + era * 400 + (m <= 2), m, d};
}

void put_digits(char*& p, uint64_t v, int width) {
  for (int i = width - 1; i >= 0; --i) {
    p[i] = static_cast<char>('0' + v % 10);
    v /= 10;
  }
  p += width;
}

}  // namespace

std::string format_rfc3339_utc(int64_t unix_ns) {
  constexpr int64_t kNsPerSecond = 1'000'000'000;
  constexpr int64_t kSecondsPerDay = 86'400;
  // Floor division, so instants before the epoch fall on the right second and day.
  int64_t secs = unix_ns / kNsPerSecond;
  int64_t nanos = unix_ns % kNsPerSecond;
  if (nanos < 0) {
    nanos += kNsPerSecond;
    --secs;
  }
  int64_t days = secs / kSecondsPerDay;
  int64_t sod = secs % kSecondsPerDay;
  if (sod < 0) {
    sod += kSecondsPerDay;
    --days;
  }
  const CivilDate date = civil_from_days(days);

  // The int64 nanosecond range spans years 1677 to 2262, always four digits.
  char buf[40];
  char* p = buf;
  put_digits(p, static_cast<uint64_t>(date.year), 4);
  *p++ = '-';
  put_digits(p, date.month, 2);
  *p++ = '-';
  put_digits(p, date.day, 2);
  *p++ = 'T';
  put_digits(p, static_cast<uint64_t>(sod / 3600), 2);
  *p++ = ':';
  put_digits(p, static_cast<uint64_t>(sod / 60 % 60), 2);
  *p++ = ':';
  put_digits(p, static_cast<uint64_t>(sod % 60), 2);
  const auto frac = static_cast<uint64_t>(nanos);
  if (frac != 0) {
    *p++ = '.';
    if (frac % 1'000'000 == 0) {
      put_digits(p, frac / 1'000'000, 3);
    } else if (frac % 1'000 == 0) {
      put_digits(p, frac / 1'000, 6);
    } else {
      put_digits(p, frac, 9);
    }
  }
  for (char c : {'+', '0', '0', ':', '0', '0'}) *p++ = c;
  return std::string(buf, static_cast<size_t>(p - buf));
}

}  // namespace quillmere
