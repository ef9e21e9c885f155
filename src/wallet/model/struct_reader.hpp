// Reading of the model's structs from JSON text: members by name or elements by
// position, with the duplicate, missing-field and length messages in one place.
#pragma once

#include <array>
#include <cstddef>
#include <string>
#include <string_view>

#include "common/json_reader.hpp"
#include "wallet/model/storage_record.hpp"

namespace velno::model_detail {

inline std::string field_message(std::string_view what, std::string_view name) {
  std::string m(what);
  m.append(" field `").append(name).append("`");
  return m;
}

// An object at the reader: members named in `names` (declaration order) are read by
// read(i); other members are skipped; a repeated name fails before its value is read.
// After the closing brace the first absent field of `required` (one bit per field,
// tested in declaration order) fails at that brace.
template <std::size_t N, class F>
bool read_struct(JsonReader& r, const std::array<std::string_view, N>& names, unsigned required, F&& read) {
  if (!r.begin_object()) return false;
  unsigned seen = 0;
  std::string_view name;
  for (;;) {
    const JsonReader::Step step = r.next_member(name);
    if (step == JsonReader::Step::End) break;
    if (step == JsonReader::Step::Error) return false;
    std::size_t i = 0;
    while (i < N && names[i] != name) ++i;
    if (i == N) {
      if (!r.skip_value()) return false;
      continue;
    }
    if (seen & (1u << i)) return r.fail(field_message("duplicate", name));
    seen |= 1u << i;
    if (!read(i)) return false;
  }
  for (std::size_t i = 0; i < N; ++i)
    if ((required >> i & 1u) && !(seen >> i & 1u)) return r.fail(field_message("missing", names[i]));
  return true;
}

// An array of exactly n elements, read(i) for each in declaration order. A short array
// fails at its ']' with "invalid length <i>, expected <what> with <n> elements".
template <class F>
bool read_tuple(JsonReader& r, std::size_t n, std::string_view what, F&& read) {
  if (!r.begin_array()) return false;
  for (std::size_t i = 0; i < n; ++i) {
    const JsonReader::Step step = r.next_element();
    if (step == JsonReader::Step::Error) return false;
    if (step == JsonReader::Step::End) {
      return r.fail("invalid length " + std::to_string(i) + ", expected " + std::string(what) + " with " +
                    std::to_string(n) + " elements");
    }
    if (!read(i)) return false;
  }
  return r.end_fixed_array();
}

// An object of strings; a later member of the same name replaces the earlier.
template <class Map>
bool read_string_map(JsonReader& r, Map& out) {
  if (!r.begin_object()) return false;
  std::string_view name;
  for (;;) {
    const JsonReader::Step step = r.next_member(name);
    if (step == JsonReader::Step::End) return true;
    if (step == JsonReader::Step::Error) return false;
    std::string key(name);
    if (!r.read_string(out[std::move(key)])) return false;
  }
}

// deserialize_storage_record, reading into `rec` (the wallet file reads into its map).
bool read_storage_record(JsonReader& r, InternalStorageRecord& rec);

}  // namespace velno::model_detail
