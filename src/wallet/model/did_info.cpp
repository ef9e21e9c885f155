#include "wallet/model/did_info.hpp"

#include <array>

#include "common/base58.hpp"
#include "common/json_reader.hpp"
#include "common/json_tree.hpp"
#include "common/json_writer.hpp"
#include "wallet/model/struct_reader.hpp"

namespace velno {
namespace {

// Declaration order: the array shape and the order of the missing-field tests.
constexpr std::array<std::string_view, 5> kFields = {"id", "publicKey", "seed", "publicDID", "metadata"};
enum Field : unsigned { kId, kPublicKey, kSeed, kPublicDid, kMetadata };
constexpr unsigned kRequired = 1u << kId | 1u << kPublicKey | 1u << kPublicDid;

bool read_field(JsonReader& r, DIDInfo& info, std::size_t i) {
  switch (i) {
    case kId:
      return r.read_string(info.id);
    case kPublicKey:
      return r.read_string(info.publicKey);
    case kSeed:
      if (r.peek() == 'n') {
        info.seed.reset();
        return r.read_null();
      }
      return r.read_string(info.seed.emplace());
    case kPublicDid:
      return r.read_bool(info.publicDID);
    default:
      if (r.peek() == 'n') {
        info.metadata.reset();
        return r.read_null();
      }
      return model_detail::read_string_map(r, info.metadata.emplace());
  }
}

std::optional<JsonError> wrong_type(const nlohmann::json& v, std::string_view expected) {
  return JsonError::plain(invalid_type_message(found_text(v), expected));
}

std::optional<JsonError> value_field(const nlohmann::json& v, DIDInfo& info, std::size_t i) {
  switch (i) {
    case kId:
    case kPublicKey:
      if (!v.is_string()) return wrong_type(v, "a string");
      (i == kId ? info.id : info.publicKey) = v.get<std::string>();
      return std::nullopt;
    case kSeed:
      if (v.is_null()) return std::nullopt;
      if (!v.is_string()) return wrong_type(v, "a string");
      info.seed = v.get<std::string>();
      return std::nullopt;
    case kPublicDid:
      if (!v.is_boolean()) return wrong_type(v, "a boolean");
      info.publicDID = v.get<bool>();
      return std::nullopt;
    default: {
      if (v.is_null()) return std::nullopt;
      if (!v.is_object()) return wrong_type(v, "a map");
      Metadata& m = info.metadata.emplace();
      for (const auto& [name, value] : *v.get_ptr<const nlohmann::json::object_t*>()) {
        if (!value.is_string()) return wrong_type(value, "a string");
        m.emplace(name, value.get<std::string>());
      }
      return std::nullopt;
    }
  }
}

}  // namespace

DIDInfo DIDInfo::create(std::string id, std::span<const uint8_t> public_key,
                        std::optional<std::span<const uint8_t>> seed, bool public_did,
                        std::optional<Metadata> metadata) {
  DIDInfo info;
  info.id = std::move(id);
  info.publicKey = base58_encode(public_key);
  if (seed) info.seed = base58_encode(*seed);
  info.publicDID = public_did;
  info.metadata = std::move(metadata);
  return info;
}

nlohmann::json serialize(const DIDInfo& info) {
  nlohmann::json v = nlohmann::json::object();
  // A tree that a failure leaves half-built must still be released without allocating.
  TreeRelease release(v);
  v["id"] = info.id;
  v["publicKey"] = info.publicKey;
  v["seed"] = info.seed ? nlohmann::json(*info.seed) : nlohmann::json(nullptr);
  v["publicDID"] = info.publicDID;
  nlohmann::json& metadata = v["metadata"];
  if (info.metadata) {
    metadata = nlohmann::json::object();
    for (const auto& [name, value] : *info.metadata) metadata[name] = value;
  }
  // Moved out before `release` runs (no copy elision into the answer here).
  return nlohmann::json(std::move(v));
}

namespace {

// One description's tree at a time, released without allocating (common/json_tree.hpp).
void write_did_info(JsonWriter& w, const DIDInfo& info) {
  nlohmann::json v = serialize(info);
  TreeRelease release(v);
  w.value(v);
}

}  // namespace

std::string payload_json(const DIDInfo& info) {
  JsonWriter w;
  write_did_info(w, info);
  return w.take();
}

std::string payload_json(const std::vector<DIDInfo>& infos) {
  JsonWriter w;
  w.raw('[');
  for (std::size_t i = 0; i < infos.size(); ++i) {
    if (i != 0) w.raw(',');
    write_did_info(w, infos[i]);
  }
  w.raw(']');
  return w.take();
}

JsonResult<DIDInfo> did_info_from_text(std::string_view text) {
  JsonReader r(text);
  DIDInfo info;
  auto field = [&](std::size_t i) { return read_field(r, info, i); };
  const char c = r.peek();
  bool ok;
  if (c == '{') ok = model_detail::read_struct(r, kFields, kRequired, field);
  else if (c == '[') ok = model_detail::read_tuple(r, kFields.size(), "struct DIDInfo", field);
  else ok = r.fail_invalid_type("struct DIDInfo");
  if (!ok || !r.finish()) return r.take_error();
  return info;
}

JsonResult<DIDInfo> did_info_from_value(const nlohmann::json& value) {
  DIDInfo info;
  if (value.is_object()) {
    unsigned seen = 0;
    for (const auto& [name, v] : *value.get_ptr<const nlohmann::json::object_t*>()) {
      std::size_t i = 0;
      while (i < kFields.size() && kFields[i] != name) ++i;
      if (i == kFields.size()) continue;
      if (auto e = value_field(v, info, i)) return std::move(*e);
      seen |= 1u << i;
    }
    for (std::size_t i = 0; i < kFields.size(); ++i)
      if ((kRequired >> i & 1u) && !(seen >> i & 1u))
        return JsonError::plain(model_detail::field_message("missing", kFields[i]));
    return info;
  }
  if (value.is_array()) {
    const auto& items = *value.get_ptr<const nlohmann::json::array_t*>();
    for (std::size_t i = 0; i < items.size() && i < kFields.size(); ++i)
      if (auto e = value_field(items[i], info, i)) return std::move(*e);
    if (items.size() < kFields.size())
      return JsonError::plain("invalid length " + std::to_string(items.size()) +
                              ", expected struct DIDInfo with 5 elements");
    if (items.size() > kFields.size())
      return JsonError::plain("invalid length " + std::to_string(items.size()) + ", expected fewer elements in array");
    return info;
  }
  return JsonError::plain(invalid_type_message(found_text(value), "struct DIDInfo"));
}

}  // namespace velno
