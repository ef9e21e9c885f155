#include "wallet/model/storage_record.hpp"

#include <array>

#include <sodium.h>

#include "common/base58.hpp"
#include "common/json_reader.hpp"
#include "common/json_tree.hpp"
#include "common/secret.hpp"
#include "wallet/model/struct_reader.hpp"

namespace velno {
namespace {

using model_detail::field_message;
using model_detail::read_string_map;
using model_detail::read_struct;
using model_detail::read_tuple;
using Step = JsonReader::Step;

constexpr std::array<std::string_view, kRecordTypeCount> kRecordTypeNames = {
    "KeyPair",
    "Did",
    "PublicDid",
    "AgentProfile",
    "DidDoc",
    "MasterSecret",
    "SchemaDefinition",
    "CredentialDefinition",
    "CredentialDefinitionPrivateKeys",
    "CredentialDefinitionCorrectnessProof",
    "RevocationRegistry",
    "RevocationRegistryDefinition",
    "RevocationRegistryPrivate",
    "RevocationRegistryInfo",
    "CredentialOffer",
    "CredentialRequest",
    "CredentialRequestMetadata",
    "Credential",
    "Proof",
    "Connection",
    "Invitation",
    "Arbitrary",
    "PrivateData",
    "PublicData",
};

// Looks the name up; an unknown one fails at the current token (the name).
bool record_type_by_name(JsonReader& r, std::string_view name, RecordType& out) {
  for (unsigned i = 0; i < kRecordTypeCount; ++i) {
    if (kRecordTypeNames[i] == name) {
      out = static_cast<RecordType>(i);
      return true;
    }
  }
  std::string m = "unknown variant `";
  m.append(name).append("`, expected one of ");
  for (unsigned i = 0; i < kRecordTypeCount; ++i) {
    if (i != 0) m.append(", ");
    m.append("`").append(kRecordTypeNames[i]).append("`");
  }
  return r.fail(std::move(m));
}

// A kind is written by name: "Did", or {"Did":null}. Anything else where the name
// should start is a syntax error, as no value of another form may stand there.
bool read_record_type(JsonReader& r, RecordType& out) {
  std::string_view name;
  const char c = r.peek();
  if (c == '"') return r.read_string(name) && record_type_by_name(r, name, out);
  if (c != '{') return r.fail_expected_value();
  if (!r.begin_object()) return false;
  const char n = r.peek();
  if (n != '"' && n != '}') return r.fail_invalid_type("variant identifier");
  Step step = r.next_member(name);
  if (step == Step::Error) return false;
  if (step == Step::End) return r.fail("expected value");
  if (!record_type_by_name(r, name, out)) return false;
  if (r.peek() != 'n') return r.fail_invalid_type("unit");
  if (!r.read_null()) return false;
  step = r.next_member(name);
  if (step == Step::Error) return false;
  return step == Step::End || r.fail("expected value");
}

bool read_wallet_key(JsonReader& r, InternalWalletKey& key) {
  static constexpr std::array<std::string_view, 2> kNames = {"raw_key", "record_type"};
  auto field = [&](std::size_t i) { return r.read_string(i == 0 ? key.raw_key : key.record_type); };
  const char c = r.peek();
  if (c == '{') return read_struct(r, kNames, 0b11, field);
  if (c == '[') return read_tuple(r, 2, "struct InternalWalletKey", field);
  return r.fail_invalid_type("struct InternalWalletKey");
}

bool read_security(JsonReader& r, std::optional<RecordSecurity>& out) {
  static constexpr std::array<std::string_view, 4> kNames = {"encrypted_key", "salt", "level1_nonce",
                                                             "level2_nonce"};
  const char c = r.peek();
  if (c == 'n') {
    out.reset();
    return r.read_null();
  }
  RecordSecurity& s = out.emplace();
  std::string* fields[] = {&s.encrypted_key, &s.salt, &s.level1_nonce, &s.level2_nonce};
  auto field = [&](std::size_t i) { return r.read_string(*fields[i]); };
  if (c == '{') return read_struct(r, kNames, 0b1111, field);
  if (c == '[') return read_tuple(r, 4, "struct RecordSecurity", field);
  return r.fail_invalid_type("struct RecordSecurity");
}

bool read_date(JsonReader& r, int64_t& out) {
  const char c = r.peek();
  if (c != '-' && (c < '0' || c > '9')) return r.fail_invalid_type("i64");
  JsonNumber n;
  if (!r.read_number(n)) return false;
  switch (n.kind) {
    case JsonNumber::Kind::Int:
      out = n.i;
      return true;
    case JsonNumber::Kind::UInt:
      return r.fail("invalid value: integer `" + std::to_string(n.u) + "`, expected i64");
    case JsonNumber::Kind::Double:
      break;
  }
  return r.fail(invalid_type_message("floating point `" + found_float_text(n.d) + "`", "i64"));
}

bool read_tags(JsonReader& r, std::optional<Tags>& out) {
  if (r.peek() == 'n') {
    out.reset();
    return r.read_null();
  }
  return read_string_map(r, out.emplace());
}

enum RecordField : unsigned { kKey, kType, kDate, kTags, kSecurity, kData };

bool read_record_field(JsonReader& r, InternalStorageRecord& rec, std::size_t i) {
  switch (i) {
    case kKey: return read_wallet_key(r, rec.key);
    case kType: return read_record_type(r, rec.typ);
    case kDate: return read_date(r, rec.date);
    case kTags: return read_tags(r, rec.tags);
    case kSecurity: return read_security(r, rec.record_security);
    default: return r.read_value(rec.record_object);
  }
}

template <class T, class F>
JsonResult<T> run(JsonReader& r, F&& read) {
  T value{};
  if (!read(r, value)) return r.take_error();
  return value;
}

// Decodes the two Base58 texts, pk first; the decoder's message on failure.
std::optional<std::string> decode_key_pair(std::string_view pk_text, std::string_view sk_text, KeyPair& out) {
  auto pk = base58_decode(pk_text, kPublicKeyBytes);
  if (!pk) return pk.error().text();
  auto sk = base58_decode_secret(sk_text, kSecretKeyBytes);
  if (!sk) return sk.error().text();
  if (*pk) out.pk = std::move(**pk);
  if (*sk) out.sk = std::move(**sk);
  return std::nullopt;
}

}  // namespace

namespace model_detail {

bool read_storage_record(JsonReader& r, InternalStorageRecord& rec) {
  static constexpr std::array<std::string_view, 6> kNames = {"key", "type", "date", "tags", "record_security", "data"};
  constexpr unsigned kRequired = 1u << kKey | 1u << kType | 1u << kDate | 1u << kData;
  auto field = [&](std::size_t i) { return read_record_field(r, rec, i); };
  const char c = r.peek();
  if (c == '{') return read_struct(r, kNames, kRequired, field);
  if (c == '[') return read_tuple(r, 6, "struct InternalStorageRecord", field);
  return r.fail_invalid_type("struct InternalStorageRecord");
}

}  // namespace model_detail

InternalStorageRecord::InternalStorageRecord(InternalWalletKey key, RecordType typ, int64_t date,
                                             std::optional<Tags> tags, std::optional<RecordSecurity> record_security,
                                             nlohmann::json record_object, std::shared_ptr<const std::string> cached_text)
    : key(std::move(key)),
      typ(typ),
      date(date),
      tags(std::move(tags)),
      record_security(std::move(record_security)),
      record_object(std::move(record_object)),
      cached_text(std::move(cached_text)) {}

InternalStorageRecord::InternalStorageRecord(const InternalStorageRecord& o)
    : key(o.key),
      typ(o.typ),
      date(o.date),
      tags(o.tags),
      record_security(o.record_security),
      record_object(copy_tree(o.record_object)),
      cached_text(o.cached_text) {}

InternalStorageRecord& InternalStorageRecord::operator=(const InternalStorageRecord& o) {
  if (this != &o) *this = InternalStorageRecord(o);
  return *this;
}

InternalStorageRecord& InternalStorageRecord::operator=(InternalStorageRecord&& o) noexcept {
  if (this == &o) return *this;
  release_tree(record_object);
  key = std::move(o.key);
  typ = o.typ;
  date = o.date;
  tags = std::move(o.tags);
  record_security = std::move(o.record_security);
  record_object = std::move(o.record_object);
  cached_text = std::move(o.cached_text);
  return *this;
}

InternalStorageRecord::~InternalStorageRecord() { release_tree(record_object); }

std::string_view record_type_debug(RecordType t) {
  const auto v = static_cast<unsigned>(t);
  return v < kRecordTypeCount ? kRecordTypeNames[v] : std::string_view("Unknown");
}

std::string InternalWalletKey::to_string() const {
  std::string s;
  s.reserve(raw_key.size() + 2 + record_type.size());
  s.append(raw_key).append("::").append(record_type);
  return s;
}

void serialize(JsonWriter& w, const InternalWalletKey& key) {
  w.raw("{\"raw_key\":");
  w.string(key.raw_key);
  w.raw(",\"record_type\":");
  w.string(key.record_type);
  w.raw('}');
}

void serialize(JsonWriter& w, const RecordSecurity& s) {
  w.raw("{\"encrypted_key\":");
  w.string(s.encrypted_key);
  w.raw(",\"salt\":");
  w.string(s.salt);
  w.raw(",\"level1_nonce\":");
  w.string(s.level1_nonce);
  w.raw(",\"level2_nonce\":");
  w.string(s.level2_nonce);
  w.raw('}');
}

void serialize(JsonWriter& w, RecordType typ) { w.string(record_type_debug(typ)); }

void serialize(JsonWriter& w, const InternalStorageRecord& rec) {
  w.raw("{\"key\":");
  serialize(w, rec.key);
  w.raw(",\"type\":");
  serialize(w, rec.typ);
  w.raw(",\"date\":");
  w.integer(rec.date);
  if (rec.tags) {
    w.raw(",\"tags\":{");
    bool first = true;
    for (const auto& [name, value] : *rec.tags) {
      if (!first) w.raw(',');
      first = false;
      w.key(name);
      w.string(value);
    }
    w.raw('}');
  }
  if (rec.record_security) {
    w.raw(",\"record_security\":");
    serialize(w, *rec.record_security);
  }
  w.raw(",\"data\":");
  w.value(rec.record_object);
  w.raw('}');
}

void cache_record_text(InternalStorageRecord& record) {
  record.cached_text.reset();
  JsonWriter w;
  serialize(w, record);
  record.cached_text = std::make_shared<const std::string>(w.take());
}

JsonResult<InternalWalletKey> deserialize_wallet_key(JsonReader& r) { return run<InternalWalletKey>(r, read_wallet_key); }

JsonResult<std::optional<RecordSecurity>> deserialize_record_security(JsonReader& r) {
  return run<std::optional<RecordSecurity>>(r, read_security);
}

JsonResult<RecordType> deserialize_record_type(JsonReader& r) { return run<RecordType>(r, read_record_type); }

JsonResult<InternalStorageRecord> deserialize_storage_record(JsonReader& r) {
  return run<InternalStorageRecord>(r, model_detail::read_storage_record);
}

KeyPair::~KeyPair() {
  if (!sk.empty()) sodium_memzero(sk.data(), sk.size());
}

KeyPair& KeyPair::operator=(KeyPair&& o) noexcept {
  if (this != &o) {
    if (!sk.empty()) sodium_memzero(sk.data(), sk.size());
    pk = std::move(o.pk);
    sk = std::move(o.sk);
  }
  return *this;
}

SecretString key_pair_to_text(const KeyPair& kp) {
  constexpr std::string_view kHead = "{\"pk\":\"", kMiddle = "\",\"sk\":\"", kTail = "\"}";
  const std::string pk = base58_encode(kp.pk);
  const SecretString sk = base58_encode_secret(kp.sk);
  SecretString out;
  out.reserve(kHead.size() + pk.size() + kMiddle.size() + sk.size() + kTail.size());
  out.append(kHead).append(pk).append(kMiddle).append(sk).append(kTail);
  return out;
}

JsonResult<KeyPair> key_pair_from_text(std::string_view text) {
  JsonReader r(text);
  // Held until the object is complete; the secret key's text in a buffer that wipes
  // itself, also when a failure unwinds this reading.
  std::string pk_text;
  SecretString sk_text;
  KeyPair kp;
  auto read = [&]() -> bool {
    if (r.peek() != '{') return r.fail_invalid_type("struct KeyPair");
    if (!r.begin_object()) return false;
    bool seen[2] = {false, false};
    std::string_view name;
    for (;;) {
      const Step step = r.next_member(name);
      if (step == Step::End) break;
      if (step == Step::Error) return false;
      const int i = name == "pk" ? 0 : name == "sk" ? 1 : -1;
      if (i < 0) return r.fail("unknown field `" + std::string(name) + "`, expected `pk` or `sk`");
      if (seen[i]) return r.fail(field_message("duplicate", name));
      seen[i] = true;
      std::string_view value;
      if (!r.read_string(value)) return false;
      if (i == 0) pk_text.assign(value);
      else sk_text.assign(value);
    }
    if (!seen[1]) return r.fail(field_message("missing", "sk"));
    if (!seen[0]) return r.fail(field_message("missing", "pk"));
    if (auto bad = decode_key_pair(pk_text, sk_text, kp)) return r.fail(std::move(*bad));
    return r.finish();
  };
  if (!read()) return r.take_error();
  return kp;
}

JsonResult<KeyPair> key_pair_from_value(const nlohmann::json& value) {
  if (!value.is_object()) return JsonError::plain(invalid_type_message(found_text(value), "struct KeyPair"));
  const std::string* texts[2] = {nullptr, nullptr};
  // A value object holds each name once, in ascending order.
  for (const auto& [name, v] : *value.get_ptr<const nlohmann::json::object_t*>()) {
    const int i = name == "pk" ? 0 : name == "sk" ? 1 : -1;
    if (i < 0) return JsonError::plain("unknown field `" + name + "`, expected `pk` or `sk`");
    if (!v.is_string()) return JsonError::plain(invalid_type_message(found_text(v), "a string"));
    texts[i] = v.get_ptr<const std::string*>();
  }
  if (texts[1] == nullptr) return JsonError::plain(field_message("missing", "sk"));
  if (texts[0] == nullptr) return JsonError::plain(field_message("missing", "pk"));
  KeyPair kp;
  if (auto bad = decode_key_pair(*texts[0], *texts[1], kp)) return JsonError::plain(std::move(*bad));
  return kp;
}

}  // namespace velno
