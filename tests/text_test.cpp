#include "paths/text.h"

#include <gtest/gtest.h>

namespace kestro {
namespace {

const std::string kFffd = "\xEF\xBF\xBD";

std::string times(const std::string& s, int n) {
  std::string out;
  while (n-- > 0) out += s;
  return out;
}

TEST(ToText, ReplacesEachMaximalSubpart) {
  const struct {
    std::string bytes;
    std::string text;
    std::string message = "";  // message_text, where it differs from the text
  } cases[] = {
      {"", ""},
      {"plain ascii", "plain ascii"},
      {"K\xC3\xA9stro \xE2\x82\xAC \xF0\x9F\x98\x80",
       "K\xC3\xA9stro \xE2\x82\xAC \xF0\x9F\x98\x80"},
      {"\xFF\xFE", times(kFffd, 2)},
      {"a\xE2\x82", "a" + kFffd},  // cut short at the end: one
      {"\xE2\x82"
       "b",
       kFffd + "b"},                          // cut short before ASCII: one
      {"\xC0\xAF", times(kFffd, 2)},          // overlong: two
      {"\xE0\x80\xAF", times(kFffd, 3)},      // overlong three-byte form
      {"\xED\xA0\x80", times(kFffd, 3)},      // encoded surrogate: three
      {"\xF4\x90\x80\x80", times(kFffd, 4)},  // past U+10FFFF
      {"\xF0\x9F\x98", kFffd},                // four-byte form cut short
      {"\xF0\x80\x80\x80", times(kFffd, 4)},  // overlong four-byte form
      {"\xE2\x82\xC0", times(kFffd, 2)},      // a lead byte as the third
      {"\x80\x80", times(kFffd, 2)},          // stray continuation bytes
      {"\xF5\x80", times(kFffd, 2)},
      {"x\xC3(y", "x" + kFffd + "(y"},
      {std::string("nul\0in", 6), std::string("nul\0in", 6), "nul\\x00in"},
      {"a\nb\tc\r", "a\nb\tc\r", "a\\nb\\tc\\r"},
      {"\x1B[0m\x7F", "\x1B[0m\x7F", "\\x1b[0m\\x7f"},
      {"a\\n\xFF", "a\\n" + kFffd},  // a backslash stays as it is
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(testing::PrintToString(c.bytes));
    EXPECT_EQ(to_text(c.bytes), c.text);
    EXPECT_EQ(message_text(c.bytes), c.message.empty() ? c.text : c.message);
    EXPECT_EQ(is_valid_utf8(c.bytes), c.bytes == c.text);
    EXPECT_TRUE(is_valid_utf8(to_text(c.bytes)));
  }
}

TEST(TrimWhiteSpace, RemovesUnicodeWhiteSpaceAtBothEnds) {
  const struct {
    std::string text;
    std::string trimmed;
  } cases[] = {
      {"", ""},
      {" \t\r\n\v\f", ""},
      {"ditto: bad zip\n", "ditto: bad zip"},
      {"\xC2\xA0x\xC2\x85", "x"},              // U+00A0 and U+0085
      {"\xE3\x80\x80x y\xE2\x80\xAF", "x y"},  // U+3000, U+202F; inner blank kept
      {"\xE1\x9A\x80\xE2\x80\x80\xE2\x80\x8Ax\xE2\x80\xA8\xE2\x80\xA9\xE2\x81\x9F", "x"},
      {"\xE2\x80\x8Bx\xE2\x80\x8B", "\xE2\x80\x8Bx\xE2\x80\x8B"},  // U+200B is no white space
      {kFffd + " ", kFffd},
      {"\xC3\xA9", "\xC3\xA9"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(testing::PrintToString(c.text));
    EXPECT_EQ(trim_white_space(c.text), c.trimmed);
  }
}

}  // namespace
}  // namespace kestro
