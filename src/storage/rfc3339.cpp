// Hand-written RFC 3339 reader: fixed-width fields, range checks, zone offset.
#include "storage/rfc3339.h"

namespace quillmere {

namespace {

// Reads `width` decimal digits at `pos`; false if any is not a digit.
bool read_digits(std::string_view s, size_t pos, size_t width, int& out) {
  if (pos + width > s.size()) return false;
  int v = 0;
  for (size_t i = 0; i < width; ++i) {
    const char c = s[pos + i];
    if (c < '0' || c > '9') return false;
    v = v * 10 + (c - '0');
  }
  out = v;
  return true;
}

bool is_leap_year(int y) {
  return (y % 4 == 0 && y % 100 != 0) || y % 400 == 0;
}

int days_in_month(int y, int m) {
  static constexpr int kDays[12] = {31, 28, 31, 30, 31, 30, 31, 31, 30, 31, 30, 31};
  return m == 2 && is_leap_year(y) ? 29 : kDays[m - 1];
}

// Days since 1970-01-01 of a proleptic Gregorian date (H. Hinnant's algorithm).
int64_t days_from_civil(int64_t y, int64_t m, int64_t d) {
  y -= m <= 2;
  const int64_t era = (y >= 0 ? y : y - 399) / 400;
  const int64_t yoe = y - era * 400;
  const int64_t doy = (153 * (m + (m > 2 ? -3 : 9)) + 2) / 5 + d - 1;
  const int64_t doe = yoe * 365 + yoe / 4 - yoe / 100 + doy;
  return era * 146097 + doe - 719468;
}

}  // namespace

std::optional<int64_t> parse_rfc3339_seconds(std::string_view s) {
  // YYYY-MM-DD
  int year, month, day, hour, minute, second;
  if (!read_digits(s, 0, 4, year) || s.size() < 5 || s[4] != '-' || !read_digits(s, 5, 2, month) ||
      s.size() < 8 || s[7] != '-' || !read_digits(s, 8, 2, day)) {
    return std::nullopt;
  }
  if (month < 1 || month > 12 || day < 1 || day > days_in_month(year, month)) return std::nullopt;
  if (s.size() < 11 || (s[10] != 'T' && s[10] != 't' && s[10] != ' ')) return std::nullopt;
  // hh:mm:ss
  if (!read_digits(s, 11, 2, hour) || s.size() < 14 || s[13] != ':' ||
      !read_digits(s, 14, 2, minute) || s.size() < 17 || s[16] != ':' ||
      !read_digits(s, 17, 2, second)) {
    return std::nullopt;
  }
  // A leap second (60) is kept inside its minute rather than rolling into the next.
  if (hour > 23 || minute > 59 || second > 60) return std::nullopt;
  if (second == 60) second = 59;
  size_t pos = 19;
  if (pos < s.size() && s[pos] == '.') {
    const size_t first = ++pos;
    while (pos < s.size() && s[pos] >= '0' && s[pos] <= '9') ++pos;
    if (pos == first) return std::nullopt;
  }
  if (pos >= s.size()) return std::nullopt;
  int offset_seconds = 0;
  const char zone = s[pos];
  if (zone == 'Z' || zone == 'z') {
    ++pos;
  } else if (zone == '+' || zone == '-') {
    int oh, om;
    if (!read_digits(s, pos + 1, 2, oh) || pos + 3 >= s.size() || s[pos + 3] != ':' ||
        !read_digits(s, pos + 4, 2, om)) {
      return std::nullopt;
    }
    if (oh > 23 || om > 59) return std::nullopt;
    offset_seconds = (oh * 60 + om) * 60;
    if (zone == '-') offset_seconds = -offset_seconds;
    pos += 6;
  } else {
    return std::nullopt;
  }
  if (pos != s.size()) return std::nullopt;
  const int64_t days = days_from_civil(year, month, day);
  return days * 86400 + hour * 3600 + minute * 60 + second - offset_seconds;
}

}  // namespace quillmere
