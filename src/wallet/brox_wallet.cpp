// The wallet object and the reading of records: by key, by type, and the two lookups
// of a DID description.
#include "wallet/brox_wallet.hpp"

#include <utility>

#include "common/json_reader.hpp"
#include "common/log.hpp"
#include "common/utf8.hpp"
#include "wallet/record_encryption.hpp"

namespace velno {
namespace {

JsonResult<StringValue> string_value_from(const nlohmann::json& value) {
  if (!value.is_string()) return JsonError::plain(invalid_type_message(found_text(value), "a string"));
  return StringValue{value.get<std::string>()};
}

// The two readings of each value type: from a decrypted JSON text, and from the JSON
// value that a plain record holds.
template <class V>
struct ValueReader;

template <>
struct ValueReader<DIDInfo> {
  static JsonResult<DIDInfo> from_text(std::string_view text) { return did_info_from_text(text); }
  static JsonResult<DIDInfo> from_value(const nlohmann::json& value) { return did_info_from_value(value); }
};

template <>
struct ValueReader<KeyPair> {
  static JsonResult<KeyPair> from_text(std::string_view text) { return key_pair_from_text(text); }
  static JsonResult<KeyPair> from_value(const nlohmann::json& value) { return key_pair_from_value(value); }
};

template <>
struct ValueReader<StringValue> {
  static JsonResult<StringValue> from_text(std::string_view text) {
    auto parsed = parse_json_text(text);
    if (!parsed.ok()) return std::move(parsed).error();
    return string_value_from(parsed.value());
  }
  static JsonResult<StringValue> from_value(const nlohmann::json& value) { return string_value_from(value); }
};

template <class V>
DidResult<TypedRecord<V>> from_plain_record(InternalStorageRecord record) {
  auto value = ValueReader<V>::from_value(record.record_object);
  if (!value.ok()) return DidError::with_message(DidErrorKind::JsonProcessing, "serde says " + value.error().text());
  return TypedRecord<V>{std::move(record.key.raw_key), std::move(value).value(), std::move(record.tags), record.typ};
}

}  // namespace

DidResult<std::unique_ptr<Wallet>> Wallet::create(const std::string& name, PasswordFn password_callback,
                                                  BroxFileSystemStorage storage) {
  VELNO_TRY(storage.open(name));
  return std::unique_ptr<Wallet>(new Wallet(std::move(storage), std::move(password_callback)));
}

template <class V>
DidResult<std::optional<TypedRecord<V>>> Wallet::get_record(const std::string& raw_key) const {
  VELNO_TRACE(kTargetWallet, "get_record >>> key: ", raw_key);
  const std::string key_text = InternalWalletKey{raw_key, record_type_name<V>()}.to_string();
  VELNO_TRACE(kTargetWallet, "Raw key: ", raw_key, ", Internal wallet key ", key_text);
  VELNO_TRY_ASSIGN(auto record, storage_.get_record(key_text));
  if (!record) return std::optional<TypedRecord<V>>();
  VELNO_TRACE(kTargetWallet, "decrypt <<< key: ", raw_key);
  VELNO_TRY_ASSIGN(auto typed, decrypt<V>(std::move(*record)));
  return std::optional<TypedRecord<V>>(std::move(typed));
}

template <class V>
DidResult<TypedRecord<V>> Wallet::decrypt(InternalStorageRecord record) const {
  if (!is_encrypted(record.typ)) return from_plain_record<V>(std::move(record));
  VELNO_TRY_ASSIGN(const RecordSecurity* security, require_record_security(record));
  VELNO_TRY_ASSIGN(auto salt, decode_salt(*security));
  SecretBytes plaintext;
  {
    VELNO_TRY_ASSIGN(const SecretBytes password, password_callback_());
    VELNO_TRY_ASSIGN(const SecretBytes derived_key, derive_key(password.span(), salt));
    VELNO_TRY_ASSIGN(plaintext, decrypt_record_data(derived_key, record));
  }
  if (auto fault = check_utf8(plaintext.view())) return DidError::from_utf8_error(*fault);
  auto value = ValueReader<V>::from_text(plaintext.view());
  if (!value.ok()) return DidError::from_json_error(value.error());
  return TypedRecord<V>{std::move(record.key.raw_key), std::move(value).value(), std::move(record.tags), record.typ};
}

DidResult<std::vector<TypedRecord<DIDInfo>>> Wallet::query_by_type(RecordType typ) const {
  VELNO_TRACE(kTargetWallet, "query_by_type >>> typ: ", record_type_debug(typ));
  std::vector<TypedRecord<DIDInfo>> found;
  // Records of an encrypted type are opened after the scan: asking for the password
  // under the storage's hold could stall every writer behind a slow host.
  std::vector<InternalStorageRecord> sealed;
  {
    VELNO_TRY_ASSIGN(auto iter, storage_.iter());
    while (auto item = iter->next()) {
      VELNO_TRACE(kTargetWallet, "query_by_type >>> typ: ", record_type_debug(item->record.typ));
      if (item->record.typ != typ) continue;
      if (is_encrypted(typ)) {
        sealed.push_back(item->record);
        continue;
      }
      auto decoded = from_plain_record<DIDInfo>(item->record);
      if (!decoded.ok()) return std::move(decoded).error();
      found.push_back(std::move(decoded).value());
    }
  }
  for (InternalStorageRecord& record : sealed) {
    VELNO_TRY_ASSIGN(auto decoded, decrypt<DIDInfo>(std::move(record)));
    found.push_back(std::move(decoded));
  }
  return found;
}

DidResult<DIDInfo> Wallet::default_did() const {
  VELNO_TRY_ASSIGN(auto records, query_by_type(RecordType::PublicDid));
  if (records.empty()) return DidError::with_static_message(DidErrorKind::RecordNotFound, "PublicDid");
  return std::move(records.front().value);
}

DidResult<DIDInfo> Wallet::get_did_info(const std::string& did) const {
  VELNO_TRY_ASSIGN(auto record, get_record<DIDInfo>(did));
  if (!record) return DidError::with_static_message(DidErrorKind::RecordNotFound, "DIDInfo");
  return std::move(record->value);
}

template DidResult<std::optional<TypedRecord<DIDInfo>>> Wallet::get_record<DIDInfo>(const std::string&) const;
template DidResult<std::optional<TypedRecord<KeyPair>>> Wallet::get_record<KeyPair>(const std::string&) const;
template DidResult<std::optional<TypedRecord<StringValue>>> Wallet::get_record<StringValue>(const std::string&) const;
template DidResult<TypedRecord<DIDInfo>> Wallet::decrypt<DIDInfo>(InternalStorageRecord) const;
template DidResult<TypedRecord<KeyPair>> Wallet::decrypt<KeyPair>(InternalStorageRecord) const;
template DidResult<TypedRecord<StringValue>> Wallet::decrypt<StringValue>(InternalStorageRecord) const;

}  // namespace velno
