// The text of a wallet file: one JSON object whose members are records named by
// their key text. An empty text is an empty map.
#pragma once

#include <optional>
#include <string>
#include <string_view>
#include <unordered_map>

#include "common/json_error.hpp"
#include "common/utf8.hpp"
#include "wallet/model/storage_record.hpp"

namespace velno {

using RecordMap = std::unordered_map<std::string, InternalStorageRecord>;

// Reads a non-empty wallet text: whitespace around one object; a later member of the
// same name replaces the earlier; nesting beyond 127 levels fails; every fault ends
// with " at line <l> column <c>".
JsonResult<RecordMap> parse_wallet_text(std::string_view text);

// Writes the map compactly ("{}" when empty), members in the map's order. A record's
// cached_text, when set, is written as it stands.
std::string serialize_wallet(const RecordMap& records);
void serialize_wallet(std::string& out, const RecordMap& records);

// The sizes serialize_wallet gives a member, and the whole map, taken from the records'
// cached texts; a record without one gets it first (the only allocation).
std::size_t wallet_member_size(std::string_view name, InternalStorageRecord& record);
std::size_t wallet_text_size(RecordMap& records);

// The first text of a record, or of its member name in the file, that is not valid
// UTF-8: the writer would have to alter it, and the file would not give it back.
std::optional<Utf8Error> first_invalid_utf8(std::string_view name, const InternalStorageRecord& record);

}  // namespace velno
