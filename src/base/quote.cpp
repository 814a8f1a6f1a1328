#include "base/quote.h"

#include <cstdint>

#include "base/utf8.h"

namespace quillmere {

namespace {

void append_unicode_escape(std::string& out, uint32_t cp) {
  static constexpr char kHex[] = "0123456789abcdef";
  out += "\\u{";
  bool started = false;
  for (int shift = 20; shift >= 0; shift -= 4) {
    const uint32_t nibble = (cp >> shift) & 0xF;
    if (nibble != 0 || started || shift == 0) {
      out += kHex[nibble];
      started = true;
    }
  }
  out += '}';
}

void append_byte_escape(std::string& out, unsigned char b) {
  static constexpr char kHex[] = "0123456789ABCDEF";
  out += "\\x";
  out += kHex[b >> 4];
  out += kHex[b & 0xF];
}

void append_escaped(std::string& out, std::string_view s, Controls controls, bool quoting) {
  for (size_t i = 0; i < s.size();) {
    const auto byte = static_cast<unsigned char>(s[i]);
    // Printable ASCII, the common case, goes straight through.
    if (byte >= 0x20 && byte < 0x7F && (!quoting || (byte != '"' && byte != '\\'))) {
      out += static_cast<char>(byte);
      ++i;
      continue;
    }
    const utf8::Sequence seq = utf8::decode(s, i);
    if (seq.length == 0) {
      append_byte_escape(out, byte);
      ++i;
      continue;
    }
    const uint32_t cp = seq.code_point;
    switch (cp) {
      case '"':
        out += "\\\"";
        break;
      case '\\':
        out += "\\\\";
        break;
      case '\0':
        out += "\\0";
        break;
      case '\t':
        out += "\\t";
        break;
      case '\r':
        out += "\\r";
        break;
      case '\n':
        out += "\\n";
        break;
      default:
        if (cp < 0x20 || cp == 0x7F ||
            (controls == Controls::kAsciiAndC1 && cp >= 0x80 && cp <= 0x9F)) {
          append_unicode_escape(out, cp);
        } else {
          out.append(s.substr(i, seq.length));
        }
    }
    i += seq.length;
  }
}

}  // namespace

void append_quoted(std::string& out, std::string_view s, Controls controls) {
  out.reserve(out.size() + s.size() + 2);
  out += '"';
  append_escaped(out, s, controls, true);
  out += '"';
}

void append_escaping_controls(std::string& out, std::string_view s) {
  out.reserve(out.size() + s.size());
  append_escaped(out, s, Controls::kAsciiAndC1, false);
}

}  // namespace quillmere
