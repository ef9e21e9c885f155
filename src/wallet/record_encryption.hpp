// Two-layer record encryption: the record's data sealed with a random record key
// (inner layer, level2 nonce), the record key sealed with a key that Argon2id derives
// from the password and the record's salt (outer layer, level1 nonce).
#pragma once

#include <atomic>
#include <cstdint>
#include <optional>
#include <span>
#include <utility>
#include <vector>

#include <nlohmann/json.hpp>

#include "common/did_error.hpp"
#include "common/secret.hpp"
#include "wallet/model/storage_record.hpp"

namespace velno {

inline constexpr std::size_t kSaltBytes = 16;
inline constexpr std::size_t kDerivedKeyBytes = 32;
inline constexpr std::size_t kRecordKeyBytes = 32;
inline constexpr std::size_t kNonceBytes = 24;
inline constexpr std::size_t kBoxTagBytes = 16;
inline constexpr std::size_t kEncryptedKeyBytes = kBoxTagBytes + kRecordKeyBytes;
// The longest plaintext a record is sealed with: the longest the library writes is a
// stored datum's value, its 5120 Base64 characters as a JSON string. Sealing refuses a
// longer one, and opening refuses a longer ciphertext without decoding its text (whose
// decoding grows with the square of its length).
inline constexpr std::size_t kMaxSealedPlaintextBytes = 5120 + 2;
inline constexpr std::size_t kMaxSealedDataBytes = kMaxSealedPlaintextBytes + kBoxTagBytes;
inline constexpr unsigned long long kPwhashOpsLimit = 2;
inline constexpr std::size_t kPwhashMemLimit = 67108864;  // 64 MiB

std::vector<uint8_t> generate_salt();

namespace test_hooks {
// Counts the key derivations made in the process, for tests of what an operation costs.
extern std::atomic<uint64_t> key_derivations;
// Set only by fuzz targets, which link the library's code into themselves (no export
// reaches it): keys are then derived with keyed BLAKE2b of the password under the salt,
// which costs microseconds where Argon2id costs tens of milliseconds and 64 MiB, so
// that each input runs every other step as shipped. Wallets written so open only so.
extern std::atomic<bool> fast_key_derivation;
}  // namespace test_hooks

// Argon2id v1.3, opslimit 2, 64 MiB, 32 bytes. `salt` must hold 16 bytes.
DidResult<SecretBytes> derive_key(std::span<const uint8_t> password, std::span<const uint8_t> salt);

// Seals `plaintext`; answers the record's data (a JSON string of Base58) and its
// security block. The plaintext and the key are wiped.
DidResult<std::pair<nlohmann::json, RecordSecurity>> encrypt_record_data(SecretBytes plaintext,
                                                                         std::vector<uint8_t> salt,
                                                                         SecretBytes derived_key);

// Opens the record's data with `derived_key`; the record is only read.
DidResult<SecretBytes> decrypt_record_data(const SecretBytes& derived_key, const InternalStorageRecord& record);

// The security block of an encrypted record, or ValueRequired when it has none.
DidResult<const RecordSecurity*> require_record_security(const InternalStorageRecord& record);

// The record's salt, Base58-decoded and checked to be 16 bytes, so that a damaged
// record fails before anybody is asked for a password.
DidResult<std::vector<uint8_t>> decode_salt(const RecordSecurity& security);

// What opens one record's record key, decoded: the salt (16 bytes), the level1 nonce
// (24 bytes) and the encrypted key (48 bytes).
struct SealedRecordKey {
  std::vector<uint8_t> salt;
  std::vector<uint8_t> level1_nonce;
  std::vector<uint8_t> encrypted_key;
};

// None when a text is not Base58 or decodes to another length than written.
std::optional<SealedRecordKey> sealed_record_key(const RecordSecurity& security);

// Whether a record opens under `password`, the one answer that the proof of a password
// and the change of password both rely on: its record key, opened with a key derived
// from `password` (its outer layer), or none when that does not open (another
// password, or a damaged salt, level1 nonce or encrypted key). Only a derivation that
// fails in itself (its memory refused) is a failure. The keys are wiped when released.
DidResult<std::optional<SecretBytes>> open_record_key(std::span<const uint8_t> password,
                                                      const SealedRecordKey& sealed);

// Opens the record's data (its inner layer) with a record key that open_record_key
// answered. Fails as decrypt_record_data does once the outer layer has opened.
DidResult<SecretBytes> open_record_data(const SecretBytes& record_key, const InternalStorageRecord& record);

// The security block of a record whose record key is sealed again, under `derived_key`
// (derived from `salt`, a fresh one) and a fresh level1 nonce, while its data and
// level2 nonce stay as they are: for a record whose data does not open, so that a
// change of password leaves it under the new password, its data never lost.
DidResult<RecordSecurity> reseal_record_key(const SecretBytes& record_key, std::vector<uint8_t> salt,
                                            SecretBytes derived_key, const RecordSecurity& security);

}  // namespace velno
