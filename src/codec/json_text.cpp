// JSON text output: escapes and number layouts (digits from std::to_chars,
// which gives the shortest round-trip representation).
#include "codec/json_text.h"

#include <charconv>
#include <cmath>
#include <system_error>
#include <type_traits>

namespace quillmere {

namespace {

constexpr char kHex[] = "0123456789abcdef";

// The digits and exponent of std::to_chars' scientific text, without the point
// and without trailing zeros.
DecimalDigits split_scientific(std::string_view sci) {
  const size_t e_pos = sci.find('e');
  DecimalDigits out{};
  for (size_t i = 0; i < e_pos; ++i) {
    if (sci[i] != '.') out.digits[out.n++] = sci[i];
  }
  while (out.n > 1 && out.digits[out.n - 1] == '0') --out.n;
  std::string_view exp_text = sci.substr(e_pos + 1);
  const bool neg_exp = !exp_text.empty() && exp_text[0] == '-';
  if (!exp_text.empty() && (exp_text[0] == '-' || exp_text[0] == '+')) exp_text.remove_prefix(1);
  int exp10 = 0;
  std::from_chars(exp_text.data(), exp_text.data() + exp_text.size(), exp10);
  out.kk = (neg_exp ? -exp10 : exp10) + 1;
  return out;
}

template <typename F>
DecimalDigits split_shortest(F v) {
  char buf[64];
  auto res = std::to_chars(buf, buf + sizeof buf, v, std::chars_format::scientific);
  return split_scientific(std::string_view(buf, static_cast<size_t>(res.ptr - buf)));
}

// `v` rounded to `precision` significant digits.
DecimalDigits rounded_digits(float v, int precision) {
  char buf[64];
  auto res = std::to_chars(buf, buf + sizeof buf, v, std::chars_format::scientific, precision - 1);
  return split_scientific(std::string_view(buf, static_cast<size_t>(res.ptr - buf)));
}

// Whether a float32 field reading the decimal `d` gets `v` back. The reader goes
// from the text to the nearest double and from there to the nearest float, and
// the two roundings can move a text that names `v` as a float to a neighbour.
bool reads_back(const DecimalDigits& d, float v) {
  char buf[48];
  char* p = buf;
  *p++ = d.digits[0];
  *p++ = '.';
  for (int i = 1; i < d.n; ++i) *p++ = d.digits[i];
  *p++ = 'e';
  p = std::to_chars(p, buf + sizeof buf, d.kk - 1).ptr;
  double back = 0.0;
  std::from_chars(buf, p, back);
  return nearest_float(back) == v;
}

// The digits of a non-negative finite float that a float32 field reads back to
// it: its shortest digits when they survive the reading, which all but a few
// values' do, else the fewest correctly rounded digits that do (nine always do).
DecimalDigits float_digits(float v) {
  DecimalDigits d = split_shortest(v);
  if (v == 0.0f || reads_back(d, v)) return d;
  for (int precision = d.n + 1; precision < 9; ++precision) {
    DecimalDigits longer = rounded_digits(v, precision);
    if (reads_back(longer, v)) return longer;
  }
  return rounded_digits(v, 9);
}

template <typename F>
void append_float_layout(std::string& out, F v, int max_kk, int min_kk_exclusive) {
  if (!std::isfinite(v)) {
    out.append("null");
    return;
  }
  if (std::signbit(v)) {
    out.push_back('-');
    v = -v;
  }
  DecimalDigits sd;
  if constexpr (std::is_same_v<F, float>) {
    sd = float_digits(v);
  } else {
    sd = shortest_digits(v);
  }
  const std::string_view d = sd.view();
  const char* digits = sd.digits;
  const int n = sd.n;
  const int kk = sd.kk;

  if (n == 1 && digits[0] == '0') {
    out.append("0.0");
  } else if (kk >= n && kk <= max_kk) {
    out.append(d);
    out.append(static_cast<size_t>(kk - n), '0');
    out.append(".0");
  } else if (kk > 0 && kk <= max_kk) {
    out.append(d.substr(0, static_cast<size_t>(kk)));
    out.push_back('.');
    out.append(d.substr(static_cast<size_t>(kk)));
  } else if (kk > min_kk_exclusive && kk <= 0) {
    out.append("0.");
    out.append(static_cast<size_t>(-kk), '0');
    out.append(d);
  } else {
    out.push_back(d[0]);
    if (n > 1) {
      out.push_back('.');
      out.append(d.substr(1));
    }
    out.push_back('e');
    char eb[16];
    auto er = std::to_chars(eb, eb + sizeof eb, kk - 1);
    out.append(eb, er.ptr);
  }
}

}  // namespace

DecimalDigits shortest_digits(double v) {
  return split_shortest(v);
}
DecimalDigits shortest_digits(float v) {
  return split_shortest(v);
}

void append_json_string(std::string& out, std::string_view s) {
  out.push_back('"');
  size_t run = 0;
  for (size_t i = 0; i < s.size(); ++i) {
    unsigned char c = static_cast<unsigned char>(s[i]);
    if (c >= 0x20 && c != '"' && c != '\\') continue;
    out.append(s.substr(run, i - run));
    run = i + 1;
    switch (c) {
      case '"':
        out.append("\\\"");
        break;
      case '\\':
        out.append("\\\\");
        break;
      case 0x08:
        out.append("\\b");
        break;
      case 0x09:
        out.append("\\t");
        break;
      case 0x0A:
        out.append("\\n");
        break;
      case 0x0C:
        out.append("\\f");
        break;
      case 0x0D:
        out.append("\\r");
        break;
      default: {
        char esc[6] = {'\\', 'u', '0', '0', kHex[c >> 4], kHex[c & 0xF]};
        out.append(esc, 6);
      }
    }
  }
  out.append(s.substr(run));
  out.push_back('"');
}

void append_u64(std::string& out, uint64_t v) {
  char buf[24];
  auto r = std::to_chars(buf, buf + sizeof buf, v);
  out.append(buf, r.ptr);
}

void append_i64(std::string& out, int64_t v) {
  char buf[24];
  auto r = std::to_chars(buf, buf + sizeof buf, v);
  out.append(buf, r.ptr);
}

void append_f64(std::string& out, double v) {
  append_float_layout(out, v, 16, -5);
}
void append_f32(std::string& out, float v) {
  append_float_layout(out, v, 13, -6);
}

std::string plain_decimal(double d) {
  if (std::isnan(d)) return "NaN";
  if (std::isinf(d)) return d < 0 ? "-inf" : "inf";
  std::string out;
  if (std::signbit(d)) {
    out.push_back('-');
    d = -d;
  }
  const DecimalDigits sd = shortest_digits(d);
  const std::string_view digits = sd.view();
  const int n = sd.n;
  const int kk = sd.kk;
  if (kk >= n) {
    out.append(digits);
    out.append(static_cast<size_t>(kk - n), '0');
  } else if (kk > 0) {
    out.append(digits.substr(0, static_cast<size_t>(kk)));
    out.push_back('.');
    out.append(digits.substr(static_cast<size_t>(kk)));
  } else {
    out.append("0.");
    out.append(static_cast<size_t>(-kk), '0');
    out.append(digits);
  }
  return out;
}

void append_json(std::string& out, const JsonValue& v) {
  switch (v.v.index()) {
    case 0:
      out.append("null");
      break;
    case 1:
      out.append(v.as_bool() ? "true" : "false");
      break;
    case 2:
      append_u64(out, v.as_u64());
      break;
    case 3:
      append_i64(out, v.as_i64());
      break;
    case 4:
      append_f64(out, v.as_f64());
      break;
    case 5:
      append_json_string(out, v.as_string());
      break;
    case 6: {
      out.push_back('[');
      bool first = true;
      for (const auto& item : v.as_array()) {
        if (!first) out.push_back(',');
        first = false;
        append_json(out, item);
      }
      out.push_back(']');
      break;
    }
    case 7: {
      out.push_back('{');
      bool first = true;
      for (const auto& m : v.as_object().members) {
        if (!first) out.push_back(',');
        first = false;
        append_json_string(out, m.key);
        out.push_back(':');
        append_json(out, m.value);
      }
      out.push_back('}');
      break;
    }
  }
}

std::string to_json_text(const JsonValue& v) {
  std::string out;
  out.reserve(128);
  append_json(out, v);
  return out;
}

}  // namespace quillmere
