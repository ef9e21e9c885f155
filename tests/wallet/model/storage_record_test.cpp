#include "wallet/model/storage_record.hpp"

#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "common/base58.hpp"
#include "common/json_reader.hpp"

namespace velno {
namespace {

const std::string kKey = R"({"raw_key":"a","record_type":"b"})";

JsonResult<InternalStorageRecord> read_record(std::string_view text) {
  JsonReader r(text);
  auto rec = deserialize_storage_record(r);
  if (rec.ok() && !r.finish()) return r.take_error();
  return rec;
}

std::string write_record(const InternalStorageRecord& rec) {
  JsonWriter w;
  serialize(w, rec);
  return w.take();
}

// The record read back and written again, or the error message (without position).
std::string rewrite(std::string_view text) {
  auto rec = read_record(text);
  return rec.ok() ? write_record(rec.value()) : "error: " + rec.error().message;
}

TEST(StorageRecord, ReadsEveryAcceptedFormAndWritesTheFixedOrder) {
  const std::pair<std::string, std::string> cases[] = {
      // members in any order, unknown members (of any shape) skipped and dropped
      {R"({"zz":[1,{"x":[]}],"data":{"b":1,"a":2},"date":5,"type":"KeyPair","key":{"record_type":"b","extra":{},"raw_key":"a"},"other":null})",
       R"({"key":{"raw_key":"a","record_type":"b"},"type":"KeyPair","date":5,"data":{"a":2,"b":1}})"},
      // array form, written back as an object
      {"[" + kKey + R"(,"Did",1,null,null,"x"])", R"({"key":{"raw_key":"a","record_type":"b"},"type":"Did","date":1,"data":"x"})"},
      {R"({"key":["a","b"],"type":{"Did":null},"date":-1,"data":null})",
       R"({"key":{"raw_key":"a","record_type":"b"},"type":"Did","date":-1,"data":null})"},
      {R"({"key":)" + kKey + R"(,"type":"Did","date":9223372036854775807,"tags":null,"record_security":null,"data":[]})",
       R"({"key":{"raw_key":"a","record_type":"b"},"type":"Did","date":9223372036854775807,"data":[]})"},
      {R"({"key":)" + kKey + R"(,"type":"Did","date":-9223372036854775808,"tags":{},"data":1})",
       R"({"key":{"raw_key":"a","record_type":"b"},"type":"Did","date":-9223372036854775808,"tags":{},"data":1})"},
      {R"({"key":)" + kKey + R"(,"type":"Did","date":0,"tags":{"t":"1","t":"2","s":"\n"},"data":1})",
       R"({"key":{"raw_key":"a","record_type":"b"},"type":"Did","date":0,"tags":{"s":"\n","t":"2"},"data":1})"},
      // security block in any order, or as an array of four
      {R"({"key":)" + kKey +
           R"(,"type":"KeyPair","date":1,"record_security":{"salt":"s","level2_nonce":"n2","x":1,"encrypted_key":"k","level1_nonce":"n1"},"data":"c"})",
       R"({"key":{"raw_key":"a","record_type":"b"},"type":"KeyPair","date":1,"record_security":{"encrypted_key":"k","salt":"s","level1_nonce":"n1","level2_nonce":"n2"},"data":"c"})"},
      {R"({"key":)" + kKey + R"(,"type":"KeyPair","date":1,"record_security":["k","s","n1","n2"],"data":"c"})",
       R"({"key":{"raw_key":"a","record_type":"b"},"type":"KeyPair","date":1,"record_security":{"encrypted_key":"k","salt":"s","level1_nonce":"n1","level2_nonce":"n2"},"data":"c"})"},
  };
  for (const auto& [text, written] : cases) EXPECT_EQ(rewrite(text), written) << text;
}

TEST(StorageRecord, ReadingErrors) {
  const std::string base = R"({"key":)" + kKey + R"(,"type":"Did","date":1,)";
  auto with = [&](const std::string& members) { return base + members + "}"; };
  std::string variants;
  for (unsigned i = 0; i < kRecordTypeCount; ++i)
    variants += std::string(i ? ", " : "") + "`" + std::string(record_type_debug(static_cast<RecordType>(i))) + "`";
  const std::pair<std::string, std::string> cases[] = {
      {"{}", "missing field `key`"},
      {R"({"key":)" + kKey + R"(,"type":"Did"})", "missing field `date`"},
      {R"({"key":)" + kKey + R"(,"date":1,"data":1})", "missing field `type`"},
      {R"({"key":)" + kKey + R"(,"type":"Did","date":1})", "missing field `data`"},
      {R"({"data":1})", "missing field `key`"},
      {"5", "invalid type: integer `5`, expected struct InternalStorageRecord"},
      {"null", "invalid type: null, expected struct InternalStorageRecord"},
      {"\"r\"", "invalid type: string \"r\", expected struct InternalStorageRecord"},
      // a repeated member fails before its value is read, even with an equal value
      {with(R"("data":1,"date":1)"), "duplicate field `date`"},
      {with(R"("data":1,"date":nonsense)"), "duplicate field `date`"},
      {with(R"("data":1,"data":1)"), "duplicate field `data`"},
      {with(R"("tags":null,"tags":null,"data":1)"), "duplicate field `tags`"},
      {"[" + kKey + R"(,"Did",1,null,null])", "invalid length 5, expected struct InternalStorageRecord with 6 elements"},
      {"[]", "invalid length 0, expected struct InternalStorageRecord with 6 elements"},
      {"[" + kKey + R"(,"Did",1,null,null,1,2])", "trailing characters"},
      {"[" + kKey + R"(,"Did",1,null,null,1,])", "trailing comma"},
      // type
      {R"({"key":)" + kKey + R"(,"type":"did","date":1,"data":1})", "unknown variant `did`, expected one of " + variants},
      {R"({"key":)" + kKey + R"(,"type":{"x":null},"date":1,"data":1})", "unknown variant `x`, expected one of " + variants},
      {R"({"key":)" + kKey + R"(,"type":1,"date":1,"data":1})", "expected value"},
      {R"({"key":)" + kKey + R"(,"type":null,"date":1,"data":1})", "expected value"},
      {R"({"key":)" + kKey + R"(,"type":["Did"],"date":1,"data":1})", "expected value"},
      {R"({"key":)" + kKey + R"(,"type":{"Did":1},"date":1,"data":1})", "invalid type: integer `1`, expected unit"},
      {R"({"key":)" + kKey + R"(,"type":{1:null},"date":1,"data":1})", "invalid type: integer `1`, expected variant identifier"},
      {R"({"key":)" + kKey + R"(,"type":{"Did":null,"Did":null},"date":1,"data":1})", "expected value"},
      {R"({"key":)" + kKey + R"(,"type":{},"date":1,"data":1})", "expected value"},
      // date
      {R"({"key":)" + kKey + R"(,"type":"Did","date":9223372036854775808,"data":1})",
       "invalid value: integer `9223372036854775808`, expected i64"},
      {R"({"key":)" + kKey + R"(,"type":"Did","date":18446744073709551615,"data":1})",
       "invalid value: integer `18446744073709551615`, expected i64"},
      {R"({"key":)" + kKey + R"(,"type":"Did","date":1.0,"data":1})", "invalid type: floating point `1.0`, expected i64"},
      {R"({"key":)" + kKey + R"(,"type":"Did","date":1e3,"data":1})", "invalid type: floating point `1000.0`, expected i64"},
      {R"({"key":)" + kKey + R"(,"type":"Did","date":"1","data":1})", "invalid type: string \"1\", expected i64"},
      {R"({"key":)" + kKey + R"(,"type":"Did","date":null,"data":1})", "invalid type: null, expected i64"},
      // tags
      {with(R"("tags":1,"data":1)"), "invalid type: integer `1`, expected a map"},
      {with(R"("tags":[],"data":1)"), "invalid type: sequence, expected a map"},
      {with(R"("tags":{"a":1},"data":1)"), "invalid type: integer `1`, expected a string"},
      // key
      {R"({"key":"x"})", "invalid type: string \"x\", expected struct InternalWalletKey"},
      {R"({"key":{}})", "missing field `raw_key`"},
      {R"({"key":{"record_type":"b"}})", "missing field `raw_key`"},
      {R"({"key":{"raw_key":"a"}})", "missing field `record_type`"},
      {R"({"key":{"raw_key":"a","raw_key":"b"}})", "duplicate field `raw_key`"},
      {R"({"key":{"raw_key":1}})", "invalid type: integer `1`, expected a string"},
      {R"({"key":["a"]})", "invalid length 1, expected struct InternalWalletKey with 2 elements"},
      {R"({"key":["a","b","c"]})", "trailing characters"},
      // security block
      {with(R"("record_security":1,"data":1)"), "invalid type: integer `1`, expected struct RecordSecurity"},
      {with(R"("record_security":{},"data":1)"), "missing field `encrypted_key`"},
      {with(R"("record_security":{"encrypted_key":"k","salt":"s","level1_nonce":"n"},"data":1)"),
       "missing field `level2_nonce`"},
      {with(R"("record_security":{"salt":"s","salt":"s"},"data":1)"), "duplicate field `salt`"},
      {with(R"("record_security":["k","s","n"],"data":1)"), "invalid length 3, expected struct RecordSecurity with 4 elements"},
      {with(R"("record_security":["k","s","n",true],"data":1)"), "invalid type: boolean `true`, expected a string"},
  };
  for (const auto& [text, error] : cases) EXPECT_EQ(rewrite(text), "error: " + error) << text;
}

TEST(StorageRecord, ErrorPositions) {
  const std::pair<std::string, std::string> cases[] = {
      {"{ }", "missing field `key` at line 1 column 3"},                    // the closing brace
      {R"({"date":1,"date":2})", "duplicate field `date` at line 1 column 11"},  // the repeated name
      {"{\n\"date\": \"1\"}", "invalid type: string \"1\", expected i64 at line 2 column 9"},  // the value
      {"[" + kKey + ",\"Did\"]", "invalid length 2, expected struct InternalStorageRecord with 6 elements at line 1 column 41"},
  };
  for (const auto& [text, error] : cases) {
    auto rec = read_record(text);
    ASSERT_FALSE(rec.ok()) << text;
    EXPECT_EQ(rec.error().text(), error) << text;
  }
}

TEST(StorageRecord, RecordTypes) {
  std::vector<std::string> encrypted;
  for (unsigned i = 0; i < kRecordTypeCount; ++i) {
    const auto t = static_cast<RecordType>(i);
    if (is_encrypted(t)) encrypted.emplace_back(record_type_debug(t));
    // every name reads back as its kind
    const std::string text = "\"" + std::string(record_type_debug(t)) + "\"";
    JsonReader r(text);
    auto read = deserialize_record_type(r);
    ASSERT_TRUE(read.ok()) << text;
    EXPECT_EQ(read.value(), t);
  }
  EXPECT_EQ(encrypted, (std::vector<std::string>{"KeyPair", "MasterSecret", "CredentialDefinitionPrivateKeys",
                                                 "CredentialDefinitionCorrectnessProof", "RevocationRegistryPrivate",
                                                 "Credential", "PrivateData"}));
  EXPECT_EQ(record_type_debug(RecordType::PublicData), "PublicData");
  EXPECT_FALSE(is_encrypted(RecordType::PublicData));
}

TEST(StorageRecord, KeyTextJoinsRawKeyAndRecordType) {
  EXPECT_EQ((InternalWalletKey{"R", "KeyPair"}).to_string(), "R::KeyPair");
  EXPECT_EQ((InternalWalletKey{"a::b", "DIDInfo"}).to_string(), "a::b::DIDInfo");
}

TEST(StorageRecord, SystemRecordsAreWrittenExactly) {
  InternalStorageRecord kp{{"did", "KeyPair"}, RecordType::KeyPair, 1700000000, std::nullopt,
                           RecordSecurity{"ek", "sa", "n1", "n2"}, "sealed", nullptr};
  EXPECT_EQ(write_record(kp),
            R"({"key":{"raw_key":"did","record_type":"KeyPair"},"type":"KeyPair","date":1700000000,)"
            R"("record_security":{"encrypted_key":"ek","salt":"sa","level1_nonce":"n1","level2_nonce":"n2"},"data":"sealed"})");
  InternalStorageRecord did{{"did\"/\x01", "DIDInfo"}, RecordType::Did, -5, Tags{}, std::nullopt,
                            nlohmann::json{{"z", 1}, {"a", nullptr}}, nullptr};
  EXPECT_EQ(write_record(did),
            R"({"key":{"raw_key":"did\"/\u0001","record_type":"DIDInfo"},"type":"Did","date":-5,"tags":{},"data":{"a":null,"z":1}})");
  auto back = read_record(write_record(did));
  ASSERT_TRUE(back.ok());
  EXPECT_EQ(back.value(), did);
}

