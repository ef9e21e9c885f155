// Reading records: by key, by type, the DID lookups and the data records.
#include "wallet/brox_wallet.hpp"

#include <set>

#include <gtest/gtest.h>

#include "wallet/wallet_fixture.hpp"

namespace velno {
namespace {

using test::did_info_json;
using test::plain_record;

using WalletReading = test::WalletFixture;

TEST_F(WalletReading, MissingRecordsAnswerNoneOrRecordNotFoundWithoutAskingThePassword) {
  auto none = wallet_->get_record<KeyPair>("nobody");
  ASSERT_TRUE(none.ok());
  EXPECT_FALSE(none.value().has_value());
  EXPECT_DID_ERROR(wallet_->get_did_info("nobody"), DidErrorKind::RecordNotFound, "DIDInfo");
  add(plain_record("D1", "DIDInfo", RecordType::Did, did_info_json("D1")));
  EXPECT_DID_ERROR(wallet_->default_did(), DidErrorKind::RecordNotFound, "PublicDid");
  EXPECT_EQ(password_calls_, 0);
}

TEST_F(WalletReading, LooksUpDescriptionsByKeyAndByType) {
  add(plain_record("D1", "DIDInfo", RecordType::Did, did_info_json("D1")));
  add(plain_record("D2", "DIDInfo", RecordType::Did, did_info_json("D2")));
  add(plain_record("P1", "DIDInfo", RecordType::PublicDid, did_info_json("P1", true)));
  add(plain_record("other", "Thing", RecordType::Arbitrary, "not a DID"));

  auto info = wallet_->get_did_info("D2");
  ASSERT_TRUE(info.ok());
  EXPECT_EQ(info.value().id, "D2");

  auto dids = wallet_->query_by_type(RecordType::Did);
  ASSERT_TRUE(dids.ok());
  std::set<std::string> ids;
  for (const auto& r : dids.value()) {
    ids.insert(r.value.id);
    EXPECT_EQ(r.typ, RecordType::Did);
    EXPECT_EQ(r.key, r.value.id);
  }
  EXPECT_EQ(ids, (std::set<std::string>{"D1", "D2"}));

  auto default_did = wallet_->default_did();
  ASSERT_TRUE(default_did.ok());
  EXPECT_EQ(default_did.value().id, "P1");
  EXPECT_TRUE(default_did.value().publicDID);
}

TEST_F(WalletReading, PlainDataThatIsNotADescriptionFailsWithSerdePrefix) {
  nlohmann::json data = did_info_json("D1");
  data.erase("publicDID");
  add(plain_record("D1", "DIDInfo", RecordType::Did, data));
  add(plain_record("D2", "DIDInfo", RecordType::Did, did_info_json("D2")));
  EXPECT_DID_ERROR(wallet_->get_did_info("D1"), DidErrorKind::JsonProcessing, "serde says missing field `publicDID`");
  // One bad record among the matching ones spoils the whole scan.
  EXPECT_DID_ERROR(wallet_->query_by_type(RecordType::Did), DidErrorKind::JsonProcessing,
                   "serde says missing field `publicDID`");
}

TEST_F(WalletReading, DamagedSaltFailsBeforeThePasswordIsAsked) {
  InternalStorageRecord record = plain_record("D", "KeyPair", RecordType::KeyPair, "abc");
  record.record_security = RecordSecurity{"ek", "0bad", "n1", "n2"};
  add(record);
  EXPECT_DID_ERROR(wallet_->get_record<KeyPair>("D"), DidErrorKind::ConversionError,
                   "provided string contained invalid character '0' at byte 0");
  record.record_security->salt = base58_encode(std::vector<uint8_t>(8, 1));
  add(record);
  EXPECT_DID_ERROR(wallet_->get_record<KeyPair>("D"), DidErrorKind::Crypto, "Invalid length of salt");
  record.record_security.reset();
  add(record);
  EXPECT_DID_ERROR(wallet_->get_record<KeyPair>("D"), DidErrorKind::ValueRequired,
                   "Optional value \"sr.record_security.as_ref()\" is required");
  EXPECT_EQ(password_calls_, 0);
}

TEST_F(WalletReading, EncryptedStringValuesRoundTripAndRefuseOtherJson) {
  ASSERT_TRUE(wallet_->store_encrypted("k1", "String", RecordType::PrivateData, SecretBytes(std::string_view("\"QUJD\""))).ok());
  ASSERT_TRUE(wallet_->store_encrypted("k2", "String", RecordType::PrivateData, SecretBytes(std::string_view("5"))).ok());
  const InternalStorageRecord stored_record = stored("k1::String");
  EXPECT_EQ(stored_record.typ, RecordType::PrivateData);
  EXPECT_TRUE(stored_record.record_security.has_value());
  EXPECT_FALSE(stored_record.tags.has_value());

  auto value = wallet_->get_record<StringValue>("k1");
  ASSERT_TRUE(value.ok()) << value.error().raw_message();
  ASSERT_TRUE(value.value().has_value());
  EXPECT_EQ(value.value()->value.text, "QUJD");
  EXPECT_EQ(value.value()->key, "k1");
  EXPECT_DID_ERROR(wallet_->get_record<StringValue>("k2"), DidErrorKind::JsonProcessing,
                   "invalid type: integer `5`, expected a string");
  EXPECT_EQ(password_calls_, 4);  // once per record written and per record read

  // Under another password the outer layer refuses, the data layer is never tried.
  password_ = &test::kPasswordB;
  EXPECT_DID_ERROR(wallet_->get_record<StringValue>("k1"), DidErrorKind::WalletLoginFailed,
                   "Cannot read wallet. Is the Pin Correct?");
}

TEST_F(WalletReading, PlainStringValueMustHoldAString) {
  add(plain_record("k", "String", RecordType::Arbitrary, "text"));
  add(plain_record("n", "String", RecordType::Arbitrary, nlohmann::json::array()));
  auto value = wallet_->get_record<StringValue>("k");
  ASSERT_TRUE(value.ok() && value.value().has_value());
  EXPECT_EQ(value.value()->value.text, "text");
  EXPECT_DID_ERROR(wallet_->get_record<StringValue>("n"), DidErrorKind::JsonProcessing,
                   "serde says invalid type: sequence, expected a string");
}

TEST_F(WalletReading, ScanLogsOneLinePerRecordAtTraceOnly) {
  add(plain_record("D1", "DIDInfo", RecordType::Did, did_info_json("D1")));
  add(plain_record("x", "Thing", RecordType::Arbitrary, 1));
  auto& capture = test::LogCapture::install(LogLevel::Debug);
  ASSERT_TRUE(wallet_->query_by_type(RecordType::PublicDid).ok());
  ASSERT_TRUE(wallet_->get_did_info("D1").ok());
  EXPECT_TRUE(capture.wallet_lines().empty());

  test::LogCapture::install(LogLevel::Trace);
  ASSERT_TRUE(wallet_->query_by_type(RecordType::PublicDid).ok());
  auto lines = capture.wallet_lines();
  ASSERT_EQ(lines.size(), 3u);
  EXPECT_EQ(lines[0], "5 query_by_type >>> typ: PublicDid");
  std::multiset<std::string> per_record(lines.begin() + 1, lines.end());
  EXPECT_EQ(per_record, (std::multiset<std::string>{"5 query_by_type >>> typ: Did", "5 query_by_type >>> typ: Arbitrary"}));

  capture.clear();
  ASSERT_TRUE(wallet_->get_did_info("D1").ok());
  ASSERT_TRUE(wallet_->get_did_info("D9").ok() == false);
  EXPECT_EQ(capture.wallet_lines(), (std::vector<std::string>{
                                        "5 get_record >>> key: D1",
                                        "5 Raw key: D1, Internal wallet key D1::DIDInfo",
                                        "5 decrypt <<< key: D1",
                                        "5 get_record >>> key: D9",
                                        "5 Raw key: D9, Internal wallet key D9::DIDInfo",
                                    }));
}

}  // namespace
}  // namespace velno
