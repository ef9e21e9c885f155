// The stored record format: record kinds, record keys, security blocks, records and
// the key pair kept inside encrypted records, with their exact JSON forms.
#pragma once

#include <cstdint>
#include <map>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <unordered_map>
#include <vector>

#include <nlohmann/json.hpp>

#include "common/json_error.hpp"
#include "common/json_writer.hpp"
#include "common/secret.hpp"

namespace velno {

class JsonReader;  // the positional JSON text reader (common/json_reader.hpp)

enum class RecordType : uint8_t {
  KeyPair = 0,
  Did,
  PublicDid,
  AgentProfile,
  DidDoc,
  MasterSecret,
  SchemaDefinition,
  CredentialDefinition,
  CredentialDefinitionPrivateKeys,
  CredentialDefinitionCorrectnessProof,
  RevocationRegistry,
  RevocationRegistryDefinition,
  RevocationRegistryPrivate,
  RevocationRegistryInfo,
  CredentialOffer,
  CredentialRequest,
  CredentialRequestMetadata,
  Credential,
  Proof,
  Connection,
  Invitation,
  Arbitrary,
  PrivateData,
  PublicData,
};
inline constexpr unsigned kRecordTypeCount = 24;

// True for the kinds stored encrypted: value <= 22 and its bit set in 0x421321.
constexpr bool is_encrypted(RecordType t) {
  auto v = static_cast<unsigned>(t);
  return v <= 22 && ((0x421321u >> v) & 1u) != 0;
}
// The kind's name, its only text form ("KeyPair", "Did", ...).
std::string_view record_type_debug(RecordType t);

using Tags = std::map<std::string, std::string>;

struct InternalWalletKey {
  std::string raw_key;
  std::string record_type;
  // raw_key + "::" + record_type
  std::string to_string() const;
  bool operator==(const InternalWalletKey&) const = default;
};

struct RecordSecurity {
  std::string encrypted_key;
  std::string salt;
  std::string level1_nonce;
  std::string level2_nonce;
  bool operator==(const RecordSecurity&) const = default;
};

struct InternalStorageRecord {
  InternalStorageRecord() = default;
  InternalStorageRecord(InternalWalletKey key, RecordType typ, int64_t date, std::optional<Tags> tags,
                        std::optional<RecordSecurity> record_security, nlohmann::json record_object,
                        std::shared_ptr<const std::string> cached_text = nullptr);
  // Copies the data tree without nlohmann's copy, whose failure part-way would end the
  // process (common/json_tree.hpp).
  InternalStorageRecord(const InternalStorageRecord& o);
  InternalStorageRecord(InternalStorageRecord&&) noexcept = default;
  // Both release the data tree they replace without allocating (common/json_tree.hpp),
  // as does the destructor: records are dropped while memory runs out, too.
  InternalStorageRecord& operator=(const InternalStorageRecord& o);
  InternalStorageRecord& operator=(InternalStorageRecord&& o) noexcept;
  ~InternalStorageRecord();

  InternalWalletKey key;
  RecordType typ = RecordType::KeyPair;
  int64_t date = 0;
  std::optional<Tags> tags;
  std::optional<RecordSecurity> record_security;
  nlohmann::json record_object;  // JSON member "data"
  // The record's compact JSON as serialize writes it, kept by the storage so that a
  // rewrite of the wallet file need not walk every record again. Null when unknown;
  // whoever changes a field above must reset it. Not part of the record's value.
  // (A new field also goes into the move assignment.)
  std::shared_ptr<const std::string> cached_text;
  bool operator==(const InternalStorageRecord& o) const {
    return key == o.key && typ == o.typ && date == o.date && tags == o.tags && record_security == o.record_security &&
           record_object == o.record_object;
  }
};

// Writers: compact JSON in the fixed member order, appended to the writer's buffer.
void serialize(JsonWriter& w, const InternalWalletKey& key);
void serialize(JsonWriter& w, const RecordSecurity& security);
void serialize(JsonWriter& w, RecordType typ);
void serialize(JsonWriter& w, const InternalStorageRecord& record);
// Sets record.cached_text to what serialize writes for it now.
void cache_record_text(InternalStorageRecord& record);

// Readers: one value of the type at the reader's current position. Errors carry the
// position of the fault.
JsonResult<InternalWalletKey> deserialize_wallet_key(JsonReader& r);
JsonResult<std::optional<RecordSecurity>> deserialize_record_security(JsonReader& r);
JsonResult<RecordType> deserialize_record_type(JsonReader& r);
JsonResult<InternalStorageRecord> deserialize_storage_record(JsonReader& r);

inline constexpr std::size_t kPublicKeyBytes = 32;
inline constexpr std::size_t kSecretKeyBytes = 64;

// The Ed25519 key pair of one DID: pk 32 bytes, sk 64 bytes (seed + public key).
// Lengths are not checked when reading: signing refuses an sk of the wrong length. A
// text longer than any key of its kind is not decoded (its decoding would grow with
// the square of its length): it reads as an empty key, of a wrong length like others.
struct KeyPair {
  std::vector<uint8_t> pk;
  std::vector<uint8_t> sk;
  ~KeyPair();  // wipes sk
  KeyPair() = default;
  KeyPair(std::vector<uint8_t> p, std::vector<uint8_t> s) : pk(std::move(p)), sk(std::move(s)) {}
  KeyPair(KeyPair&&) noexcept = default;
  KeyPair& operator=(KeyPair&&) noexcept;  // wipes the sk it replaces
  KeyPair(const KeyPair&) = delete;
  KeyPair& operator=(const KeyPair&) = delete;
};

// {"pk":"<Base58>","sk":"<Base58>"}, in a text wiped when it is released.
SecretString key_pair_to_text(const KeyPair& kp);
// From JSON text (exactly one value, whitespace around it) or from a value tree.
JsonResult<KeyPair> key_pair_from_text(std::string_view text);
JsonResult<KeyPair> key_pair_from_value(const nlohmann::json& value);

}  // namespace velno
