#include "wallet/model/did_info.hpp"

#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "common/base58.hpp"
#include "common/json_reader.hpp"

namespace velno {
namespace {

const std::vector<uint8_t> kPublicKey(32, 7);

TEST(DIDInfo, CreateAndPayloads) {
  const std::string pk58 = base58_encode(kPublicKey);
  const DIDInfo plain = DIDInfo::create("did1", kPublicKey, std::nullopt, false, std::nullopt);
  EXPECT_EQ(payload_json(plain),
            R"({"id":"did1","metadata":null,"publicDID":false,"publicKey":")" + pk58 + R"(","seed":null})");

  // All seed bytes are encoded, not only the first 32; no bytes give a present "".
  const std::vector<uint8_t> seed(40, 0xAB);
  const DIDInfo seeded = DIDInfo::create("did2", kPublicKey, std::span<const uint8_t>(seed), true,
                                         Metadata{{"b", "2"}, {"a", "1\n"}});
  EXPECT_EQ(seeded.seed, base58_encode(seed));
  EXPECT_EQ(payload_json(seeded), R"({"id":"did2","metadata":{"a":"1\n","b":"2"},"publicDID":true,"publicKey":")" +
                                      pk58 + R"(","seed":")" + base58_encode(seed) + R"("})");
  const DIDInfo empty_seed = DIDInfo::create("d", {}, std::span<const uint8_t>(), false, std::nullopt);
  EXPECT_EQ(empty_seed.seed, std::optional<std::string>(""));
  EXPECT_EQ(payload_json(empty_seed), R"({"id":"d","metadata":null,"publicDID":false,"publicKey":"","seed":""})");

  EXPECT_EQ(payload_json(std::vector<DIDInfo>{}), "[]");
  EXPECT_EQ(payload_json(std::vector<DIDInfo>{empty_seed, empty_seed}),
            "[" + payload_json(empty_seed) + "," + payload_json(empty_seed) + "]");

  // The value tree reads back as the same description.
  for (const DIDInfo& info : {plain, seeded, empty_seed}) {
    auto back = did_info_from_value(serialize(info));
    ASSERT_TRUE(back.ok()) << back.error().text();
    EXPECT_EQ(back.value(), info);
    auto from_text = did_info_from_text(payload_json(info));
    ASSERT_TRUE(from_text.ok()) << from_text.error().text();
    EXPECT_EQ(from_text.value(), info);
  }
}

// The description read from text and from the value tree of the same text, each
// written again, or "error: " and the message (text with its position).
struct Read {
  std::string from_text;
  std::string from_value;
};
Read read_both(const std::string& text) {
  Read out;
  auto t = did_info_from_text(text);
  out.from_text = t.ok() ? payload_json(t.value()) : "error: " + t.error().text();
  auto v = parse_json_text(text);
  if (!v.ok()) return out;
  auto d = did_info_from_value(v.value());
  out.from_value = d.ok() ? payload_json(d.value()) : "error: " + d.error().text();
  return out;
}

TEST(DIDInfo, ReadsObjectsAndArrays) {
  const std::string minimal = R"({"id":"i","metadata":null,"publicDID":false,"publicKey":"k","seed":null})";
  const std::pair<std::string, std::string> cases[] = {
      {R"({"publicKey":"k","publicDID":false,"id":"i"})", minimal},
      {R"( {"x":[1,{"y":[]}],"publicKey":"k","id":"i","publicDID":false,"z":{}} )", minimal},
      {R"({"id":"i","publicKey":"k","seed":null,"publicDID":false,"metadata":null})", minimal},
      {R"(["i","k",null,true,null])", R"({"id":"i","metadata":null,"publicDID":true,"publicKey":"k","seed":null})"},
      {R"(["i","k","s",false,{"m":"v"}])", R"({"id":"i","metadata":{"m":"v"},"publicDID":false,"publicKey":"k","seed":"s"})"},
  };
  for (const auto& [text, written] : cases) {
    const Read r = read_both(text);
    EXPECT_EQ(r.from_text, written) << text;
    EXPECT_EQ(r.from_value, written) << text;
  }
  // A repeated metadata name keeps its later value.
  EXPECT_EQ(read_both(R"({"id":"i","publicKey":"k","publicDID":false,"metadata":{"m":"1","m":"2"}})").from_text,
            R"({"id":"i","metadata":{"m":"2"},"publicDID":false,"publicKey":"k","seed":null})");
}

TEST(DIDInfo, ReadingErrors) {
  struct Case {
    std::string text;
    std::string error;     // the message, the same from a value tree
    std::string position;  // added when read from text
  };
  const Case cases[] = {
      {R"({"id":"i","publicKey":"k"})", "missing field `publicDID`", " at line 1 column 26"},
      {R"({"publicDID":true})", "missing field `id`", " at line 1 column 18"},
      {R"({"id":"i","publicDID":true})", "missing field `publicKey`", " at line 1 column 27"},
      {R"({"id":"i","publicKey":"k","publicDID":"false"})", "invalid type: string \"false\", expected a boolean",
       " at line 1 column 39"},
      {R"({"id":5})", "invalid type: integer `5`, expected a string", " at line 1 column 7"},
      {R"({"seed":true})", "invalid type: boolean `true`, expected a string", " at line 1 column 9"},
      {R"({"metadata":{"a":1}})", "invalid type: integer `1`, expected a string", " at line 1 column 18"},
      {R"({"metadata":[]})", "invalid type: sequence, expected a map", " at line 1 column 13"},
      {R"("did")", "invalid type: string \"did\", expected struct DIDInfo", " at line 1 column 1"},
      {"1.5", "invalid type: floating point `1.5`, expected struct DIDInfo", " at line 1 column 1"},
      {"null", "invalid type: null, expected struct DIDInfo", " at line 1 column 1"},
      {R"(["i","k",null,true])", "invalid length 4, expected struct DIDInfo with 5 elements", " at line 1 column 19"},
      {R"([1,"k"])", "invalid type: integer `1`, expected a string", " at line 1 column 2"},
      // a wrong type is reported even when a required member is missing as well
      {R"({"publicDID":1})", "invalid type: integer `1`, expected a boolean", " at line 1 column 14"},
  };
  for (const auto& c : cases) {
    const Read r = read_both(c.text);
    EXPECT_EQ(r.from_text, "error: " + c.error + c.position) << c.text;
    EXPECT_EQ(r.from_value, "error: " + c.error) << c.text;
  }
  // Where text and value trees differ: duplicates exist only in text, and a long
  // array is a length error for a tree but trailing characters in text.
  const Read dup = read_both(R"({"seed":null,"id":"i","seed":"s"})");
  EXPECT_EQ(dup.from_text, "error: duplicate field `seed` at line 1 column 23");
  const Read six = read_both(R"(["i","k",null,true,null,1])");
  EXPECT_EQ(six.from_text, "error: trailing characters at line 1 column 25");
  EXPECT_EQ(six.from_value, "error: invalid length 6, expected fewer elements in array");
  EXPECT_EQ(read_both(R"({"id":"i","publicKey":"k","publicDID":true} {})").from_text,
            "error: trailing characters at line 1 column 45");
}

}  // namespace
}  // namespace velno
