#include "common/utf8.hpp"

#include <gtest/gtest.h>

namespace velno {
namespace {

TEST(Utf8Test, WellFormedTextsPass) {
  for (const char* s : {"", "abc", "\xC3\xA9", "\xE2\x82\xAC", "\xF0\x90\x8D\x88", "\xF4\x8F\xBF\xBF",
                        "\xED\x9F\xBF", "\xEE\x80\x80", "\xE0\xA0\x80", "\xF0\x90\x80\x80",
                        "long ascii run before \xC3\xA9 and after it"}) {
    EXPECT_FALSE(check_utf8(s).has_value()) << s;
  }
  EXPECT_FALSE(check_utf8(std::string("a\0b", 3)).has_value());
}

TEST(Utf8Test, FaultsReportMaximalSubpartAndPosition) {
  struct Row {
    std::string bytes;
    const char* text;
  };
  const Row rows[] = {
      {"ab\xFF", "invalid utf-8 sequence of 1 bytes from index 2"},
      {"0123456789\xE2\x82", "incomplete utf-8 byte sequence from index 10"},
      {"0123456789abcdef\xFF", "invalid utf-8 sequence of 1 bytes from index 16"},
      {"abcdefg\xC3\xA9hijklmnop\x80", "invalid utf-8 sequence of 1 bytes from index 18"},
      {"\x80", "invalid utf-8 sequence of 1 bytes from index 0"},
      {"\xC0\x80", "invalid utf-8 sequence of 1 bytes from index 0"},       // overlong
      {"\xC1\xBF", "invalid utf-8 sequence of 1 bytes from index 0"},       // overlong
      {"\xE0\x80\x80", "invalid utf-8 sequence of 1 bytes from index 0"},   // overlong
      {"\xE0\x9F\xBF", "invalid utf-8 sequence of 1 bytes from index 0"},   // overlong
      {"\xED\xA0\x80", "invalid utf-8 sequence of 1 bytes from index 0"},   // surrogate
      {"\xED\xBF\xBF", "invalid utf-8 sequence of 1 bytes from index 0"},   // surrogate
      {"\xF0\x80\x80\x80", "invalid utf-8 sequence of 1 bytes from index 0"},  // overlong
      {"\xF0\x8F\xBF\xBF", "invalid utf-8 sequence of 1 bytes from index 0"},  // overlong
      {"\xF4\x90\x80\x80", "invalid utf-8 sequence of 1 bytes from index 0"},  // above U+10FFFF
      {"\xF5\x80\x80\x80", "invalid utf-8 sequence of 1 bytes from index 0"},
      {"\xFF", "invalid utf-8 sequence of 1 bytes from index 0"},
      {"\xC3\x41", "invalid utf-8 sequence of 1 bytes from index 0"},
      {"x\xE2\x82\x41", "invalid utf-8 sequence of 2 bytes from index 1"},
      {"\xF0\x9F\x41", "invalid utf-8 sequence of 2 bytes from index 0"},
      {"\xF0\x9F\x98\x41", "invalid utf-8 sequence of 3 bytes from index 0"},
      {"\xE0\x80", "invalid utf-8 sequence of 1 bytes from index 0"},
      {"\xC3", "incomplete utf-8 byte sequence from index 0"},
      {"\xE0\xA0", "incomplete utf-8 byte sequence from index 0"},
      {"\xED", "incomplete utf-8 byte sequence from index 0"},
      {"\xC3\xA9\xF0\x9F\x98", "incomplete utf-8 byte sequence from index 2"},
      {"\xF4\x8F", "incomplete utf-8 byte sequence from index 0"},
  };
  for (const Row& row : rows) {
    auto e = check_utf8(row.bytes);
    ASSERT_TRUE(e.has_value()) << row.text;
    EXPECT_EQ(e->text(), row.text);
  }
}

TEST(Utf8Test, RepairReplacesEachMaximalSubpart) {
  const std::string r = "\xEF\xBF\xBD";
  const std::pair<std::string, std::string> rows[] = {
      {"", ""},
      {"plain \xC3\xA9", "plain \xC3\xA9"},
      {"ab\xFF", "ab" + r},
      {"\xE2\x82", r},
      {"\xE2\x82\x41", r + "A"},
      {"\xF0\x80\x80\x80", r + r + r + r},
      {"\xED\xA0\x80", r + r + r},
      {"\xC0\xAF", r + r},
      {"\xF0\x9F\x98\x41z", r + "Az"},
      {"\xC3\xA9\xFF\xC3\xA9", "\xC3\xA9" + r + "\xC3\xA9"},
      {std::string("a\0\xFF", 3), std::string("a\0", 2) + r},
  };
  for (const auto& [in, want] : rows) {
    std::string out = "pre:";
    append_utf8_repaired(out, in);
    EXPECT_EQ(out, "pre:" + want);
    EXPECT_FALSE(check_utf8(out).has_value());
  }
}

}  // namespace
}  // namespace velno
