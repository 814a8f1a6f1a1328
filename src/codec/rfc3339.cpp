// RFC 3339 date-times: the UTC text that work recording stamps into receipts, the full
// reader used by time-bounded store queries, and the looser shape rule that receipt
// validation applies.
#include "codec/rfc3339.h"

#include <iterator>
#include <utility>

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

bool rfc3339_loose_shape(std::string_view s) {
  if (s.size() < 20) return false;
  // The separators sit at fixed character positions, not byte offsets: a text with
  // non-ASCII characters ahead of them is judged by its characters. A byte that does
  // not continue a sequence (anything but 10xxxxxx) starts a character.
  static constexpr std::pair<size_t, char> kSeparators[] = {
      {4, '-'}, {7, '-'}, {10, 'T'}, {13, ':'}, {16, ':'}};
  size_t next = 0;
  size_t index = 0;
  for (char c : s) {
    if ((static_cast<unsigned char>(c) & 0xC0) == 0x80) continue;
    if (index == kSeparators[next].first) {
      if (c != kSeparators[next].second) return false;
      if (++next == std::size(kSeparators)) break;
    }
    ++index;
  }
  if (next != std::size(kSeparators)) return false;
  return s.back() == 'Z' || s.find_first_of("+-") != std::string_view::npos;
}

}  // namespace quillmere
