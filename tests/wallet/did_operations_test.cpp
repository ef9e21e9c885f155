// Creating DIDs, signing and verifying.
#include <chrono>
#include <cstring>
#include <fstream>
#include <map>

#include <gtest/gtest.h>
#include <nlohmann/json.hpp>
#include <sodium.h>

#include "support/ed25519_vectors.hpp"
#include "wallet/record_encryption.hpp"
#include "wallet/wallet_fixture.hpp"

namespace velno {
namespace {

using test::b58;
using test::bytes_of;
using test::from_hex;
using test::plain_record;

using test::Ed25519Vector;
constexpr const auto& kRfc8032 = test::kRfc8032Vectors;

std::string did_of(const std::vector<uint8_t>& pk) { return base58_encode(std::span<const uint8_t>(pk).first(16)); }

std::string as_text(const std::vector<uint8_t>& v) { return std::string(v.begin(), v.end()); }

using DidOperations = test::WalletFixture;

// The wallet's trace lines of a creation that stores the DID `d`.
std::vector<std::string> creation_lines(const std::string& d) {
  return {
      "5 get_record >>> key: " + d,
      "5 Raw key: " + d + ", Internal wallet key " + d + "::DIDInfo",
      "5 Raw key: " + d + ", Internal wallet key " + d + "::KeyPair",
      "5 Derive key from wallet password",
      "5 Raw key: " + d + ", Internal wallet key " + d + "::DIDInfo",
  };
}

TEST_F(DidOperations, Rfc8032VectorsThroughCreateAndSign) {
  for (const Ed25519Vector& v : kRfc8032) {
    SCOPED_TRACE(v.public_key);
    const auto seed = from_hex(v.seed), pk = from_hex(v.public_key), message = from_hex(v.message);
    const DIDInfo info = create(as_text(seed));
    EXPECT_EQ(b58(info.publicKey), pk);
    EXPECT_EQ(info.id, did_of(pk));
    EXPECT_EQ(info.seed, base58_encode(seed));
    EXPECT_FALSE(info.publicDID);
    EXPECT_FALSE(info.metadata.has_value());
    auto signature = wallet_->sign_with_did(info.id, message);
    ASSERT_TRUE(signature.ok()) << signature.error().raw_message();
    EXPECT_EQ(hex_lower(signature.value()), v.signature);
    EXPECT_TRUE(verify_signature(signature.value(), message, pk).ok());
  }
  // Ed25519 signatures are deterministic.
  const DIDInfo first = wallet_->get_did_info(did_of(from_hex(kRfc8032[0].public_key))).value();
  EXPECT_EQ(hex_lower(wallet_->sign_with_did(first.id, {}).value()), kRfc8032[0].signature);
}

TEST(VerifySignature, WycheproofVectors) {
  const char* path = VELNO_TESTDATA_DIR "/wycheproof/ed25519_test.json";
  std::ifstream in(path);
  if (!in) GTEST_SKIP() << "no Wycheproof vectors at " << path;
  const nlohmann::json suite = nlohmann::json::parse(in);
  std::size_t checked = 0;
  for (const auto& group : suite.at("testGroups")) {
    const auto pk = from_hex(group.at("publicKey").at("pk").get<std::string>());
    for (const auto& t : group.at("tests")) {
      SCOPED_TRACE(t.at("tcId").get<int>());
      const auto msg = from_hex(t.at("msg").get<std::string>());
      const auto sig = from_hex(t.at("sig").get<std::string>());
      const bool valid = t.at("result") == "valid";
      auto result = verify_signature(sig, msg, pk);
      EXPECT_EQ(result.ok(), valid);
      if (!valid) EXPECT_DID_ERROR(result, DidErrorKind::WalletInvalidSignature, "Signature not valid");
      ++checked;
    }
  }
  EXPECT_GT(checked, 100u);
}

TEST(VerifySignature, RefusesChangedBitsAndWrongLengths) {
  const auto pk = from_hex(kRfc8032[1].public_key), msg = from_hex(kRfc8032[1].message),
             sig = from_hex(kRfc8032[1].signature);
  ASSERT_TRUE(verify_signature(sig, msg, pk).ok());
  auto flip = [](std::vector<uint8_t> v, std::size_t i) {
    v[i] ^= 1;
    return v;
  };
  auto resize = [](std::vector<uint8_t> v, std::size_t n) {
    v.resize(n, 0);
    return v;
  };
  struct Case {
    const char* name;
    std::vector<uint8_t> sig, msg, pk;
  };
  const Case cases[] = {
      {"data bit", sig, flip(msg, 0), pk},
      {"signature bit", flip(sig, 40), msg, pk},
      {"key bit", sig, msg, flip(pk, 3)},
      {"signature of 63 bytes", resize(sig, 63), msg, pk},
      {"signature of 65 bytes", resize(sig, 65), msg, pk},
      {"empty signature", {}, msg, pk},
      {"key of 31 bytes", sig, msg, resize(pk, 31)},
      {"key of 33 bytes", sig, msg, resize(pk, 33)},
      {"empty key", sig, msg, {}},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    EXPECT_DID_ERROR(verify_signature(c.sig, c.msg, c.pk), DidErrorKind::WalletInvalidSignature,
                     "Signature not valid");
  }
}

TEST_F(DidOperations, SeedOfADidAlreadyStoredIsReusedWithoutPasswordOrWrite) {
  const std::string seed(32, 'S');
  const DIDInfo first = create(seed);
  const std::string file = wallet_text();
  password_calls_ = 0;

  EXPECT_EQ(create(seed), first);
  // Only the first 32 bytes make the key: a longer seed with the same start is the same DID.
  EXPECT_EQ(create(seed + "tail"), first);
  EXPECT_EQ(first.seed, base58_encode(bytes_of(seed)));
  EXPECT_EQ(password_calls_, 0);
  EXPECT_EQ(wallet_text(), file);
}

TEST_F(DidOperations, SeedsShorterThan32BytesMakeNoKeyPair) {
  for (const std::string& seed : {std::string(), std::string(31, 'x')}) {
    SCOPED_TRACE(seed.size());
    EXPECT_DID_ERROR(wallet_->create_did(bytes_of(seed), std::nullopt), DidErrorKind::WalletCouldNotGenerateKeyPair,
                     "Couldn't create key pair");
  }
  EXPECT_EQ(password_calls_, 0);
  EXPECT_TRUE(snapshot().empty());
  EXPECT_EQ(wallet_text(), "");
}

// Seeds up to 1,024 bytes make new DIDs; a longer one is refused before its Base58 is
// made or the password asked, unless its DID (that of its first 32 bytes) is stored.
TEST_F(DidOperations, NewDidsTakeSeedsUpTo1024BytesAndStoredOnesOfAnyLength) {
  const std::string at_bound = std::string(32, 'b') + std::string(992, 'x');
  struct Case {
    std::string seed;
    bool made;
  };
  const std::vector<Case> cases = {
      {std::string(32, 'a'), true},
      {at_bound, true},
      {std::string(32, 'c') + std::string(993, 'x'), false},
      {std::string(1 << 20, 'd'), false},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.seed.size());
    const std::string file = wallet_text();
    password_calls_ = 0;
    auto info = wallet_->create_did(bytes_of(c.seed), std::nullopt);
    if (c.made) {
      ASSERT_TRUE(info.ok()) << info.error().raw_message();
      EXPECT_EQ(info.value().seed, base58_encode(bytes_of(c.seed)));
      EXPECT_EQ(password_calls_, 1);
    } else {
      EXPECT_DID_ERROR(info, DidErrorKind::WalletCouldNotGenerateKeyPair, "Couldn't create key pair");
      EXPECT_EQ(password_calls_, 0);
      EXPECT_EQ(wallet_text(), file);
    }
  }
  // A megabyte seed starting like a stored DID's seed answers that DID, as it always did.
  const std::string file = wallet_text();
  auto reused = wallet_->create_did(bytes_of(std::string(32, 'b') + std::string(1 << 20, 'y')), std::nullopt);
  ASSERT_TRUE(reused.ok()) << reused.error().raw_message();
  EXPECT_EQ(reused.value().seed, base58_encode(bytes_of(at_bound)));
  EXPECT_EQ(wallet_text(), file);
}

// A write proves its password on up to two sealed records, by key text: key pairs while
// the wallet holds any, else data records. One damaged or stray record never locks the
// right password out nor vouches for another, a wrong password is still refused, and
// the right one costs one derivation beyond the seal.
class PasswordProof : public DidOperations {
 protected:
  // An encrypted record sealed under `password`; one derivation per password, kept.
  InternalStorageRecord sealed(const std::string& raw_key, RecordType typ, const std::string& password) {
    auto& key = keys_[password];
    if (key.empty()) {
      auto derived = derive_key(bytes_of(password), salt_);
      EXPECT_TRUE(derived.ok());
      key = std::vector<uint8_t>(derived.value().data(), derived.value().data() + derived.value().size());
    }
    auto box = encrypt_record_data(SecretBytes(std::string_view("\"djA=\"")), salt_, SecretBytes(key.data(), key.size()));
    EXPECT_TRUE(box.ok());
    return InternalStorageRecord{{raw_key, typ == RecordType::KeyPair ? "KeyPair" : "String"},
                                 typ,
                                 1700000000,
                                 std::nullopt,
                                 std::move(box.value().second),
                                 std::move(box.value().first),
                                 nullptr};
  }
  static InternalStorageRecord damaged(InternalStorageRecord record) {
    std::vector<uint8_t> key = b58(record.record_security->encrypted_key);
    key[5] ^= 0x01;
    record.record_security->encrypted_key = base58_encode(key);
    return record;
  }
  // Damaged so that its security parts do not even decode.
  static InternalStorageRecord unreadable(InternalStorageRecord record) {
    record.record_security->salt = "0OIl";
    return record;
  }
  const std::vector<uint8_t> salt_ = std::vector<uint8_t>(kSaltBytes, 7);
  std::map<std::string, std::vector<uint8_t>> keys_;
};

TEST_F(PasswordProof, OneDamagedOrStrayRecordNeverDecidesAndAWrongPasswordStoresNothing) {
  using test::kPasswordA;
  using test::kPasswordB;
  struct Case {
    const char* what;
    std::vector<InternalStorageRecord> records;
    const std::string* password;   // what the write is given; the wallet's is A
    bool stored;
    uint64_t derivations;          // the proofs and, when it stores, the seal
  };
  const auto key_pair = RecordType::KeyPair;
  const auto data = RecordType::PrivateData;
  std::vector<Case> cases;
  cases.push_back({"healthy", {sealed("k1", key_pair, kPasswordA), sealed("k2", key_pair, kPasswordA)}, &kPasswordA,
                   true, 2});
  cases.push_back({"damaged first record",
                   {damaged(sealed("k1", key_pair, kPasswordA)), sealed("k2", key_pair, kPasswordA)}, &kPasswordA,
                   true, 3});
  cases.push_back({"stray first record under another password",
                   {sealed("k1", key_pair, kPasswordB), sealed("k2", key_pair, kPasswordA)}, &kPasswordA, true, 3});
  // "a" comes first by key text, but a key pair is tried before any data record.
  cases.push_back({"key pairs before data records", {damaged(sealed("a", data, kPasswordA)), sealed("k", key_pair, kPasswordA)},
                   &kPasswordA, true, 2});
  cases.push_back({"no encrypted record",
                   {plain_record("D", "DIDInfo", RecordType::Did, test::did_info_json("D"))}, &kPasswordA, true, 1});
  cases.push_back({"wrong password", {sealed("k1", key_pair, kPasswordA), sealed("k2", key_pair, kPasswordA)},
                   &kPasswordB, false, 2});
  cases.push_back({"two damaged records", {damaged(sealed("k1", key_pair, kPasswordA)), damaged(sealed("k2", key_pair, kPasswordA)),
                   sealed("k3", key_pair, kPasswordA)}, &kPasswordA, false, 2});

  // While the wallet holds a key pair, only key pairs prove: a data record that another
  // password opens never vouches for it, nor does one of the right password for a
  // password the key pairs refuse.
  cases.push_back({"a key pair and a data record under another password",
                   {sealed("k", key_pair, kPasswordA), sealed("d", data, kPasswordB)}, &kPasswordB, false, 1});
  cases.push_back({"the only key pair damaged, beside a data record under the password",
                   {damaged(sealed("k", key_pair, kPasswordA)), sealed("d", data, kPasswordA)}, &kPasswordA, false, 1});
  // A record that does not decode is passed over without a derivation, but still binds.
  cases.push_back({"an unreadable key pair is passed over",
                   {unreadable(sealed("k1", key_pair, kPasswordA)), sealed("k2", key_pair, kPasswordA)}, &kPasswordA,
                   true, 2});
  cases.push_back({"the only sealed record unreadable", {unreadable(sealed("k", key_pair, kPasswordA))}, &kPasswordA,
                   false, 0});
  // Without a key pair, data records prove, by the same rule.
  cases.push_back({"only data records, the first under another password",
                   {sealed("a", data, kPasswordB), sealed("b", data, kPasswordA)}, &kPasswordA, true, 3});
  cases.push_back({"only data records, a wrong password", {sealed("a", data, kPasswordA), sealed("b", data, kPasswordA)},
                   &kPasswordB, false, 2});

  int n = 0;
  for (Case& c : cases) {
    SCOPED_TRACE(c.what);
    const std::string name = "qxdwallet_proof" + std::to_string(++n);
    std::atomic<const std::string*> given{c.password};
    std::atomic<int> calls{0};
    auto made = Wallet::create(name, callback_for(given, calls), BroxFileSystemStorage(name));
    ASSERT_TRUE(made.ok());
    const Wallet& wallet = *made.value();
    for (auto& record : c.records) ASSERT_TRUE(wallet.storage().add_record(std::move(record)).ok());
    const std::string before = test::read_file(resolve_wallet_path(name));

    const uint64_t derived_before = test_hooks::key_derivations.load();
    auto stored = wallet.store_encrypted("new", "String", RecordType::PrivateData, SecretBytes(std::string_view("\"djE=\"")));
    EXPECT_EQ(test_hooks::key_derivations.load() - derived_before, c.derivations);
    EXPECT_EQ(calls.load(), 1);
    if (c.stored) {
      EXPECT_TRUE(stored.ok()) << stored.error().raw_message();
      EXPECT_NE(test::read_file(resolve_wallet_path(name)), before);
      auto back = wallet.get_record<StringValue>("new");
      ASSERT_TRUE(back.ok() && back.value()) << (back.ok() ? "none" : back.error().raw_message());
      EXPECT_EQ(back.value()->value.text, "djE=");
    } else {
      EXPECT_DID_ERROR(stored, DidErrorKind::WalletLoginFailed, "Cannot read wallet. Is the Pin Correct?");
      EXPECT_EQ(test::read_file(resolve_wallet_path(name)), before);
    }
  }
}

// Each draw fills its buffer with the number of the draw.
uint8_t g_draw = 0;
void numbered_buf(void* buf, std::size_t size) { std::memset(buf, ++g_draw, size); }
uint32_t numbered_random() { return ++g_draw; }
const char* numbered_name() { return "numbered"; }
randombytes_implementation g_numbered{numbered_name, numbered_random, nullptr, nullptr, numbered_buf, nullptr};

TEST_F(DidOperations, WritesAnEncryptedKeyPairRecordThenAPlainDescriptionRecord) {
  const std::string seed(40, 'q');
  const auto before = std::chrono::system_clock::now();
  ASSERT_GE(sodium_init(), 0);
  randombytes_set_implementation(&g_numbered);
  g_draw = 0;
  auto& capture = test::LogCapture::install(LogLevel::Trace);
  const DIDInfo info = create(seed);
  randombytes_set_implementation(&randombytes_sysrandom_implementation);
  const std::string& d = info.id;
  EXPECT_EQ(capture.wallet_lines(), creation_lines(d));
  const auto after = std::chrono::system_clock::now();
  const int64_t t0 = std::chrono::floor<std::chrono::seconds>(before).time_since_epoch().count();
  const int64_t t1 = std::chrono::floor<std::chrono::seconds>(after).time_since_epoch().count();

  const auto file = nlohmann::ordered_json::parse(wallet_text());
  ASSERT_EQ(file.size(), 2u);
  auto member_names = [](const nlohmann::ordered_json& object) {
    std::vector<std::string> names;
    for (const auto& [name, value] : object.items()) names.push_back(name);
    return names;
  };

  const auto& pair = file.at(info.id + "::KeyPair");
  EXPECT_EQ(member_names(pair), (std::vector<std::string>{"key", "type", "date", "record_security", "data"}));
  EXPECT_EQ(pair.at("key").dump(), "{\"raw_key\":\"" + info.id + "\",\"record_type\":\"KeyPair\"}");
  EXPECT_EQ(pair.at("type"), "KeyPair");
  EXPECT_GE(pair.at("date").get<int64_t>(), t0);
  EXPECT_LE(pair.at("date").get<int64_t>(), t1);
  const auto& security = pair.at("record_security");
  EXPECT_EQ(member_names(security), (std::vector<std::string>{"encrypted_key", "salt", "level1_nonce", "level2_nonce"}));
  // Draws: salt first (by the caller), then record key, level2 nonce, level1 nonce.
  EXPECT_EQ(b58(security.at("salt").get<std::string>()), std::vector<uint8_t>(16, 1));
  EXPECT_EQ(b58(security.at("level2_nonce").get<std::string>()), std::vector<uint8_t>(24, 3));
  EXPECT_EQ(b58(security.at("level1_nonce").get<std::string>()), std::vector<uint8_t>(24, 4));

  const auto& description = file.at(info.id + "::DIDInfo");
  EXPECT_EQ(member_names(description), (std::vector<std::string>{"key", "type", "date", "data"}));
  EXPECT_EQ(description.at("key").dump(), "{\"raw_key\":\"" + info.id + "\",\"record_type\":\"DIDInfo\"}");
  EXPECT_EQ(description.at("type"), "Did");
  EXPECT_GE(description.at("date").get<int64_t>(), pair.at("date").get<int64_t>());
  EXPECT_LE(description.at("date").get<int64_t>(), t1);
  EXPECT_EQ(description.at("data").dump(), "{\"id\":\"" + info.id + "\",\"metadata\":null,\"publicDID\":false,\"publicKey\":\"" +
                                               info.publicKey + "\",\"seed\":\"" + base58_encode(bytes_of(seed)) + "\"}");

  // The sealed data is the key pair's compact JSON text under the record's own salt.
  const InternalStorageRecord record = stored(info.id + "::KeyPair");
  auto key = derive_key(bytes_of(test::kPasswordA), b58(record.record_security->salt));
  ASSERT_TRUE(key.ok());
  auto plaintext = decrypt_record_data(key.value(), record);
  ASSERT_TRUE(plaintext.ok());
  std::vector<uint8_t> pk(32), sk(64);
  crypto_sign_seed_keypair(pk.data(), sk.data(), bytes_of(seed).data());
  EXPECT_EQ(plaintext.value().view(), "{\"pk\":\"" + base58_encode(pk) + "\",\"sk\":\"" + base58_encode(sk) + "\"}");
}

TEST_F(DidOperations, OnlyADidRecordIsReusedOtherwiseBothRecordsAreWritten) {
  const std::string seed(32, 'P');
  std::vector<uint8_t> pk(32), sk(64);
  crypto_sign_seed_keypair(pk.data(), sk.data(), bytes_of(seed).data());
  const std::string did = did_of(pk);
  add(plain_record(did, "DIDInfo", RecordType::PublicDid, test::did_info_json(did, true)));

  const DIDInfo info = create(seed);
  EXPECT_EQ(info.id, did);
  EXPECT_FALSE(info.publicDID);
  EXPECT_EQ(stored(did + "::DIDInfo").typ, RecordType::Did);
  EXPECT_EQ(stored(did + "::KeyPair").typ, RecordType::KeyPair);
  EXPECT_EQ(password_calls_, 1);
}

TEST_F(DidOperations, WithoutSeedEveryCreationAddsANewDid) {
  const DIDInfo a = create();
  // The second creation first proves the password on the key pair stored already: that
  // costs a derivation, logged as every derivation is, but no other question to the host.
  auto& capture = test::LogCapture::install(LogLevel::Trace);
  password_calls_ = 0;
  const DIDInfo b = create();
  const std::string& d = b.id;
  std::vector<std::string> lines = creation_lines(d);
  lines.insert(lines.begin() + 3, "5 Derive key from wallet password");
  EXPECT_EQ(capture.wallet_lines(), lines);
  EXPECT_EQ(password_calls_, 1);
  EXPECT_NE(a.id, b.id);
  EXPECT_FALSE(a.seed.has_value());
  EXPECT_EQ(snapshot().size(), 4u);
  EXPECT_EQ(b58(a.publicKey).size(), 32u);
}

TEST_F(DidOperations, SigningFailsWithoutKeyRecordOrWithAnotherPassword) {
  EXPECT_DID_ERROR(wallet_->sign_with_did("nobody", bytes_of("x")), DidErrorKind::RecordNotFound,
                   "No key with key id nobody");
  EXPECT_EQ(password_calls_, 0);
  const DIDInfo info = create(std::string(32, 'W'));
  password_ = &test::kPasswordB;
  EXPECT_DID_ERROR(wallet_->sign_with_did(info.id, bytes_of("x")), DidErrorKind::WalletLoginFailed,
                   "Cannot read wallet. Is the Pin Correct?");
}

// A key pair kept in a plain record is read from its JSON value: no derivation needed.
nlohmann::json key_pair_json(const std::vector<uint8_t>& pk, const std::vector<uint8_t>& sk) {
  return {{"pk", base58_encode(pk)}, {"sk", base58_encode(sk)}};
}

TEST_F(DidOperations, StoredSecretKeyOfWrongLengthFailsSigning) {
  const auto seed = from_hex(kRfc8032[0].seed), pk = from_hex(kRfc8032[0].public_key);
  std::vector<uint8_t> sk = seed;
  sk.insert(sk.end(), pk.begin(), pk.end());
  for (std::size_t n : {0u, 32u, 63u, 65u}) {
    SCOPED_TRACE(n);
    std::vector<uint8_t> bad = sk;
    bad.resize(n, 1);
    add(plain_record("D", "KeyPair", RecordType::Arbitrary, key_pair_json(pk, bad)));
    EXPECT_DID_ERROR(wallet_->sign_with_did("D", bytes_of("data")), DidErrorKind::WalletCouldNotSign,
                     "Data signing failed");
  }
  add(plain_record("D", "KeyPair", RecordType::Arbitrary, "not a key pair"));
  EXPECT_DID_ERROR(wallet_->sign_with_did("D", bytes_of("data")), DidErrorKind::JsonProcessing,
                   "serde says invalid type: string \"not a key pair\", expected struct KeyPair");
}

TEST_F(DidOperations, SigningLogsDataButNeverTheSecretKey) {
  const auto seed = from_hex(kRfc8032[2].seed), pk = from_hex(kRfc8032[2].public_key);
  std::vector<uint8_t> sk = seed;
  sk.insert(sk.end(), pk.begin(), pk.end());
  add(plain_record("D", "KeyPair", RecordType::Arbitrary, key_pair_json(pk, sk)));
  const std::string sig_upper = hex_upper(from_hex(kRfc8032[2].signature));

  auto& capture = test::LogCapture::install(LogLevel::Info);
  ASSERT_TRUE(wallet_->sign_with_did("D", from_hex("af82")).ok());
  EXPECT_TRUE(capture.wallet_lines().empty());

  test::LogCapture::install(LogLevel::Debug);
  auto empty = wallet_->sign_with_did("D", {});
  ASSERT_TRUE(empty.ok());
  EXPECT_EQ(capture.wallet_lines(), (std::vector<std::string>{"4 sign_with_did >> did: D", "4 Data to be signed: ",
                                                              "4 Signature " + hex_upper(empty.value())}));
  EXPECT_EQ(empty.value().size(), 64u);
  EXPECT_TRUE(verify_signature(empty.value(), {}, pk).ok());

  test::LogCapture::install(LogLevel::Trace);
  auto signature = wallet_->sign_with_did("D", from_hex("af82"));
  ASSERT_TRUE(signature.ok());
  EXPECT_EQ(hex_upper(signature.value()), sig_upper);
  EXPECT_EQ(capture.wallet_lines(), (std::vector<std::string>{
                                        "4 sign_with_did >> did: D",
                                        "5 get_record >>> key: D",
                                        "5 Raw key: D, Internal wallet key D::KeyPair",
                                        "5 decrypt <<< key: D",
                                        "4 Data to be signed: AF82",
                                        "5 Self::sign ***** af82",
                                        "4 Signature " + sig_upper,
                                    }));
  for (const auto& line : capture.lines()) {
    EXPECT_EQ(line.message.find(hex_upper(seed)), std::string::npos);
    EXPECT_EQ(line.message.find(hex_lower(seed)), std::string::npos);
  }

  capture.clear();
  EXPECT_FALSE(verify_signature(from_hex("00ff"), from_hex("af82"), pk).ok());
  EXPECT_EQ(capture.wallet_lines(), (std::vector<std::string>{"4 Verify signature: 00FF for data: AF82"}));
}

}  // namespace
}  // namespace velno