// Key pairs

std::vector<uint8_t> bytes(std::size_t n, uint8_t first) {
  std::vector<uint8_t> v(n);
  for (std::size_t i = 0; i < n; ++i) v[i] = static_cast<uint8_t>(first + i);
  return v;
}

TEST(KeyPair, TextRoundTripsInEitherMemberOrder) {
  const KeyPair kp(bytes(32, 1), bytes(64, 100));
  const std::string pk = base58_encode(kp.pk), sk = base58_encode(kp.sk);
  const std::string text{std::string_view(key_pair_to_text(kp))};
  EXPECT_EQ(text, R"({"pk":")" + pk + R"(","sk":")" + sk + R"("})");
  for (const std::string& t : {text, " {\"sk\" : \"" + sk + "\", \"pk\":\"" + pk + "\"}\n"}) {
    auto back = key_pair_from_text(t);
    ASSERT_TRUE(back.ok()) << back.error().text();
    EXPECT_EQ(back->pk, kp.pk);
    EXPECT_EQ(back->sk, kp.sk);
    auto value = parse_json_text(t);
    ASSERT_TRUE(value.ok());
    auto from_value = key_pair_from_value(value.value());
    ASSERT_TRUE(from_value.ok());
    EXPECT_EQ(from_value->sk, kp.sk);
  }
  auto zeros = key_pair_from_text(R"({"pk":"11","sk":""})");
  ASSERT_TRUE(zeros.ok());
  EXPECT_EQ(zeros->pk, std::vector<uint8_t>(2, 0));
  EXPECT_TRUE(zeros->sk.empty());
}

