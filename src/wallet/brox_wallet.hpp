// The wallet: its storage, the password callable, record reading, DIDs, signing,
// verification and the change of password.
#pragma once

#include <atomic>
#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <span>
#include <string>
#include <vector>

#include "common/did_error.hpp"
#include "common/secret.hpp"
#include "storage/brox_file_system_storage.hpp"
#include "wallet/model/did_info.hpp"
#include "wallet/model/storage_record.hpp"

namespace velno {

// Answers the current wallet password (or the error that asking for it met); called
// once per encrypted record read or written, and once per password at a change of
// password. Never called while the wallet holds a lock of its storage.
using PasswordFn = std::function<DidResult<SecretBytes>()>;

// A text value held by a record (the data calls' stored Base64 text).
struct StringValue {
  std::string text;
};

// The short type names that key records: "DIDInfo", "KeyPair", "String".
template <class V>
constexpr const char* record_type_name();
template <>
constexpr const char* record_type_name<DIDInfo>() { return "DIDInfo"; }
template <>
constexpr const char* record_type_name<KeyPair>() { return "KeyPair"; }
template <>
constexpr const char* record_type_name<StringValue>() { return "String"; }

template <class V>
struct TypedRecord {
  std::string key;
  V value;
  std::optional<Tags> tags;
  RecordType typ;
};

class Wallet {
 public:
  // Wallet::new: opens `storage` under `name`.
  static DidResult<std::unique_ptr<Wallet>> create(const std::string& name, PasswordFn password_callback,
                                                   BroxFileSystemStorage storage);

  template <class V>
  DidResult<std::optional<TypedRecord<V>>> get_record(const std::string& raw_key) const;
  template <class V>
  DidResult<TypedRecord<V>> decrypt(InternalStorageRecord record) const;

  DidResult<std::vector<TypedRecord<DIDInfo>>> query_by_type(RecordType typ) const;
  DidResult<DIDInfo> default_did() const;
  DidResult<DIDInfo> get_did_info(const std::string& did) const;

  // A new DID from the seed (at random without one), both of its records stored in one
  // write, or the stored one of that seed. IO "File too large" (nothing stored) when the
  // new DID does not fit below the bound that writes keep.
  DidResult<DIDInfo> create_did(std::optional<std::span<const uint8_t>> seed,
                                std::optional<Metadata> metadata) const;
  // The DID an opening makes or finds: as create_did, but a new DID may take the room
  // kept below the bound for it. When even that has no room for a new DID without a
  // seed and the wallet holds a DID already, none is made: the answer is none, nothing
  // is written, and a WARN says so, so that a full wallet still opens.
  DidResult<std::optional<DIDInfo>> create_opening_did(std::optional<std::span<const uint8_t>> seed) const;
  DidResult<std::vector<uint8_t>> sign_with_did(const std::string& did, std::span<const uint8_t> data) const;
  DidResult<void> change_password(PasswordFn new_password) const;

  // Seals `value_json` under the password and stores it as a record of `typ` (an
  // encrypted kind) keyed by `raw_key`, "::" and `record_type`, replacing a record under
  // that key. WalletLoginFailed, with nothing stored, when the password does not open
  // the records already sealed.
  DidResult<void> store_encrypted(const std::string& raw_key, const std::string& record_type, RecordType typ,
                                  SecretBytes value_json) const;

  const BroxFileSystemStorage& storage() const { return storage_; }

 private:
  Wallet(BroxFileSystemStorage storage, PasswordFn password_callback)
      : storage_(std::move(storage)), password_callback_(std::move(password_callback)) {}

  // Fresh salt, one password proven on a record already sealed, one derivation, both
  // layers, then the insertion, made only if no change of password committed meanwhile.
  // The records of plain kinds that `with` makes, once the record is sealed, go in with
  // it, in one insertion and one write. False, with nothing stored, when the records do
  // not fit within `room`.
  using PlainRecords = std::function<std::vector<InternalStorageRecord>()>;
  DidResult<bool> seal_and_store(InternalWalletKey key, RecordType typ, const SecretBytes& plaintext,
                                 const PlainRecords& with, Room room) const;
  // create_did's work; none, with nothing stored, when the new DID does not fit in `room`.
  DidResult<std::optional<DIDInfo>> make_did(std::optional<std::span<const uint8_t>> seed,
                                             std::optional<Metadata> metadata, Room room) const;
  // Whether the wallet holds a DID description (of a DID or of a public DID).
  DidResult<bool> holds_did() const;

  BroxFileSystemStorage storage_;
  PasswordFn password_callback_;
  // Counts the changes of password that committed. Changed only under the storage's
  // exclusive hold, so that a write can tell, under its own hold, whether the password
  // it was given is still the one in force.
  mutable std::atomic<uint64_t> password_epoch_{0};
};

// Checks an Ed25519 signature (64 bytes) over `data` against `public_key` (32 bytes).
DidResult<void> verify_signature(std::span<const uint8_t> signature, std::span<const uint8_t> data,
                                 std::span<const uint8_t> public_key);

}  // namespace velno
