#include "wallet/record_encryption.hpp"

#include <cstdint>
#include <string>

#include <sodium.h>

#include "common/base58.hpp"
#include "common/log.hpp"
#include "common/json_reader.hpp"
#include "wallet/key_derivation.hpp"

namespace velno {

namespace test_hooks {
std::atomic<uint64_t> key_derivations{0};
std::atomic<bool> fast_key_derivation{false};
}  // namespace test_hooks

namespace {

constexpr const char* kLoginFailed = "Cannot read wallet. Is the Pin Correct?";
constexpr const char* kBoxOpenFailed = "Box easy open failed";
constexpr const char* kPasswordHashFailed = "Password hash failed";
constexpr const char* kCannotEncrypt = "Cannot encrypt the record object";

DidError crypto_error(const char* message) { return DidError::with_static_message(DidErrorKind::Crypto, message); }

// A member's bytes, decoded only as far as the longest value it can hold: none for a
// text that holds more (undecoded), ConversionError for one that is not Base58.
DidResult<Base58Bytes> decode_field(const std::string& text, std::size_t max_bytes) {
  auto decoded = base58_decode(text, max_bytes);
  if (!decoded.ok()) return DidError::from_base58_error(decoded.error());
  return std::move(decoded).value();
}

bool has_length(const Base58Bytes& bytes, std::size_t length) { return bytes && bytes->size() == length; }

// The outer layer: the record key sealed with the derived key under a fresh level1
// nonce. Answers the nonce and the encrypted key.
DidResult<std::pair<std::vector<uint8_t>, std::vector<uint8_t>>> seal_record_key(const SecretBytes& record_key,
                                                                                  const SecretBytes& derived_key) {
  std::vector<uint8_t> level1_nonce(kNonceBytes);
  randombytes_buf(level1_nonce.data(), level1_nonce.size());
  std::vector<uint8_t> encrypted_key(kEncryptedKeyBytes);
  if (record_key.size() != kRecordKeyBytes || derived_key.size() != kDerivedKeyBytes ||
      crypto_secretbox_easy(encrypted_key.data(), record_key.data(), record_key.size(), level1_nonce.data(),
                            derived_key.data()) != 0)
    return crypto_error(kPasswordHashFailed);
  return std::pair{std::move(level1_nonce), std::move(encrypted_key)};
}

// Opens the outer layer. The encrypted key is opened at its own length, so that a
// damaged key of another length is read only within its bytes; a key that opens must
// yield exactly 32 bytes. `level1_nonce` holds 24 bytes.
DidResult<SecretBytes> open_sealed_key(const SecretBytes& derived_key, const std::vector<uint8_t>& level1_nonce,
                                       const std::vector<uint8_t>& encrypted_key) {
  if (encrypted_key.size() < kBoxTagBytes || derived_key.size() != kDerivedKeyBytes ||
      level1_nonce.size() != kNonceBytes)
    return DidError::with_static_message(DidErrorKind::WalletLoginFailed, kLoginFailed);
  SecretBytes record_key(encrypted_key.size() - kBoxTagBytes);
  if (crypto_secretbox_open_easy(record_key.data(), encrypted_key.data(), encrypted_key.size(), level1_nonce.data(),
                                 derived_key.data()) != 0)
    return DidError::with_static_message(DidErrorKind::WalletLoginFailed, kLoginFailed);
  if (record_key.size() != kRecordKeyBytes) return crypto_error("Invalid length of encrypted_key");
  return record_key;
}

// Opens the inner layer: the record's data (a JSON string of Base58) with the record
// key under `level2_nonce` (24 bytes).
DidResult<SecretBytes> open_sealed_data(const SecretBytes& record_key, const std::vector<uint8_t>& level2_nonce,
                                        const nlohmann::json& data) {
  if (!data.is_string())
    return DidError::with_message(DidErrorKind::JsonProcessing, invalid_type_message(found_text(data), "a string"));
  // A ciphertext longer than any sealing makes does not open: it is left undecoded.
  VELNO_TRY_ASSIGN(auto ciphertext, decode_field(data.get_ref<const std::string&>(), kMaxSealedDataBytes));
  if (!ciphertext || ciphertext->size() < kBoxTagBytes) return crypto_error(kBoxOpenFailed);

  SecretBytes plaintext(ciphertext->size() - kBoxTagBytes);
  if (record_key.size() != kRecordKeyBytes || level2_nonce.size() != kNonceBytes ||
      crypto_secretbox_open_easy(plaintext.data(), ciphertext->data(), ciphertext->size(), level2_nonce.data(),
                                 record_key.data()) != 0)
    return crypto_error(kBoxOpenFailed);
  return plaintext;
}

}  // namespace

std::vector<uint8_t> generate_salt() {
  std::vector<uint8_t> salt(kSaltBytes);
  randombytes_buf(salt.data(), salt.size());
  return salt;
}

DidResult<SecretBytes> derive_key(std::span<const uint8_t> password, std::span<const uint8_t> salt) {
  VELNO_TRACE(kTargetWallet, "Derive key from wallet password");
  if (salt.size() != kSaltBytes) return crypto_error("Invalid length of salt");
  SecretBytes key(kDerivedKeyBytes);
  test_hooks::key_derivations.fetch_add(1, std::memory_order_relaxed);
  static_assert(kArgon2Passes == kPwhashOpsLimit && kArgon2RegionBytes == kPwhashMemLimit &&
                kArgon2SaltBytes == kSaltBytes);
  if (test_hooks::fast_key_derivation.load(std::memory_order_relaxed)) {
    crypto_generichash(key.data(), key.size(), password.data(), password.size(), salt.data(), salt.size());
    return key;
  }
  if (!argon2id_derive(password, salt, {key.data(), key.size()})) return crypto_error(kPasswordHashFailed);
  return key;
}

DidResult<std::pair<nlohmann::json, RecordSecurity>> encrypt_record_data(SecretBytes plaintext,
                                                                         std::vector<uint8_t> salt,
                                                                         SecretBytes derived_key) {
  // Draw order: record key, level2 nonce, level1 nonce.
  SecretBytes record_key(kRecordKeyBytes);
  crypto_secretbox_keygen(record_key.data());

  // What is sealed can be opened: no plaintext beyond what opening accepts.
  if (plaintext.size() > kMaxSealedPlaintextBytes) return crypto_error(kCannotEncrypt);
  std::vector<uint8_t> ciphertext(plaintext.size() + kBoxTagBytes);
  std::vector<uint8_t> level2_nonce(kNonceBytes);
  randombytes_buf(level2_nonce.data(), level2_nonce.size());
  if (crypto_secretbox_easy(ciphertext.data(), plaintext.data(), plaintext.size(), level2_nonce.data(),
                            record_key.data()) != 0)
    return crypto_error(kCannotEncrypt);

  VELNO_TRY_ASSIGN(const auto outer, seal_record_key(record_key, derived_key));
  RecordSecurity security{base58_encode(outer.second), base58_encode(salt), base58_encode(outer.first),
                          base58_encode(level2_nonce)};
  return std::pair<nlohmann::json, RecordSecurity>{nlohmann::json(base58_encode(ciphertext)), std::move(security)};
}

DidResult<const RecordSecurity*> require_record_security(const InternalStorageRecord& record) {
  if (!record.record_security)
    return DidError::with_static_message(DidErrorKind::ValueRequired,
                                         "Optional value \"sr.record_security.as_ref()\" is required");
  return &*record.record_security;
}

DidResult<std::vector<uint8_t>> decode_salt(const RecordSecurity& security) {
  VELNO_TRY_ASSIGN(auto salt, decode_field(security.salt, kSaltBytes));
  if (!has_length(salt, kSaltBytes)) return crypto_error("Invalid length of salt");
  return std::move(*salt);
}

std::optional<SealedRecordKey> sealed_record_key(const RecordSecurity& security) {
  auto salt = decode_field(security.salt, kSaltBytes);
  auto nonce = decode_field(security.level1_nonce, kNonceBytes);
  auto key = decode_field(security.encrypted_key, kEncryptedKeyBytes);
  if (!salt.ok() || !nonce.ok() || !key.ok() || !has_length(*salt, kSaltBytes) || !has_length(*nonce, kNonceBytes) ||
      !has_length(*key, kEncryptedKeyBytes))
    return std::nullopt;
  return SealedRecordKey{std::move(**salt), std::move(**nonce), std::move(**key)};
}

DidResult<std::optional<SecretBytes>> open_record_key(std::span<const uint8_t> password,
                                                      const SealedRecordKey& sealed) {
  VELNO_TRY_ASSIGN(const SecretBytes derived_key, derive_key(password, sealed.salt));
  auto record_key = open_sealed_key(derived_key, sealed.level1_nonce, sealed.encrypted_key);
  if (!record_key.ok()) return std::optional<SecretBytes>();
  return std::optional<SecretBytes>(std::move(record_key).value());
}

DidResult<SecretBytes> open_record_data(const SecretBytes& record_key, const InternalStorageRecord& record) {
  VELNO_TRY_ASSIGN(const RecordSecurity* security, require_record_security(record));
  VELNO_TRY_ASSIGN(auto level2_nonce, decode_field(security->level2_nonce, kNonceBytes));
  if (!has_length(level2_nonce, kNonceBytes)) return crypto_error("Invalid length of level2_nonce");
  return open_sealed_data(record_key, *level2_nonce, record.record_object);
}

DidResult<RecordSecurity> reseal_record_key(const SecretBytes& record_key, std::vector<uint8_t> salt,
                                            SecretBytes derived_key, const RecordSecurity& security) {
  VELNO_TRY_ASSIGN(const auto outer, seal_record_key(record_key, derived_key));
  return RecordSecurity{base58_encode(outer.second), base58_encode(salt), base58_encode(outer.first),
                        security.level2_nonce};
}

DidResult<SecretBytes> decrypt_record_data(const SecretBytes& derived_key, const InternalStorageRecord& record) {
  VELNO_TRY_ASSIGN(const RecordSecurity* security, require_record_security(record));

  // All three texts are checked before anything is opened; each is decoded only as far
  // as its member's length (a longer one is a wrong length, found undecoded).
  VELNO_TRY_ASSIGN(auto level1_nonce, decode_field(security->level1_nonce, kNonceBytes));
  VELNO_TRY_ASSIGN(auto level2_nonce, decode_field(security->level2_nonce, kNonceBytes));
  VELNO_TRY_ASSIGN(auto encrypted_key, decode_field(security->encrypted_key, kEncryptedKeyBytes));
  if (!has_length(level1_nonce, kNonceBytes)) return crypto_error("Invalid length of level1_nonce");
  if (!has_length(level2_nonce, kNonceBytes)) return crypto_error("Invalid length of level2_nonce");
  if (!encrypted_key) return crypto_error("Invalid length of encrypted_key");

  VELNO_TRY_ASSIGN(const SecretBytes record_key, open_sealed_key(derived_key, *level1_nonce, *encrypted_key));
  return open_sealed_data(record_key, *level2_nonce, record.record_object);
}

}  // namespace velno
