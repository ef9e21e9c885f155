#include "common/json_reader.hpp"

#include <string>

#include <gtest/gtest.h>

namespace velno {
namespace {

std::string parse_error(std::string_view text) {
  auto r = parse_json_text(text);
  return r.ok() ? std::string("<ok>") : r.error().text();
}

struct ErrorCase {
  std::string text;
  std::string error;
};

TEST(JsonReader, SyntaxErrorsNameTheFaultAndItsPosition) {
  const ErrorCase cases[] = {
      {"", "EOF while parsing a value at line 1 column 1"},
      {"   ", "EOF while parsing a value at line 1 column 4"},
      {"\n", "EOF while parsing a value at line 2 column 1"},
      {"[1,]", "trailing comma at line 1 column 4"},
      {"{\"a\":1,}", "trailing comma at line 1 column 8"},
      {"{\"a\" 1}", "expected `:` at line 1 column 6"},
      {"{\"a\":1 \"b\":2}", "expected `,` or `}` at line 1 column 8"},
      {"[1 2]", "expected `,` or `]` at line 1 column 4"},
      {"{1:2}", "key must be a string at line 1 column 2"},
      {"[1", "EOF while parsing a list at line 1 column 3"},
      {"[1,", "EOF while parsing a value at line 1 column 4"},
      {"{\"a\":1", "EOF while parsing an object at line 1 column 7"},
      {"\"abc", "EOF while parsing a string at line 1 column 5"},
      {"1 2", "trailing characters at line 1 column 3"},
      {"[]x", "trailing characters at line 1 column 3"},
      {"01", "invalid number at line 1 column 2"},
      {"-", "EOF while parsing a value at line 1 column 2"},
      {"-a", "invalid number at line 1 column 2"},
      {"[1.]", "invalid number at line 1 column 4"},
      {"[1e]", "invalid number at line 1 column 4"},
      {"[1e+]", "invalid number at line 1 column 5"},
      {"+1", "expected value at line 1 column 1"},
      {".5", "expected value at line 1 column 1"},
      {"[-.5]", "invalid number at line 1 column 3"},
      {"1e400", "number out of range at line 1 column 1"},
      {"[-1e400]", "number out of range at line 1 column 2"},
      {"tru", "EOF while parsing a value at line 1 column 4"},
      {"[trux]", "invalid literal at line 1 column 5"},
      {"nul1", "invalid literal at line 1 column 4"},
      {"\"a\\x\"", "invalid escape at line 1 column 3"},
      {"\"\\u12G4\"", "invalid escape at line 1 column 2"},
      {"\"\\u12", "EOF while parsing a string at line 1 column 6"},
      {"\"\\uD800\"", "lone leading surrogate in hex escape at line 1 column 2"},
      {"\"\\uD800\\u0041\"", "lone leading surrogate in hex escape at line 1 column 2"},
      {"\"\\uDC00\"", "lone trailing surrogate in hex escape at line 1 column 2"},
      {"\"a\tb\"", "control character (\\u0000-\\u001F) found while parsing a string at line 1 column 3"},
      {std::string("\"\0\"", 3), "control character (\\u0000-\\u001F) found while parsing a string at line 1 column 2"},
      {"\"ab\xC3\x28\"", "invalid UTF-8 in string at line 1 column 4"},
      {"\"\xED\xA0\x80\"", "invalid UTF-8 in string at line 1 column 2"},   // an encoded surrogate
      {"\"\xC0\xAF\"", "invalid UTF-8 in string at line 1 column 2"},       // overlong
      {"\"\xF4\x90\x80\x80\"", "invalid UTF-8 in string at line 1 column 2"},  // above U+10FFFF
      {"\"\xE2\x82", "invalid UTF-8 in string at line 1 column 2"},
      {"[\n  1,\r\n  x]", "expected value at line 3 column 3"},
      {"\xEF\xBB\xBF{}", "expected value at line 1 column 1"},
      {"[\f]", "expected value at line 1 column 2"},
      {"[1]\n\n  ]", "trailing characters at line 3 column 3"},
  };
  for (const auto& c : cases) EXPECT_EQ(parse_error(c.text), c.error) << c.text;
}

TEST(JsonReader, ReadsValuesIntoTrees) {
  const std::pair<std::string, std::string> cases[] = {
      {" [1, -2, 3.5, true, false, null] ", "[1,-2,3.5,true,false,null]"},
      {"{\"b\":1,\"a\":{\"d\":[],\"c\":{}}}", "{\"a\":{\"c\":{},\"d\":[]},\"b\":1}"},
      {"{\"b\":1,\"a\":2,\"b\":3}", "{\"a\":2,\"b\":3}"},  // the later duplicate wins
      {"\t\r\n\"x\"\n", "\"x\""},
      {"\"\\\"\\\\\\/\\b\\f\\n\\r\\t\"", "\"\\\"\\\\/\\b\\f\\n\\r\\t\""},
      {"1E2", "100.0"},
      {"1e-400", "0.0"},
      {"-0", "0"},
  };
  for (const auto& [text, dumped] : cases) {
    auto r = parse_json_text(text);
    ASSERT_TRUE(r.ok()) << text << ": " << r.error().text();
    EXPECT_EQ(r.value()->dump(), dumped) << text;
  }
}

TEST(JsonReader, DecodesUnicodeEscapesAndKeepsUtf8) {
  auto r = parse_json_text("\"\\u00e9\\uD83D\\uDE00\\u0000x\xC3\xA9\xF0\x9F\x98\x80\xEF\xBF\xBF\"");
  ASSERT_TRUE(r.ok()) << r.error().text();
  EXPECT_EQ(r.value()->get<std::string>(), std::string("\xC3\xA9\xF0\x9F\x98\x80\0x\xC3\xA9\xF0\x9F\x98\x80\xEF\xBF\xBF", 17));
  // Long strings go through the eight-byte scan; an escape near the end still decodes.
  const std::string long_text(100, 'a');
  r = parse_json_text("\"" + long_text + "\\n" + long_text + "\"");
  ASSERT_TRUE(r.ok());
  EXPECT_EQ(r.value()->get<std::string>(), long_text + "\n" + long_text);
}

TEST(JsonReader, NumbersAreInt64Uint64OrDouble) {
  using K = JsonNumber::Kind;
  struct Case {
    std::string text;
    K kind;
    int64_t i;
    uint64_t u;
    double d;
  };
  const Case cases[] = {
      {"0", K::Int, 0, 0, 0},
      {"-0", K::Int, 0, 0, 0},
      {"9223372036854775807", K::Int, INT64_MAX, 0, 0},
      {"-9223372036854775808", K::Int, INT64_MIN, 0, 0},
      {"9223372036854775808", K::UInt, 0, 9223372036854775808ull, 0},
      {"18446744073709551615", K::UInt, 0, UINT64_MAX, 0},
      {"18446744073709551616", K::Double, 0, 0, 18446744073709551616.0},
      {"-9223372036854775809", K::Double, 0, 0, -9223372036854775809.0},
      {"1.0", K::Double, 0, 0, 1.0},
      {"-2.5e-3", K::Double, 0, 0, -2.5e-3},
      {"1E+2", K::Double, 0, 0, 100.0},
  };
  for (const auto& c : cases) {
    JsonReader r(c.text);
    JsonNumber n;
    ASSERT_TRUE(r.read_number(n)) << c.text << ": " << r.take_error().text();
    EXPECT_TRUE(r.finish());
    ASSERT_EQ(n.kind, c.kind) << c.text;
    if (c.kind == K::Int) {
      EXPECT_EQ(n.i, c.i) << c.text;
    } else if (c.kind == K::UInt) {
      EXPECT_EQ(n.u, c.u) << c.text;
    } else {
      EXPECT_EQ(n.d, c.d) << c.text;
    }
  }
}

std::string nested(std::size_t depth) { return std::string(depth, '[') + std::string(depth, ']'); }

TEST(JsonReader, NestingStopsAtTheLimit) {
  EXPECT_TRUE(parse_json_text(nested(JsonReader::kDepthLimit - 1)).ok());
  EXPECT_EQ(parse_error(nested(JsonReader::kDepthLimit)), "recursion limit exceeded at line 1 column 128");
  // Mixed containers count alike, in skipped values too.
  std::string mixed;
  for (int i = 0; i < 64; ++i) mixed += "{\"a\":[";
  JsonReader r(mixed);
  EXPECT_FALSE(r.skip_value());
  EXPECT_EQ(r.take_error().message, "recursion limit exceeded");
  // A long run of opening brackets ends at the limit, not at the end of the stack.
  EXPECT_EQ(parse_error(std::string(1'000'000, '[')), "recursion limit exceeded at line 1 column 128");
}

TEST(JsonReader, InvalidTypeDescribesTheValueFound) {
  const std::pair<std::string, std::string> cases[] = {
      {"null", "invalid type: null, expected x at line 1 column 1"},
      {" true", "invalid type: boolean `true`, expected x at line 1 column 2"},
      {"false", "invalid type: boolean `false`, expected x at line 1 column 1"},
      {"5", "invalid type: integer `5`, expected x at line 1 column 1"},
      {"-5", "invalid type: integer `-5`, expected x at line 1 column 1"},
      {"18446744073709551615", "invalid type: integer `18446744073709551615`, expected x at line 1 column 1"},
      {"1.5", "invalid type: floating point `1.5`, expected x at line 1 column 1"},
      {"1.0", "invalid type: floating point `1.0`, expected x at line 1 column 1"},
      {"\"a\\\"b\"", "invalid type: string \"a\\\"b\", expected x at line 1 column 1"},
      {"[1,", "invalid type: sequence, expected x at line 1 column 1"},
      {"{", "invalid type: map, expected x at line 1 column 1"},
      {"\"ab", "EOF while parsing a string at line 1 column 4"},  // a broken value is a syntax error
      {"}", "expected value at line 1 column 1"},
      {"", "EOF while parsing a value at line 1 column 1"},
  };
  for (const auto& [text, error] : cases) {
    JsonReader r(text);
    EXPECT_FALSE(r.fail_invalid_type("x"));
    EXPECT_EQ(r.take_error().text(), error) << text;
  }
  EXPECT_EQ(found_text(nlohmann::json(nullptr)), "null");
  EXPECT_EQ(found_text(nlohmann::json(true)), "boolean `true`");
  EXPECT_EQ(found_text(nlohmann::json(-7)), "integer `-7`");
  EXPECT_EQ(found_text(nlohmann::json(UINT64_MAX)), "integer `18446744073709551615`");
  EXPECT_EQ(found_text(nlohmann::json(2.0)), "floating point `2.0`");
  EXPECT_EQ(found_text(nlohmann::json("s")), "string \"s\"");
  EXPECT_EQ(found_text(nlohmann::json::array()), "sequence");
  EXPECT_EQ(found_text(nlohmann::json::object()), "map");
}

TEST(JsonReader, TokensAndFixedArrays) {
  JsonReader r(" { \"a\" : [ 1 , \"x\" ] , \"b\\u0063\" : {} } ");
  std::string_view name;
  ASSERT_TRUE(r.begin_object());
  ASSERT_EQ(r.next_member(name), JsonReader::Step::Item);
  EXPECT_EQ(name, "a");
  ASSERT_TRUE(r.begin_array());
  ASSERT_EQ(r.next_element(), JsonReader::Step::Item);
  EXPECT_TRUE(r.skip_value());
  ASSERT_EQ(r.next_element(), JsonReader::Step::Item);
  std::string s;
  EXPECT_TRUE(r.read_string(s));
  EXPECT_EQ(s, "x");
  ASSERT_TRUE(r.end_fixed_array());
  ASSERT_EQ(r.next_member(name), JsonReader::Step::Item);
  EXPECT_EQ(name, "bc");
  EXPECT_TRUE(r.skip_value());
  EXPECT_EQ(r.next_member(name), JsonReader::Step::End);
  EXPECT_TRUE(r.finish());

  const std::pair<std::string, std::string> fixed[] = {
      {"[1,2]", "trailing characters at line 1 column 4"},
      {"[1,]", "trailing comma at line 1 column 4"},
      {"[1", "EOF while parsing a list at line 1 column 3"},
  };
  for (const auto& [text, error] : fixed) {
    JsonReader f(text);
    ASSERT_TRUE(f.begin_array());
    ASSERT_EQ(f.next_element(), JsonReader::Step::Item);
    ASSERT_TRUE(f.skip_value());
    EXPECT_FALSE(f.end_fixed_array());
    EXPECT_EQ(f.take_error().text(), error) << text;
  }
}

TEST(JsonError, TextAddsThePositionWhenThereIsOne) {
  EXPECT_EQ(JsonError::at("trailing characters", 3, 14).text(), "trailing characters at line 3 column 14");
  EXPECT_EQ(JsonError::plain("missing field `key`").text(), "missing field `key`");
}

}  // namespace
}  // namespace velno
