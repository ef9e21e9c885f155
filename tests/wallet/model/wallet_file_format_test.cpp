#include "wallet/model/wallet_file_format.hpp"

#include <filesystem>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "support/test_support.hpp"
#include "wallet/model/did_info.hpp"

namespace velno {
namespace {

const std::string kRecordHead = R"({"key":{"raw_key":"a","record_type":"b"},"type":"Did","date":1,"data":)";

std::string wallet_with_data(const std::string& data) { return R"({"k":)" + kRecordHead + data + "}}"; }

std::string error_of(std::string_view text) {
  auto r = parse_wallet_text(text);
  return r.ok() ? std::string("<ok>") : r.error().text();
}

TEST(WalletFileText, TopLevelForms) {
  const std::pair<std::string, std::string> cases[] = {
      {"\n", "EOF while parsing a value at line 2 column 1"},
      {"null", "invalid type: null, expected a map at line 1 column 1"},
      {" [{}]", "invalid type: sequence, expected a map at line 1 column 2"},
      {"\"w\"", "invalid type: string \"w\", expected a map at line 1 column 1"},
      {"7", "invalid type: integer `7`, expected a map at line 1 column 1"},
      {"{} x", "trailing characters at line 1 column 4"},
      {"{}{}", "trailing characters at line 1 column 3"},
      {"{\"k\":5}", "invalid type: integer `5`, expected struct InternalStorageRecord at line 1 column 6"},
      {"{\"k\":{}}", "missing field `key` at line 1 column 7"},
      {"{\"k\":{\"date\":1,\"date\":2}}", "duplicate field `date` at line 1 column 16"},
      {"{\"k\":" + kRecordHead + "1}",
       "EOF while parsing an object at line 1 column " + std::to_string(kRecordHead.size() + 8)},
  };
  for (const auto& [text, error] : cases) EXPECT_EQ(error_of(text), error) << text;
  for (const char* empty : {"{}", " \t\r\n{ }\n"}) {
    auto r = parse_wallet_text(empty);
    ASSERT_TRUE(r.ok()) << empty;
    EXPECT_TRUE(r.value().empty());
  }
}

TEST(WalletFileText, MemberNamesAreTheMapKeys) {
  auto r = parse_wallet_text(R"({"x::y":)" + kRecordHead + R"(1},"dup":)" + kRecordHead + R"(2},"dup":)" +
                             kRecordHead + R"(3}, "d\u0075p2" : )" + kRecordHead + "4}}");
  ASSERT_TRUE(r.ok()) << r.error().text();
  const RecordMap& m = r.value();
  ASSERT_EQ(m.size(), 3u);
  EXPECT_EQ(m.at("x::y").key.to_string(), "a::b");  // the name is not compared with the key
  EXPECT_EQ(m.at("dup").record_object, 3);          // the later member replaces the earlier
  EXPECT_EQ(m.at("dup2").record_object, 4);
}

TEST(WalletFileText, WritesCompactlyAndReadsBackEqual) {
  EXPECT_EQ(serialize_wallet(RecordMap{}), "{}");

  const DIDInfo info = DIDInfo::create("V4SGRU86Z58d6TV7PBUe6f", std::vector<uint8_t>(32, 9), std::nullopt, false,
                                       std::nullopt);
  InternalStorageRecord did{{info.id, "DIDInfo"}, RecordType::Did, 1700000000, std::nullopt, std::nullopt,
                            serialize(info), nullptr};
  RecordMap one{{did.key.to_string(), did}};
  const std::string text = serialize_wallet(one);
  std::string record;
  JsonWriter w(record);
  serialize(w, did);
  EXPECT_EQ(text, "{\"V4SGRU86Z58d6TV7PBUe6f::DIDInfo\":" + record + "}");
  auto back = parse_wallet_text(text);
  ASSERT_TRUE(back.ok()) << back.error().text();
  EXPECT_EQ(back.value(), one);
  EXPECT_EQ(serialize_wallet(back.value()), text);

  // Many records with the shapes the system writes and keeps: reading the text and
  // writing it again gives the same records, and each record's text is unchanged.
  RecordMap many;
  for (int i = 0; i < 50; ++i) {
    const std::string id = "did" + std::to_string(i);
    many[id + "::DIDInfo"] = {{id, "DIDInfo"}, RecordType::Did, i, std::nullopt, std::nullopt, serialize(info), nullptr};
    many[id + "::KeyPair"] = {{id, "KeyPair"}, RecordType::KeyPair, -i, std::nullopt,
                              RecordSecurity{"e" + id, "s", "n1", "n2"}, "sealed" + id, nullptr};
    many[id + "::x"] = {{id, "\xC3\xA9\"\\\x7F"}, RecordType::PublicData, INT64_MAX, Tags{{"t", "\x01"}}, std::nullopt,
                        nlohmann::json::parse(R"([1,-2,18446744073709551615,0.5,"\u2028",{"b":{},"a":[]}])"), nullptr};
  }
  const std::string many_text = serialize_wallet(many);
  auto many_back = parse_wallet_text(many_text);
  ASSERT_TRUE(many_back.ok()) << many_back.error().text();
  EXPECT_EQ(many_back.value(), many);
  const std::string again = serialize_wallet(many_back.value());
  EXPECT_EQ(again.size(), many_text.size());
  auto again_back = parse_wallet_text(again);
  ASSERT_TRUE(again_back.ok());
  EXPECT_EQ(again_back.value(), many);

  std::string appended = "prefix";
  serialize_wallet(appended, RecordMap{});
  EXPECT_EQ(appended, "prefix{}");
}

TEST(WalletFileText, NestingLimitCountsFromTheTopLevelObject) {
  // The record is at depth 2, so its data may hold 125 levels.
  auto deep = [](std::size_t n) { return std::string(n, '[') + std::string(n, ']'); };
  auto ok = parse_wallet_text(wallet_with_data(deep(125)));
  ASSERT_TRUE(ok.ok()) << ok.error().text();
  EXPECT_EQ(serialize_wallet(ok.value()), wallet_with_data(deep(125)));
  const std::size_t column = 5 + kRecordHead.size() + 126;  // the 126th '['
  EXPECT_EQ(error_of(wallet_with_data(deep(126))), "recursion limit exceeded at line 1 column " + std::to_string(column));
  // Objects count as well, inside skipped members too.
  std::string objects;
  for (int i = 0; i < 126; ++i) objects += "{\"a\":";
  EXPECT_EQ(parse_wallet_text(R"({"k":{"skip":)" + objects).error().message, "recursion limit exceeded");
}

// Every case of the JSON conformance suite placed as a record's data: the accepted
// ones ("y_") read, the refused ones ("n_") fail, the open ones ("i_") just end.
TEST(WalletFileText, ConformanceCasesAsRecordData) {
  const std::filesystem::path dir = std::filesystem::path(VELNO_TESTDATA_DIR) / "json-test-suite" / "test_parsing";
  if (!std::filesystem::is_directory(dir)) GTEST_SKIP() << "no conformance cases at " << dir;
  int y = 0, n = 0, i = 0;
  for (const auto& entry : std::filesystem::directory_iterator(dir)) {
    const std::string name = entry.path().filename().string();
    const std::string data = test::read_file(entry.path().string());
    auto r = parse_wallet_text(wallet_with_data(data));
    if (name.starts_with("y_")) {
      ++y;
      EXPECT_TRUE(r.ok()) << name << ": " << r.error().text();
      if (r.ok()) {
        // What was read is written back readable and equal.
        auto again = parse_wallet_text(serialize_wallet(r.value()));
        ASSERT_TRUE(again.ok()) << name;
        EXPECT_EQ(again.value(), r.value()) << name;
      }
    } else if (name.starts_with("n_")) {
      ++n;
      EXPECT_FALSE(r.ok()) << name << " was accepted";
    } else if (name.starts_with("i_")) {
      ++i;
    }
  }
  EXPECT_GT(y, 90);
  EXPECT_GT(n, 180);
  EXPECT_GT(i, 30);
}

}  // namespace
}  // namespace velno
