#include "wallet/record_encryption.hpp"

#include <cstring>
#include <functional>

#include <gtest/gtest.h>
#include <sodium.h>

#include "wallet/wallet_fixture.hpp"

namespace velno {
namespace {

using test::b58;
using test::bytes_of;

SecretBytes random_key() {
  SecretBytes key(kDerivedKeyBytes);
  randombytes_buf(key.data(), key.size());
  return key;
}
SecretBytes copy_of(const SecretBytes& s) { return SecretBytes(s.data(), s.size()); }

struct Sealed {
  SecretBytes key;
  InternalStorageRecord record;
};

Sealed seal(std::string_view plaintext, const std::vector<uint8_t>& salt = std::vector<uint8_t>(16, 7)) {
  Sealed s{random_key(), {}};
  auto sealed = encrypt_record_data(SecretBytes(plaintext), salt, copy_of(s.key));
  EXPECT_TRUE(sealed.ok());
  s.record.key = {"did", "KeyPair"};
  s.record.typ = RecordType::KeyPair;
  s.record.record_object = std::move(sealed.value().first);
  s.record.record_security = std::move(sealed.value().second);
  return s;
}

// Argon2id v1.3, t=2, m=2^16 KiB, p=1, 32 bytes, computed with the reference argon2 tool.
TEST(DeriveKey, MatchesIndependentArgon2idComputation) {
  auto key = derive_key(bytes_of("velno-password"), bytes_of("velno-salt-16byt"));
  ASSERT_TRUE(key.ok());
  EXPECT_EQ(hex_lower(key.value().span()), "4ae0420f67a0700e891d6c5c1614a74a6d33833a2c2a464462d5978ee7ea4032");
}

TEST(DeriveKey, EmptyPasswordDerivesAndWrongSaltLengthIsRefused) {
  auto key = derive_key({}, bytes_of("velno-salt-16byt"));
  ASSERT_TRUE(key.ok());
  EXPECT_EQ(key.value().size(), 32u);
  EXPECT_DID_ERROR(derive_key(bytes_of("pw"), bytes_of("fifteen-bytes!!")), DidErrorKind::Crypto,
                   "Invalid length of salt");
}

TEST(DecodeSalt, RefusesBadBase58AndOtherLengths) {
  RecordSecurity security{"", base58_encode(std::vector<uint8_t>(16, 1)), "", ""};
  auto salt = decode_salt(security);
  ASSERT_TRUE(salt.ok());
  EXPECT_EQ(salt.value(), std::vector<uint8_t>(16, 1));
  security.salt = base58_encode(std::vector<uint8_t>(17, 1));
  EXPECT_DID_ERROR(decode_salt(security), DidErrorKind::Crypto, "Invalid length of salt");
  security.salt = "0abc";
  EXPECT_DID_ERROR(decode_salt(security), DidErrorKind::ConversionError,
                   "provided string contained invalid character '0' at byte 0");
  // Far longer than a salt's text: refused as a wrong length, undecoded.
  security.salt = std::string(1 << 20, 'z');
  EXPECT_DID_ERROR(decode_salt(security), DidErrorKind::Crypto, "Invalid length of salt");
}

// The longest plaintext the library seals opens again; one byte more is not sealed, and
// a ciphertext one byte longer than that sealing makes is refused before it is opened.
TEST(RecordEncryption, SealsAndOpensUpToTheLongestPlaintextAndNoFurther) {
  const std::string longest(kMaxSealedPlaintextBytes, 'x');
  Sealed s = seal(longest);
  auto opened = decrypt_record_data(s.key, s.record);
  ASSERT_TRUE(opened.ok()) << opened.error().raw_message();
  EXPECT_EQ(opened.value().view(), longest);

  EXPECT_DID_ERROR(encrypt_record_data(SecretBytes(longest + "x"), std::vector<uint8_t>(16, 7), random_key()),
                   DidErrorKind::Crypto, "Cannot encrypt the record object");
  std::vector<uint8_t> longer = b58(s.record.record_object.get<std::string>());
  longer.push_back(0);
  s.record.record_object = base58_encode(longer);
  EXPECT_DID_ERROR(decrypt_record_data(s.key, s.record), DidErrorKind::Crypto, "Box easy open failed");
}

TEST(RecordEncryption, SealsBothLayersAndOpensBack) {
  for (std::string_view plaintext : {std::string_view("{\"pk\":\"x\",\"sk\":\"y\"}"), std::string_view("")}) {
    Sealed s = seal(plaintext);
    const RecordSecurity& security = *s.record.record_security;
    EXPECT_EQ(b58(s.record.record_object.get<std::string>()).size(), plaintext.size() + 16);
    EXPECT_EQ(b58(security.encrypted_key).size(), 48u);
    EXPECT_EQ(b58(security.level1_nonce).size(), 24u);
    EXPECT_EQ(b58(security.level2_nonce).size(), 24u);
    EXPECT_EQ(b58(security.salt), std::vector<uint8_t>(16, 7));
    auto opened = decrypt_record_data(s.key, s.record);
    ASSERT_TRUE(opened.ok()) << opened.error().raw_message();
    EXPECT_EQ(opened.value().view(), plaintext);
  }
}

TEST(RecordEncryption, EveryEncryptionDrawsFreshKeyAndNonces) {
  const SecretBytes key = random_key();
  const std::vector<uint8_t> salt(16, 3);
  auto a = encrypt_record_data(SecretBytes(std::string_view("same")), salt, copy_of(key));
  auto b = encrypt_record_data(SecretBytes(std::string_view("same")), salt, copy_of(key));
  ASSERT_TRUE(a.ok() && b.ok());
  EXPECT_NE(a.value().first, b.value().first);
  EXPECT_NE(a.value().second.encrypted_key, b.value().second.encrypted_key);
  EXPECT_NE(a.value().second.level1_nonce, b.value().second.level1_nonce);
  EXPECT_NE(a.value().second.level2_nonce, b.value().second.level2_nonce);
  EXPECT_EQ(a.value().second.salt, b.value().second.salt);
}

// Each draw fills its buffer with the number of the draw: 1, 2, 3, ...
uint8_t g_draw = 0;
void numbered_buf(void* buf, std::size_t size) { std::memset(buf, ++g_draw, size); }
uint32_t numbered_random() { return ++g_draw; }
const char* numbered_name() { return "numbered"; }
randombytes_implementation g_numbered{numbered_name, numbered_random, nullptr, nullptr, numbered_buf, nullptr};

TEST(RecordEncryption, DrawsRecordKeyThenLevel2NonceThenLevel1Nonce) {
  ASSERT_GE(sodium_init(), 0);
  randombytes_set_implementation(&g_numbered);
  g_draw = 0;
  const SecretBytes key = random_key();  // draw 1
  auto sealed = encrypt_record_data(SecretBytes(std::string_view("x")), std::vector<uint8_t>(16, 9), copy_of(key));
  randombytes_set_implementation(&randombytes_sysrandom_implementation);
  ASSERT_TRUE(sealed.ok());
  const RecordSecurity& security = sealed.value().second;
  EXPECT_EQ(b58(security.level2_nonce), std::vector<uint8_t>(24, 3));
  EXPECT_EQ(b58(security.level1_nonce), std::vector<uint8_t>(24, 4));
  std::vector<uint8_t> record_key(32);
  const auto encrypted_key = b58(security.encrypted_key);
  const auto level1_nonce = b58(security.level1_nonce);
  ASSERT_EQ(crypto_secretbox_open_easy(record_key.data(), encrypted_key.data(), encrypted_key.size(),
                                       level1_nonce.data(), key.data()),
            0);
  EXPECT_EQ(record_key, std::vector<uint8_t>(32, 2));
}

// A record opens under a password when its record key does: its data is not looked at.
// Sealing that record key again under another password keeps the data and the level2
// nonce as they are, and the data opens under the other password as it did.
TEST(RecordKey, OpensByItsOuterLayerAloneAndResealsUnderAnotherPasswordKeepingTheData) {
  const std::string a = "password a", b = "password b";
  const std::vector<uint8_t> salt(16, 4), new_salt(16, 5);
  auto key_a = derive_key(bytes_of(a), salt);
  ASSERT_TRUE(key_a.ok());
  auto sealed = encrypt_record_data(SecretBytes(std::string_view("\"djA=\"")), salt, std::move(key_a).value());
  ASSERT_TRUE(sealed.ok());
  InternalStorageRecord record;
  record.typ = RecordType::PrivateData;
  record.record_object = sealed.value().first;
  record.record_security = sealed.value().second;
  std::string damaged_data = record.record_object.get<std::string>();
  damaged_data[damaged_data.size() / 2] = damaged_data[damaged_data.size() / 2] == 'z' ? 'y' : 'z';

  auto outer = sealed_record_key(*record.record_security);
  ASSERT_TRUE(outer.has_value());
  auto under_b = open_record_key(bytes_of(b), *outer);
  ASSERT_TRUE(under_b.ok());
  EXPECT_FALSE(under_b.value().has_value());
  auto record_key = open_record_key(bytes_of(a), *outer);
  ASSERT_TRUE(record_key.ok() && record_key.value().has_value());
  const SecretBytes& opened = *record_key.value();
  auto data = open_record_data(opened, record);
  ASSERT_TRUE(data.ok());
  EXPECT_EQ(data.value().view(), "\"djA=\"");
  InternalStorageRecord damaged = record;
  damaged.record_object = damaged_data;
  EXPECT_DID_ERROR(open_record_data(opened, damaged), DidErrorKind::Crypto, "Box easy open failed");

  auto key_b = derive_key(bytes_of(b), new_salt);
  ASSERT_TRUE(key_b.ok());
  auto resealed = reseal_record_key(opened, new_salt, copy_of(key_b.value()), *record.record_security);
  ASSERT_TRUE(resealed.ok());
  EXPECT_EQ(b58(resealed.value().salt), new_salt);
  EXPECT_NE(resealed.value().level1_nonce, record.record_security->level1_nonce);
  EXPECT_NE(resealed.value().encrypted_key, record.record_security->encrypted_key);
  EXPECT_EQ(resealed.value().level2_nonce, record.record_security->level2_nonce);
  record.record_security = resealed.value();
  auto reopened = decrypt_record_data(key_b.value(), record);
  ASSERT_TRUE(reopened.ok()) << reopened.error().raw_message();
  EXPECT_EQ(reopened.value().view(), "\"djA=\"");
  auto outer_b = sealed_record_key(resealed.value());
  ASSERT_TRUE(outer_b.has_value());
  auto old = open_record_key(bytes_of(a), *outer_b);
  ASSERT_TRUE(old.ok());
  EXPECT_FALSE(old.value().has_value());
}

// A box sealed under `key` holding `n` bytes: an encrypted key whose tag verifies.
std::string sealed_key_of_length(const SecretBytes& key, const std::string& level1_nonce, std::size_t n) {
  const auto nonce = b58(level1_nonce);
  std::vector<uint8_t> inner(n, 5), box(n + 16);
  crypto_secretbox_easy(box.data(), inner.data(), inner.size(), nonce.data(), key.data());
  return base58_encode(box);
}

struct OpenCase {
  const char* name;
  std::function<void(InternalStorageRecord&, const SecretBytes& key)> damage;
  bool wrong_key;
  DidErrorKind kind;
  std::string message;
};

TEST(RecordEncryption, DamagedRecordsFailWithTheirOwnError) {
  const std::string login = "Cannot read wallet. Is the Pin Correct?";
  const std::string box = "Box easy open failed";
  auto sec = [](InternalStorageRecord& r) -> RecordSecurity& { return *r.record_security; };
  const std::vector<OpenCase> cases = {
      {"wrong key", [](auto&, auto&) {}, true, DidErrorKind::WalletLoginFailed, login},
      {"swapped nonces", [&](auto& r, auto&) { std::swap(sec(r).level1_nonce, sec(r).level2_nonce); }, false,
       DidErrorKind::WalletLoginFailed, login},
      {"tampered data",
       [](auto& r, auto&) {
         std::string d = r.record_object.template get<std::string>();
         d[d.size() / 2] = d[d.size() / 2] == 'A' ? 'B' : 'A';
         r.record_object = d;
       },
       false, DidErrorKind::Crypto, box},
      {"no security block", [](auto& r, auto&) { r.record_security.reset(); }, true, DidErrorKind::ValueRequired,
       "Optional value \"sr.record_security.as_ref()\" is required"},
      {"level2 nonce not Base58, wrong key", [&](auto& r, auto&) { sec(r).level2_nonce.insert(0, "0"); }, true,
       DidErrorKind::ConversionError, "provided string contained invalid character '0' at byte 0"},
      {"data a number", [](auto& r, auto&) { r.record_object = 5; }, false, DidErrorKind::JsonProcessing,
       "invalid type: integer `5`, expected a string"},
      {"data an object", [](auto& r, auto&) { r.record_object = nlohmann::json::object(); }, false,
       DidErrorKind::JsonProcessing, "invalid type: map, expected a string"},
      {"data empty", [](auto& r, auto&) { r.record_object = ""; }, false, DidErrorKind::Crypto, box},
      {"data not Base58", [](auto& r, auto&) { r.record_object = "abc0"; }, false, DidErrorKind::ConversionError,
       "provided string contained invalid character '0' at byte 3"},
      {"level1 nonce of 23 bytes, wrong key",
       [&](auto& r, auto&) { sec(r).level1_nonce = base58_encode(std::vector<uint8_t>(23, 1)); }, true,
       DidErrorKind::Crypto, "Invalid length of level1_nonce"},
      {"level1 nonce of 23 bytes, encrypted key not Base58",
       [&](auto& r, auto&) {
         sec(r).level1_nonce = base58_encode(std::vector<uint8_t>(23, 1));
         sec(r).encrypted_key = "l";
       },
       false, DidErrorKind::ConversionError, "provided string contained invalid character 'l' at byte 0"},
      {"level2 nonce of 25 bytes",
       [&](auto& r, auto&) { sec(r).level2_nonce = base58_encode(std::vector<uint8_t>(25, 1)); }, false,
       DidErrorKind::Crypto, "Invalid length of level2_nonce"},
      {"encrypted key of 15 bytes",
       [&](auto& r, auto&) { sec(r).encrypted_key = base58_encode(std::vector<uint8_t>(15, 1)); }, false,
       DidErrorKind::WalletLoginFailed, login},
      {"encrypted key opening to 20 bytes",
       [&](auto& r, auto& key) { sec(r).encrypted_key = sealed_key_of_length(key, sec(r).level1_nonce, 20); }, false,
       DidErrorKind::Crypto, "Invalid length of encrypted_key"},
      {"encrypted key opening to 40 bytes",
       [&](auto& r, auto& key) { sec(r).encrypted_key = sealed_key_of_length(key, sec(r).level1_nonce, 40); }, false,
       DidErrorKind::Crypto, "Invalid length of encrypted_key"},
      // Longer than any sealed record key: a wrong length, found before anything opens.
      {"encrypted key of 49 bytes, wrong key",
       [&](auto& r, auto&) { sec(r).encrypted_key = base58_encode(std::vector<uint8_t>(49, 1)); }, true,
       DidErrorKind::Crypto, "Invalid length of encrypted_key"},
      // Texts far beyond their member's length are refused undecoded, with the answer of
      // a wrong length; an invalid byte anywhere is still the Base58 error.
      {"level1 nonce of 1 MiB of digits",
       [&](auto& r, auto&) { sec(r).level1_nonce = std::string(1 << 20, 'z'); }, true, DidErrorKind::Crypto,
       "Invalid length of level1_nonce"},
      {"level2 nonce of 1 MiB of digits",
       [&](auto& r, auto&) { sec(r).level2_nonce.append(1 << 20, '2'); }, false, DidErrorKind::Crypto,
       "Invalid length of level2_nonce"},
      {"encrypted key of 1 MiB of digits",
       [&](auto& r, auto&) { sec(r).encrypted_key.append(1 << 20, '2'); }, false, DidErrorKind::Crypto,
       "Invalid length of encrypted_key"},
      {"level1 nonce of 1 MiB, encrypted key not Base58 at its end",
       [&](auto& r, auto&) {
         sec(r).level1_nonce.append(1 << 20, '2');
         sec(r).encrypted_key = std::string(1 << 20, '2') + "0";
       },
       false, DidErrorKind::ConversionError, "provided string contained invalid character '0' at byte 1048576"},
      {"data of 1 MiB of digits", [](auto& r, auto&) { r.record_object = std::string(1 << 20, 'z'); }, false,
       DidErrorKind::Crypto, box},
  };
  for (const OpenCase& c : cases) {
    SCOPED_TRACE(c.name);
    Sealed s = seal("{\"pk\":\"x\",\"sk\":\"y\"}");
    c.damage(s.record, s.key);
    const InternalStorageRecord damaged = s.record;
    const SecretBytes key = c.wrong_key ? random_key() : copy_of(s.key);
    EXPECT_DID_ERROR(decrypt_record_data(key, s.record), c.kind, c.message);
    EXPECT_EQ(s.record, damaged);  // only read
  }
}

}  // namespace
}  // namespace velno
