// The public description of one DID.
#pragma once

#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <unordered_map>
#include <vector>

#include <nlohmann/json.hpp>

#include "common/json_error.hpp"

namespace velno {

using Metadata = std::unordered_map<std::string, std::string>;

struct DIDInfo {
  std::string id;                       // the DID
  std::string publicKey;                // Base58 of the 32-byte public key
  std::optional<std::string> seed;      // Base58 of the seed bytes
  bool publicDID = false;
  std::optional<Metadata> metadata;

  // DIDInfo::new: publicKey and seed become their Base58 texts; nothing is checked.
  static DIDInfo create(std::string id, std::span<const uint8_t> public_key,
                        std::optional<std::span<const uint8_t>> seed, bool public_did,
                        std::optional<Metadata> metadata);

  bool operator==(const DIDInfo&) const = default;
};

// The JSON value: {"id","metadata","publicDID","publicKey","seed"} (ascending order).
nlohmann::json serialize(const DIDInfo& info);
// Envelope payloads (the agent's answers).
std::string payload_json(const DIDInfo& info);
std::string payload_json(const std::vector<DIDInfo>& infos);

// Reading: an object, or an array of five elements.
JsonResult<DIDInfo> did_info_from_text(std::string_view text);
JsonResult<DIDInfo> did_info_from_value(const nlohmann::json& value);

}  // namespace velno
