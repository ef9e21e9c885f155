// What a change of password does with encrypted records that it cannot fully open under
// the old password: it puts every record key that opens under the new one, keeps data
// that does not open as it is, leaves records that open under neither, and says how many.
#include <gtest/gtest.h>

#include "wallet/record_encryption.hpp"
#include "wallet/wallet_fixture.hpp"

namespace velno {
namespace {

using test::b58;
using test::bytes_of;
using test::plain_record;

const std::string kStrayPassword = "an older version's password";
const std::string kNoPassword = "no record's password";
const std::string kLoginFailed = "Cannot read wallet. Is the Pin Correct?";

class ChangeLeavesRecords : public test::WalletFixture {
 protected:
  static PasswordFn answering(const std::string& password) {
    return [&password] { return SecretBytes(std::string_view(password)); };
  }
  static bool opens(const InternalStorageRecord& record, const std::string& password) {
    auto key = derive_key(bytes_of(password), b58(record.record_security->salt));
    return key.ok() && decrypt_record_data(key.value(), record).ok();
  }
  // Whether the record's record key (its outer layer) opens under `password`.
  static bool key_opens(const InternalStorageRecord& record, const std::string& password) {
    auto sealed = sealed_record_key(*record.record_security);
    if (!sealed) return false;
    auto key = open_record_key(bytes_of(password), *sealed);
    return key.ok() && key.value().has_value();
  }
  // A datum sealed under `password` by a wallet of its own, as another version or an
  // earlier change may have left it.
  InternalStorageRecord sealed_elsewhere(const std::string& raw_key, const std::string& password) {
    const std::string name = "qxdwallet_elsewhere_" + raw_key;
    auto made = Wallet::create(name, answering(password), BroxFileSystemStorage(name));
    EXPECT_TRUE(made.ok());
    EXPECT_TRUE(made.value()->store_encrypted(raw_key, "String", RecordType::PrivateData,
                                              SecretBytes(std::string_view("\"djA=\""))).ok());
    auto record = made.value()->storage().get_record(raw_key + "::String");
    EXPECT_TRUE(record.ok() && record.value());
    return *record.value();
  }
};

// Good key pairs and a datum under the old password beside records that it does not
// fully open: a key pair whose data is damaged, a datum of another password, one
// already under the new password, one without its security block. The wrong old
// passwords, one of them the stray datum's, are refused with nothing changed; the right
// one re-seals what opens, puts the damaged key pair's record key under the new
// password with its data as it was, leaves the rest byte for byte and names the counts.
TEST_F(ChangeLeavesRecords, ReSealsWhatOpensKeepsDamagedDataAndLeavesTheRestByteForByte) {
  const DIDInfo good1 = create(std::string(32, 'g'));
  const DIDInfo good2 = create(std::string(32, 'h'));
  const DIDInfo broken = create(std::string(32, 'i'));
  ASSERT_TRUE(wallet_->store_encrypted("mine", "String", RecordType::PrivateData,
                                       SecretBytes(std::string_view("\"djA=\""))).ok());
  InternalStorageRecord damaged = stored(broken.id + "::KeyPair");
  std::string data = damaged.record_object.get<std::string>();
  data[data.size() / 2] = data[data.size() / 2] == 'z' ? 'y' : 'z';
  damaged.record_object = data;
  add(damaged);
  add(sealed_elsewhere("stray", kStrayPassword));
  add(sealed_elsewhere("ahead", test::kPasswordB));
  InternalStorageRecord bare = plain_record("bare", "String", RecordType::PrivateData, "djA=");
  add(bare);
  const RecordMap before = snapshot();
  const std::string file = wallet_text();

  struct Refused {
    const std::string* old_password;
    uint64_t derivations;   // the proof: two key pairs tried
  };
  for (const Refused r : {Refused{&kStrayPassword, 2}, Refused{&kNoPassword, 2}}) {
    SCOPED_TRACE(*r.old_password);
    password_ = r.old_password;
    const uint64_t derived = test_hooks::key_derivations.load();
    EXPECT_DID_ERROR(wallet_->change_password(answering(test::kPasswordB)), DidErrorKind::WalletLoginFailed,
                     kLoginFailed);
    EXPECT_EQ(test_hooks::key_derivations.load() - derived, r.derivations);
    EXPECT_EQ(snapshot(), before);
    EXPECT_EQ(wallet_text(), file);
  }

  password_ = &test::kPasswordA;
  auto& capture = test::LogCapture::install(LogLevel::Warn);
  const uint64_t derived = test_hooks::key_derivations.load();
  ASSERT_TRUE(wallet_->change_password(answering(test::kPasswordB)).ok());
  // The proof, then two per record tried (the bare one is tried on nothing).
  EXPECT_EQ(test_hooks::key_derivations.load() - derived, 1u + 2 * 6);
  EXPECT_EQ(capture.wallet_lines(),
            (std::vector<std::string>{"2 Change of password: 1 encrypted records whose data does not open were put "
                                      "under the new password with their data as it was; 2 open under neither "
                                      "password and were left as they were"}));

  const RecordMap after = snapshot();
  ASSERT_EQ(after.size(), before.size());
  for (const std::string& key : {good1.id + "::KeyPair", good2.id + "::KeyPair", std::string("mine::String")}) {
    SCOPED_TRACE(key);
    EXPECT_NE(after.at(key).record_security, before.at(key).record_security);
    EXPECT_TRUE(opens(after.at(key), test::kPasswordB));
  }
  for (const std::string& key : {std::string("stray::String"), std::string("ahead::String"), std::string("bare::String")}) {
    SCOPED_TRACE(key);
    EXPECT_EQ(after.at(key), before.at(key));
  }
  EXPECT_TRUE(opens(after.at("stray::String"), kStrayPassword));
  // The damaged key pair: its record key under the new password alone, behind a fresh
  // salt and level1 nonce; its data and level2 nonce as they were.
  const InternalStorageRecord& kept = after.at(broken.id + "::KeyPair");
  const RecordSecurity& was = *before.at(broken.id + "::KeyPair").record_security;
  EXPECT_EQ(kept.record_object, damaged.record_object);
  EXPECT_EQ(kept.record_security->level2_nonce, was.level2_nonce);
  EXPECT_NE(kept.record_security->salt, was.salt);
  EXPECT_NE(kept.record_security->level1_nonce, was.level1_nonce);
  EXPECT_TRUE(key_opens(kept, test::kPasswordB));
  EXPECT_FALSE(key_opens(kept, test::kPasswordA));
  // No record key opens under the old password any more.
  for (const auto& [key, record] : after) {
    if (record.record_security) {
      EXPECT_FALSE(key_opens(record, test::kPasswordA)) << key;
    }
  }
  // The file holds what memory holds, the records left written as they were.
  auto read_back = parse_wallet_text(wallet_text());
  ASSERT_TRUE(read_back.ok());
  EXPECT_EQ(read_back.value(), after);
  const auto file_before = nlohmann::json::parse(file), file_after = nlohmann::json::parse(wallet_text());
  for (const std::string& key : {std::string("stray::String"), std::string("bare::String")})
    EXPECT_EQ(file_after[key].dump(), file_before[key].dump()) << key;
  EXPECT_EQ(file_after[broken.id + "::KeyPair"]["data"].dump(), file_before[broken.id + "::KeyPair"]["data"].dump());
  password_ = &test::kPasswordB;
  EXPECT_TRUE(wallet_->sign_with_did(good1.id, bytes_of("under B")).ok());
}

}  // namespace
}  // namespace velno