TEST(KeyPair, ReadingErrorsFromTextAndFromValue) {
  struct Case {
    std::string text;
    std::string error;  // the same from a value tree, without position
    std::string position;
  };
  const Case cases[] = {
      {"{}", "missing field `sk`", " at line 1 column 2"},
      {R"({"sk":"1"})", "missing field `pk`", " at line 1 column 10"},
      {R"({"pk":"1","sk":"1","x":[1]})", "unknown field `x`, expected `pk` or `sk`", " at line 1 column 20"},
      {"[]", "invalid type: sequence, expected struct KeyPair", " at line 1 column 1"},
      {R"("k")", "invalid type: string \"k\", expected struct KeyPair", " at line 1 column 1"},
      {R"({"pk":1})", "invalid type: integer `1`, expected a string", " at line 1 column 7"},
      {R"({"sk":"1","pk":"1110"})", "provided string contained invalid character '0' at byte 3", " at line 1 column 22"},
      {R"({"pk":"11l","sk":"0"})", "provided string contained invalid character 'l' at byte 2", " at line 1 column 21"},
      {"{\"pk\":\"\xC3\xA9\",\"sk\":\"1\"}", "provided string contained non-ascii character starting at byte 0",
       " at line 1 column 20"},
  };
  for (const auto& c : cases) {
    auto from_text = key_pair_from_text(c.text);
    ASSERT_FALSE(from_text.ok()) << c.text;
    EXPECT_EQ(from_text.error().text(), c.error + c.position) << c.text;
    auto value = parse_json_text(c.text);
    ASSERT_TRUE(value.ok()) << c.text;
    auto from_value = key_pair_from_value(value.value());
    ASSERT_FALSE(from_value.ok()) << c.text;
    EXPECT_EQ(from_value.error().text(), c.error) << c.text;
  }
  // Only text has duplicates and trailing characters.
  EXPECT_EQ(key_pair_from_text(R"({"pk":"1","pk":x})").error().text(), "duplicate field `pk` at line 1 column 11");
  EXPECT_EQ(key_pair_from_text(R"({"pk":"1","sk":"1"} x)").error().text(), "trailing characters at line 1 column 21");
}

}  // namespace
}  // namespace velno
