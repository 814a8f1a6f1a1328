// The base tools: UTF-8 decoding and validation, quoting for error texts, and
// the retry and interruption rules of the I/O layer.
#include <gtest/gtest.h>
#include <unistd.h>

#include <string>
#include <vector>

#include "base/posix_io.h"
#include "base/quote.h"
#include "base/utf8.h"

namespace quillmere {
namespace {

TEST(Utf8, AcceptsWellFormedAndRefusesEverythingElse) {
  for (std::string_view ok : {"", "plain ascii text, long enough for the word path", "\xC3\xA9",
                              "\xE2\x82\xAC", "\xF0\x9F\x98\x80", "\xED\x9F\xBF", "\xEE\x80\x80",
                              "\xF4\x8F\xBF\xBF", "12345678\xC3\xA9"}) {
    EXPECT_TRUE(utf8::is_valid(ok)) << ok;
  }
  for (std::string_view bad :
       {"\x80", "\xBF", "\xC0\xAF", "\xC1\xBF", "\xE0\x9F\xBF", "\xED\xA0\x80", "\xF0\x8F\xBF\xBF",
        "\xF4\x90\x80\x80", "\xF5\x80\x80\x80", "\xFF", "\xC3", "\xE2\x82", "abcdefgh\xF0\x9F\x98",
        "\xC3\x28", "\xE2\x28\xA1", "abcdefghijklmnop\xFE"}) {
    EXPECT_FALSE(utf8::is_valid(bad)) << testing::PrintToString(std::string(bad));
  }
}

// The decoder against the code points it claims, over every scalar value: the
// encoder's output decodes to itself, and the validator agrees.
TEST(Utf8, DecodeRoundTripsEveryScalarValue) {
  for (uint32_t cp = 0; cp <= 0x10FFFF; ++cp) {
    if (cp >= 0xD800 && cp <= 0xDFFF) continue;
    std::string s;
    utf8::append(s, cp);
    const utf8::Sequence seq = utf8::decode(s, 0);
    ASSERT_EQ(seq.length, s.size()) << cp;
    ASSERT_EQ(seq.code_point, cp);
  }
}

// Where an ill-formed sequence stops being one: the lexer reports its position
// and the display text replaces up to it.
TEST(Utf8, DecodeReportsFirstBadByte) {
  EXPECT_EQ(utf8::decode("\xFF", 0).bad_at, 0);
  EXPECT_EQ(utf8::decode("\xE2\x82", 0).bad_at, 2);  // text ends inside
  EXPECT_EQ(utf8::decode("\xE2\x28\xA1", 0).bad_at, 1);
  EXPECT_EQ(utf8::decode("\xED\xA0\x80", 0).bad_at, 1);  // surrogate
  EXPECT_EQ(utf8::decode("\xF0\x9F\x98(", 0).bad_at, 3);
}

TEST(Utf8, DisplayTextReplacesEachIllFormedSubsequenceOnce) {
  EXPECT_EQ(utf8::to_display_text("plain/\xC3\xA9.json"), "plain/\xC3\xA9.json");
  EXPECT_EQ(utf8::to_display_text("bad\xFF.json"), "bad\xEF\xBF\xBD.json");
  EXPECT_EQ(utf8::to_display_text("\xE2\x82("), "\xEF\xBF\xBD(");
  EXPECT_EQ(utf8::to_display_text("\xED\xA0\x80"), "\xEF\xBF\xBD\xEF\xBF\xBD\xEF\xBF\xBD");
}

// Document values and paths differ only on U+0080-U+009F.
TEST(Quote, ControlSetsDifferOnlyOnC1) {
  const std::string text = "a\"b\\c\t\n\r" + std::string(1, '\0') + "\x1b\x7f\xC2\x85\xC3\xA9";
  EXPECT_EQ(quoted(text, Controls::kAscii),
            "\"a\\\"b\\\\c\\t\\n\\r\\0\\u{1b}\\u{7f}\xC2\x85\xC3\xA9\"");
  EXPECT_EQ(quoted(text, Controls::kAsciiAndC1),
            "\"a\\\"b\\\\c\\t\\n\\r\\0\\u{1b}\\u{7f}\\u{85}\xC3\xA9\"");
}

TEST(Quote, EscapingControlsKeepsOneLine) {
  std::string out;
  append_escaping_controls(out, "x\x1b[2J\r\nWarning: \"forged\" \\ \xC2\x9B\xFF");
  EXPECT_EQ(out, "x\\u{1b}[2J\\r\\nWarning: \"forged\" \\ \\u{9b}\\xFF");
}

// A PosixIo whose reads are interrupted a given number of times.
class InterruptedReads : public PosixIo {
 public:
  explicit InterruptedReads(int interruptions) : left_(interruptions) {}
  ssize_t read(int fd, void* buf, size_t len) override {
    if (left_ > 0) {
      --left_;
      errno = EINTR;
      return -1;
    }
    return PosixIo::read(fd, buf, len);
  }

 private:
  int left_;
};

TEST(PosixIo, InterruptedReadAsksTheCheckWhichMayStopIt) {
  int fds[2];
  ASSERT_EQ(::pipe(fds), 0);
  UniqueFd r(fds[0]), w(fds[1]);
  ASSERT_TRUE(write_all(PosixIo::system(), w.get(), "abc"));
  char buf[8];

  // Blind retry without a check; a check that declines to stop sees every EINTR.
  InterruptedReads twice(2);
  EXPECT_EQ(read_some(twice, r.get(), buf, 1), 1u);
  InterruptedReads three(3);
  int asked = 0;
  EXPECT_EQ(read_some(three, r.get(), buf, 1, [&] { return ++asked, false; }), 1u);
  EXPECT_EQ(asked, 3);

  // read_block asks before reading as well, and a stop is reported as EINTR.
  InterruptedReads once(1);
  std::vector<int> answers = {0, 1};  // go on before the block, stop on the EINTR
  size_t at = 0;
  auto stopped = read_block(once, r.get(), buf, 1, [&] { return answers[at++] != 0; });
  ASSERT_FALSE(stopped);
  EXPECT_TRUE(stopped.error().interrupted());
  EXPECT_EQ(at, 2u);
  EXPECT_EQ(read_some(PosixIo::system(), r.get(), buf, sizeof buf), 1u);  // 'c' still there
}

TEST(PosixIo, ErrorTexts) {
  EXPECT_EQ(OsError{ENOENT}.text(), "No such file or directory (os error 2)");
  class NoProgress : public PosixIo {
    ssize_t write(int, const void*, size_t) override { return 0; }
  } no_progress;
  auto written = write_all(no_progress, -1, "x");
  ASSERT_FALSE(written);
  EXPECT_EQ(written.error().text(), "failed to write whole buffer");
  EXPECT_FALSE(written.error().interrupted());
}

}  // namespace
}  // namespace quillmere
