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

// derive_key without its log record.
DidResult<SecretBytes> derive_key_quietly(std::span<const uint8_t> password, std::span<const uint8_t> salt) {
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

// A member's bytes, decoded only as far as the longest value it can hold: none for a
// text that holds more (undecoded), ConversionError for one that is not Base58.
DidResult<Base58Bytes> decode_field(const std::string& text, std::size_t max_bytes) {
  auto decoded = base58_decode(text, max_bytes);
  if (!decoded.ok()) return DidError::from_base58_error(decoded.error());
  return std::move(decoded).value();
}

bool has_length(const Base58Bytes& bytes, std::size_t length) { return bytes && bytes->size() == length; }

}  // namespace

std::vector<uint8_t> generate_salt() {
  std::vector<uint8_t> salt(kSaltBytes);
  randombytes_buf(salt.data(), salt.size());
  return salt;
}

DidResult<SecretBytes> derive_key(std::span<const uint8_t> password, std::span<const uint8_t> salt) {
  VELNO_TRACE(kTargetWallet, "Derive key from wallet password");
  return derive_key_quietly(password, salt);
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

  std::vector<uint8_t> level1_nonce(kNonceBytes);
  randombytes_buf(level1_nonce.data(), level1_nonce.size());
  std::vector<uint8_t> encrypted_key(kEncryptedKeyBytes);
  if (derived_key.size() != kDerivedKeyBytes ||
      crypto_secretbox_easy(encrypted_key.data(), record_key.data(), record_key.size(), level1_nonce.data(),
                            derived_key.data()) != 0)
    return crypto_error(kPasswordHashFailed);

  RecordSecurity security{base58_encode(encrypted_key), base58_encode(salt), base58_encode(level1_nonce),
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

DidResult<void> open_record_key(std::span<const uint8_t> password, const SealedRecordKey& sealed) {
  VELNO_TRY_ASSIGN(const SecretBytes derived_key, derive_key_quietly(password, sealed.salt));
  SecretBytes record_key(kRecordKeyBytes);
  if (sealed.encrypted_key.size() != kEncryptedKeyBytes || sealed.level1_nonce.size() != kNonceBytes ||
      crypto_secretbox_open_easy(record_key.data(), sealed.encrypted_key.data(), sealed.encrypted_key.size(),
                                 sealed.level1_nonce.data(), derived_key.data()) != 0)
    return DidError::with_static_message(DidErrorKind::WalletLoginFailed, kLoginFailed);
  return {};
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

  // Outer layer. Opened at its own length, so that a damaged key of another length is
  // read only within its bytes; a key that opens must yield exactly 32 bytes.
  if (encrypted_key->size() < kBoxTagBytes || derived_key.size() != kDerivedKeyBytes)
    return DidError::with_static_message(DidErrorKind::WalletLoginFailed, kLoginFailed);
  SecretBytes record_key(encrypted_key->size() - kBoxTagBytes);
  if (crypto_secretbox_open_easy(record_key.data(), encrypted_key->data(), encrypted_key->size(),
                                 level1_nonce->data(), derived_key.data()) != 0)
    return DidError::with_static_message(DidErrorKind::WalletLoginFailed, kLoginFailed);
  if (record_key.size() != kRecordKeyBytes) return crypto_error("Invalid length of encrypted_key");

  const nlohmann::json& data = record.record_object;
  if (!data.is_string())
    return DidError::with_message(DidErrorKind::JsonProcessing, invalid_type_message(found_text(data), "a string"));
  // A ciphertext longer than any sealing makes does not open: it is left undecoded.
  VELNO_TRY_ASSIGN(auto ciphertext, decode_field(data.get_ref<const std::string&>(), kMaxSealedDataBytes));
  if (!ciphertext || ciphertext->size() < kBoxTagBytes) return crypto_error(kBoxOpenFailed);

  SecretBytes plaintext(ciphertext->size() - kBoxTagBytes);
  if (crypto_secretbox_open_easy(plaintext.data(), ciphertext->data(), ciphertext->size(), level2_nonce->data(),
                                 record_key.data()) != 0)
    return crypto_error(kBoxOpenFailed);
  return plaintext;
}

}  // namespace velno
