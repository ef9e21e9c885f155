#include "wallet/model/wallet_file_format.hpp"

#include "common/json_reader.hpp"
#include "common/json_writer.hpp"
#include "common/utf8.hpp"
#include "wallet/model/struct_reader.hpp"

namespace velno {

JsonResult<RecordMap> parse_wallet_text(std::string_view text) {
  JsonReader r(text);
  RecordMap records;
  // A record the system writes takes a few hundred bytes: fewer rehashes on the way.
  records.reserve(text.size() / 512);
  // A non-object fails as "invalid type: <found>, expected a map".
  if (!r.begin_object()) return r.take_error();
  std::string_view name;
  for (;;) {
    const JsonReader::Step step = r.next_member(name);
    if (step == JsonReader::Step::End) break;
    if (step == JsonReader::Step::Error) return r.take_error();
    // The name's view ends with the next read, so the key is copied first. A second
    // member of the same name starts again from an empty record.
    auto [it, inserted] = records.try_emplace(std::string(name));
    if (!inserted) it->second = InternalStorageRecord{};
    if (!model_detail::read_storage_record(r, it->second)) return r.take_error();
  }
  if (!r.finish()) return r.take_error();
  return records;
}

void serialize_wallet(std::string& out, const RecordMap& records) {
  // A generous size, so that the text is not moved while it grows: pages reserved
  // but never written cost nothing.
  std::size_t estimate = 2;
  for (const auto& [name, rec] : records) {
    if (rec.cached_text) {
      estimate += name.size() + rec.cached_text->size() + 8;
      continue;
    }
    estimate += name.size() + rec.key.raw_key.size() + rec.key.record_type.size() + 128;
    if (rec.tags)
      for (const auto& [k, v] : *rec.tags) estimate += k.size() + v.size() + 8;
    if (const auto& s = rec.record_security)
      estimate += s->encrypted_key.size() + s->salt.size() + s->level1_nonce.size() + s->level2_nonce.size() + 80;
    estimate += rec.record_object.is_string() ? rec.record_object.get_ref<const std::string&>().size() + 8 : 512;
  }
  out.reserve(out.size() + estimate);
  JsonWriter w(out);
  w.raw('{');
  bool first = true;
  for (const auto& [name, rec] : records) {
    if (!first) w.raw(',');
    first = false;
    w.key(name);
    // The storage's cached text saves the walk over the record's parts.
    if (rec.cached_text)
      w.raw(*rec.cached_text);
    else
      serialize(w, rec);
  }
  w.raw('}');
}

std::string serialize_wallet(const RecordMap& records) {
  std::string out;
  serialize_wallet(out, records);
  return out;
}

std::size_t wallet_member_size(std::string_view name, InternalStorageRecord& record) {
  if (!record.cached_text) cache_record_text(record);
  return json_string_size(name) + 1 + record.cached_text->size();
}

std::size_t wallet_text_size(RecordMap& records) {
  std::size_t size = records.empty() ? 2 : 1 + records.size();  // braces and commas
  for (auto& [name, record] : records) size += wallet_member_size(name, record);
  return size;
}

namespace {

// The first fault of a text in `v` (strings and member names) that is not valid UTF-8.
std::optional<Utf8Error> first_invalid_text(const nlohmann::json& v) {
  if (v.is_string()) return check_utf8(v.get_ref<const std::string&>());
  if (v.is_object()) {
    for (const auto& [name, member] : v.items()) {
      if (auto fault = check_utf8(name)) return fault;
      if (auto fault = first_invalid_text(member)) return fault;
    }
  } else if (v.is_array()) {
    for (const auto& element : v)
      if (auto fault = first_invalid_text(element)) return fault;
  }
  return std::nullopt;
}

}  // namespace

std::optional<Utf8Error> first_invalid_utf8(std::string_view name, const InternalStorageRecord& r) {
  std::vector<std::string_view> texts{name, r.key.raw_key, r.key.record_type};
  if (r.tags)
    for (const auto& [k, v] : *r.tags) texts.insert(texts.end(), {k, v});
  if (const auto& s = r.record_security)
    texts.insert(texts.end(), {s->encrypted_key, s->salt, s->level1_nonce, s->level2_nonce});
  for (std::string_view t : texts)
    if (auto fault = check_utf8(t)) return fault;
  return first_invalid_text(r.record_object);
}

}  // namespace velno
