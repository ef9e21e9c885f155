#include "common/json_writer.hpp"

#include <gtest/gtest.h>

#include <cstdio>
#include <limits>

namespace velno {
namespace {

std::string json_string(std::string_view s) {
  std::string out;
  append_json_string(out, s);
  return out;
}

TEST(JsonWriterTest, EscapesExactlyQuoteBackslashAndControlBytes) {
  for (int b = 0; b < 0x100; ++b) {
    const std::string in(1, static_cast<char>(b));
    if (b >= 0x80) continue;  // a lone high byte is not UTF-8; see the repair test
    std::string want;
    switch (b) {
      case '"': want = "\\\""; break;
      case '\\': want = "\\\\"; break;
      case 0x08: want = "\\b"; break;
      case 0x09: want = "\\t"; break;
      case 0x0A: want = "\\n"; break;
      case 0x0C: want = "\\f"; break;
      case 0x0D: want = "\\r"; break;
      default: {
        if (b < 0x20) {
          char u[7];
          std::snprintf(u, sizeof u, "\\u%04x", b);
          want = u;
        } else {
          want = in;  // includes '/' and 0x7F
        }
      }
    }
    EXPECT_EQ(json_string(in), "\"" + want + "\"") << "byte " << b;
  }
}

TEST(JsonWriterTest, MessageWithEverySpecialByte) {
  const std::string msg = std::string("q\"b\\l\nt\t\x01\x1F/\x7F\xC3\xA9\xE2\x82\xAC") + std::string(1, '\0') + "end";
  const std::string out = json_string(msg);
  EXPECT_EQ(out, "\"q\\\"b\\\\l\\nt\\t\\u0001\\u001f/\x7F\xC3\xA9\xE2\x82\xAC\\u0000end\"");
  EXPECT_EQ(nlohmann::json::parse(out).get<std::string>(), msg);
}

TEST(JsonWriterTest, InvalidUtf8IsRepairedSoTheTextStaysJson) {
  const std::string r = "\xEF\xBF\xBD";
  const std::pair<std::string, std::string> rows[] = {
      {"a\xFF" "b", "a" + r + "b"},
      {"\xED\xA0\x80", r + r + r},
      {"tail \xE2\x82", "tail " + r},
      {"\"\xC0\n", "\\\"" + r + "\\n"},
  };
  for (const auto& [in, want] : rows) {
    const std::string out = json_string(in);
    EXPECT_EQ(out, "\"" + want + "\"");
    EXPECT_TRUE(nlohmann::json::accept(out)) << out;
  }
}

TEST(JsonWriterTest, ValueTreesAreCompactWithSortedKeys) {
  auto tree = nlohmann::json::parse(R"({"seed":null,"publicKey":"Ab","id":"X","publicDID":false,
      "metadata":{"z":"1","a":"2","B":"3"},"list":[3,1,{"b":true,"a":[]}],"e":{}})");
  JsonWriter w;
  w.value(tree);
  EXPECT_EQ(w.take(),
            R"({"e":{},"id":"X","list":[3,1,{"a":[],"b":true}],"metadata":{"B":"3","a":"2","z":"1"},)"
            R"("publicDID":false,"publicKey":"Ab","seed":null})");
  // Keys in byte order, bytes from 0x80 up after ASCII.
  nlohmann::json keys = {{"\xC3\xA9", 1}, {"z", 2}, {"Z", 3}, {"\x01", 4}};
  JsonWriter k;
  k.value(keys);
  EXPECT_EQ(k.take(), "{\"\\u0001\":4,\"Z\":3,\"z\":2,\"\xC3\xA9\":1}");
}

TEST(JsonWriterTest, NumbersAreExactAndDoublesReadBack) {
  const nlohmann::json values[] = {
      0, -1, std::numeric_limits<int64_t>::min(), std::numeric_limits<int64_t>::max(),
      std::numeric_limits<uint64_t>::max(), 100005u, 0.1, 1.0, -2.5, 1e300, 5e-324, 123456789.125,
  };
  for (const auto& v : values) {
    JsonWriter w;
    w.value(v);
    const std::string out = w.take();
    EXPECT_EQ(out, v.dump());
    const auto back = nlohmann::json::parse(out);
    EXPECT_EQ(back, v) << out;
    EXPECT_EQ(back.is_number_float(), v.is_number_float()) << out;
  }
  JsonWriter w;
  w.floating(std::numeric_limits<double>::quiet_NaN());
  w.raw(',');
  w.integer(-7);
  w.raw(',');
  w.unsigned_integer(18446744073709551615u);
  EXPECT_EQ(w.take(), "null,-7,18446744073709551615");
}

TEST(JsonWriterTest, WritesIntoAGivenBuffer) {
  std::string out = "prefix";
  JsonWriter w(out);
  w.raw('{');
  w.key("k");
  w.boolean(true);
  w.raw('}');
  EXPECT_EQ(out, "prefix{\"k\":true}");
}

}  // namespace
}  // namespace velno
