#include "common/host_text.hpp"

#include <gtest/gtest.h>

#include <cstdlib>
#include <cstring>

namespace velno {
namespace {

TEST(HostTextTest, CopyOutIsLengthPlusOneBytes) {
  for (std::string_view text : {std::string_view(""), std::string_view("abc"), std::string_view("\xC3\xA9\xFF")}) {
    char* p = string_to_host_text(text);
    ASSERT_NE(p, nullptr);
    // Under the address sanitizer, reading past length + 1 would be reported.
    EXPECT_EQ(std::memcmp(p, text.data(), text.size()), 0);
    EXPECT_EQ(p[text.size()], '\0');
    std::free(p);
  }
}

TEST(HostTextTest, InnerNulGoesOutAsEscapeSoNothingIsCut) {
  const std::pair<std::string, std::string> rows[] = {
      {std::string("a\0b", 3), "a\\u0000b"},
      {std::string("\0", 1), "\\u0000"},
      {std::string("x\0\0", 3), "x\\u0000\\u0000"},
  };
  for (const auto& [text, want] : rows) {
    char* p = string_to_host_text(text);
    ASSERT_NE(p, nullptr);
    EXPECT_EQ(std::string(p), want);
    std::free(p);
  }
}

TEST(HostTextTest, CopyInStopsAtFirstNulWithoutChecks) {
  EXPECT_EQ(host_text_to_string(""), "");
  EXPECT_EQ(host_text_to_string("abc\0def"), "abc");
  EXPECT_EQ(host_text_to_string("\xFF\xC0 raw"), "\xFF\xC0 raw");
}

}  // namespace
}  // namespace velno
