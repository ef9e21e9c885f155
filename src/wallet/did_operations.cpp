// Creating DIDs, sealing records, signing and verifying.
#include <algorithm>
#include <chrono>
#include <optional>
#include <utility>
#include <vector>

#include <sodium.h>

#include "common/base58.hpp"
#include "common/log.hpp"
#include "wallet/brox_wallet.hpp"
#include "wallet/password_proof.hpp"
#include "wallet/record_encryption.hpp"

namespace velno {
namespace {

constexpr std::size_t kDidBytes = 16;  // a DID is the Base58 of the public key's first 16 bytes
// A write asks for the password again when a change of password committed while it
// was sealing; this many times at most.
constexpr int kSealAttempts = 3;
// Only the first 32 bytes of a seed make the key; the whole seed is kept, in Base58,
// in its DID's description, whose making grows with the square of the seed's length.
constexpr std::size_t kMaxNewSeedBytes = 1024;
static_assert(kPublicKeyBytes == crypto_sign_PUBLICKEYBYTES && kSecretKeyBytes == crypto_sign_SECRETKEYBYTES);

DidError no_key_pair() {
  return DidError::with_static_message(DidErrorKind::WalletCouldNotGenerateKeyPair, "Couldn't create key pair");
}

DidError login_failed() {
  return DidError::with_static_message(DidErrorKind::WalletLoginFailed, "Cannot read wallet. Is the Pin Correct?");
}

int64_t current_utc_seconds() {
  using namespace std::chrono;
  return floor<seconds>(system_clock::now()).time_since_epoch().count();
}

// The compact JSON text of the key pair, in a buffer that is wiped when released. The
// secret key is copied only into the key pair, which wipes it however this ends.
SecretBytes key_pair_plaintext(const std::vector<uint8_t>& pk, const SecretBytes& sk) {
  KeyPair key_pair;
  key_pair.pk = pk;
  key_pair.sk.assign(sk.data(), sk.data() + sk.size());
  return SecretBytes(key_pair_to_text(key_pair));
}

}  // namespace

// A record sealed under another password than the one the wallet's records are under
// would never open again: a change of password can only leave it as it is. So a
// write proves its password on records already sealed, and stores only if no change
// of password has committed since it looked at them; otherwise the password it was
// given may be the old one, and it asks again. With no record to prove a password on,
// a write that a change overtook cannot tell the old password from the new one (the
// host answers the old one until the change has answered), so it stores nothing.
DidResult<bool> Wallet::seal_and_store(InternalWalletKey key, RecordType typ, const SecretBytes& plaintext,
                                       const PlainRecords& with, Room room) const {
  for (int attempt = 0; attempt < kSealAttempts; ++attempt) {
    const uint64_t asked_in = password_epoch_.load();
    std::vector<uint8_t> salt = generate_salt();
    VELNO_TRY_ASSIGN(const SecretBytes password, password_callback_());
    uint64_t epoch = 0;
    PasswordProof proof;
    VELNO_TRY(storage_.inspect([&](const RecordMap& records) {
      epoch = password_epoch_.load();
      proof = password_proof(records);
    }));
    // Whether the password is the one in force as of `epoch`.
    if (!proof.binds) {
      if (epoch != asked_in) return login_failed();
    } else if (auto proven = prove_password(password.span(), proof); !proven.ok()) {
      if (epoch != asked_in && proven.error().kind() == DidErrorKind::WalletLoginFailed) continue;
      return std::move(proven).error();
    }
    VELNO_TRY_ASSIGN(SecretBytes derived_key, derive_key(password.span(), salt));
    VELNO_TRY_ASSIGN(auto sealed, encrypt_record_data(SecretBytes(plaintext.data(), plaintext.size()), std::move(salt),
                                                      std::move(derived_key)));
    std::vector<InternalStorageRecord> records;
    records.emplace_back(key, typ, current_utc_seconds(), std::nullopt, std::move(sealed.second),
                         std::move(sealed.first), nullptr);
    if (with)
      for (InternalStorageRecord& companion : with()) records.push_back(std::move(companion));
    VELNO_TRY_ASSIGN(const Insertion done, storage_.add_records_if(std::move(records), room, [this, epoch] {
                       return password_epoch_.load() == epoch;
                     }));
    if (done == Insertion::Stored) return true;
    if (done == Insertion::NoRoom) return false;
    if (!proof.binds) return login_failed();
  }
  // Changes of password kept overtaking this write.
  return login_failed();
}

DidResult<void> Wallet::store_encrypted(const std::string& raw_key, const std::string& record_type, RecordType typ,
                                        SecretBytes value_json) const {
  VELNO_TRY_ASSIGN(const bool stored,
                   seal_and_store(InternalWalletKey{raw_key, record_type}, typ, value_json, nullptr, Room::Ordinary));
  if (!stored) return BroxFileSystemStorage::no_room();
  return {};
}

DidResult<DIDInfo> Wallet::create_did(std::optional<std::span<const uint8_t>> seed,
                                      std::optional<Metadata> metadata) const {
  VELNO_TRY_ASSIGN(std::optional<DIDInfo> made, make_did(seed, std::move(metadata), Room::Ordinary));
  if (!made) return BroxFileSystemStorage::no_room();
  return std::move(*made);
}

DidResult<std::optional<DIDInfo>> Wallet::create_opening_did(std::optional<std::span<const uint8_t>> seed) const {
  VELNO_TRY_ASSIGN(std::optional<DIDInfo> made, make_did(seed, std::nullopt, Room::Opening));
  if (made) return made;
  // The host asked for the DID of its seed, and a wallet without a DID would give it none.
  if (seed) return BroxFileSystemStorage::no_room();
  VELNO_TRY_ASSIGN(const bool holds, holds_did());
  if (!holds) return BroxFileSystemStorage::no_room();
  VELNO_WARN(kTargetWallet, "No room left below the wallet file's size bound for a new DID: opened without adding one");
  return std::optional<DIDInfo>();
}

DidResult<bool> Wallet::holds_did() const {
  bool holds = false;
  VELNO_TRY(storage_.inspect([&](const RecordMap& records) {
    holds = std::any_of(records.begin(), records.end(), [](const auto& entry) {
      return entry.second.typ == RecordType::Did || entry.second.typ == RecordType::PublicDid;
    });
  }));
  return holds;
}

DidResult<std::optional<DIDInfo>> Wallet::make_did(std::optional<std::span<const uint8_t>> seed,
                                                   std::optional<Metadata> metadata, Room room) const {
  std::vector<uint8_t> pk(crypto_sign_PUBLICKEYBYTES, 0);
  SecretBytes sk(crypto_sign_SECRETKEYBYTES);
  // The seeded key-pair function reads 32 bytes of seed: a shorter seed makes no key pair.
  const int made = !seed                                  ? crypto_sign_keypair(pk.data(), sk.data())
                   : seed->size() < crypto_sign_SEEDBYTES ? -1
                                                          : crypto_sign_seed_keypair(pk.data(), sk.data(), seed->data());
  if (made != 0) return no_key_pair();

  std::string did = base58_encode(std::span<const uint8_t>(pk).first(kDidBytes));
  // Only a DID description stored as a `Did` record is reused, whatever its seed's length.
  VELNO_TRY_ASSIGN(auto existing, get_record<DIDInfo>(did));
  if (existing && existing->typ == RecordType::Did) return std::optional<DIDInfo>(std::move(existing->value));
  if (seed && seed->size() > kMaxNewSeedBytes) return no_key_pair();

  InternalWalletKey pair_key{did, record_type_name<KeyPair>()};
  VELNO_TRACE(kTargetWallet, "Raw key: ", did, ", Internal wallet key ", pair_key.to_string());
  DIDInfo info = DIDInfo::create(std::move(did), pk, seed, false, std::move(metadata));
  // The description goes in with the key pair, in one insertion checked for room as a
  // whole and one write: a DID is never stored half.
  const auto description = [&info] {
    InternalWalletKey info_key{info.id, record_type_name<DIDInfo>()};
    VELNO_TRACE(kTargetWallet, "Raw key: ", info.id, ", Internal wallet key ", info_key.to_string());
    nlohmann::json data = serialize(info);
    std::vector<InternalStorageRecord> records;
    records.emplace_back(std::move(info_key), RecordType::Did, current_utc_seconds(), std::nullopt, std::nullopt,
                         std::move(data), nullptr);
    return records;
  };
  VELNO_TRY_ASSIGN(const bool stored,
                   seal_and_store(std::move(pair_key), RecordType::KeyPair, key_pair_plaintext(pk, sk), description, room));
  if (!stored) return std::optional<DIDInfo>();
  return std::optional<DIDInfo>(std::move(info));
}

DidResult<std::vector<uint8_t>> Wallet::sign_with_did(const std::string& did, std::span<const uint8_t> data) const {
  VELNO_DEBUG(kTargetWallet, "sign_with_did >> did: ", did);
  VELNO_TRY_ASSIGN(auto record, get_record<KeyPair>(did));
  if (!record) return DidError::with_message(DidErrorKind::RecordNotFound, "No key with key id " + did);
  const KeyPair& key_pair = record->value;

  VELNO_DEBUG(kTargetWallet, "Data to be signed: ", HexUpper{data});
  VELNO_TRACE(kTargetWallet, "Self::sign ", "*****", " ", HexLower{data});
  // The signing function reads 64 bytes of secret key: refuse a stored key of another length.
  std::vector<uint8_t> signature(crypto_sign_BYTES, 0);
  if (key_pair.sk.size() != crypto_sign_SECRETKEYBYTES ||
      crypto_sign_detached(signature.data(), nullptr, data.data(), data.size(), key_pair.sk.data()) != 0)
    return DidError::with_static_message(DidErrorKind::WalletCouldNotSign, "Data signing failed");
  VELNO_DEBUG(kTargetWallet, "Signature ", HexUpper{signature});
  return signature;
}

DidResult<void> verify_signature(std::span<const uint8_t> signature, std::span<const uint8_t> data,
                                 std::span<const uint8_t> public_key) {
  VELNO_DEBUG(kTargetWallet, "Verify signature: ", HexUpper{signature}, " for data: ", HexUpper{data});
  // The verifying function reads 64 bytes of signature and 32 of key: other lengths never verify.
  if (signature.size() != crypto_sign_BYTES || public_key.size() != crypto_sign_PUBLICKEYBYTES ||
      crypto_sign_verify_detached(signature.data(), data.data(), data.size(), public_key.data()) != 0)
    return DidError::with_static_message(DidErrorKind::WalletInvalidSignature, "Signature not valid");
  return {};
}

}  // namespace velno
