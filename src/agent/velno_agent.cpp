#include "agent/velno_agent.hpp"

#include <algorithm>

#include "common/base64.hpp"
#include "common/log.hpp"

namespace velno {

DidResult<std::unique_ptr<Agent>> Agent::open(std::string alias, std::optional<std::span<const uint8_t>> seed,
                                              PasswordProvider password) {
  VELNO_TRACE(kTargetAgent, "Open QXD agent ", alias);
  VELNO_TRACE(kTargetAgent, "create agent ", alias);
  std::string name = "qxdwallet_" + alias;
  BroxFileSystemStorage storage(name);
  VELNO_TRY_ASSIGN(std::unique_ptr<Wallet> wallet, Wallet::create(name, PasswordFn(password), std::move(storage)));
  std::unique_ptr<Agent> agent(new Agent(std::move(wallet)));
  // The DID is not part of the answer: the host learns it from list_dids or create_did.
  // The opening's DID may take the room that every later write leaves free, and a full
  // wallet that holds a DID opens without a seed without adding one.
  VELNO_TRY(agent->wallet_->create_opening_did(seed));
  VELNO_TRACE(kTargetAgent, "Wallet instance created");
  return agent;
}

DidResult<DIDInfo> Agent::create_did(std::optional<SecretBytes> seed) const {
  if (!seed) return wallet_->create_did(std::nullopt, std::nullopt);
  return wallet_->create_did(seed->span(), std::nullopt);
}

DidResult<std::vector<DIDInfo>> Agent::list_dids() const {
  VELNO_TRY_ASSIGN(auto dids, wallet_->query_by_type(RecordType::Did));
  VELNO_TRY_ASSIGN(auto public_dids, wallet_->query_by_type(RecordType::PublicDid));
  std::vector<DIDInfo> out;
  out.reserve(dids.size() + public_dids.size());
  for (auto& r : dids) out.push_back(std::move(r.value));
  for (auto& r : public_dids) out.push_back(std::move(r.value));
  return out;
}

DidResult<std::vector<uint8_t>> Agent::sign(std::span<const uint8_t> data) const {
  VELNO_TRY_ASSIGN(DIDInfo did, wallet_->default_did());
  return wallet_->sign_with_did(did.id, data);
}

DidResult<std::vector<uint8_t>> Agent::sign_with_did(const std::string& did, std::span<const uint8_t> data) const {
  VELNO_TRY_ASSIGN(DIDInfo info, wallet_->get_did_info(did));
  // The key is looked up by the id the wallet stored, not by the caller's text.
  return wallet_->sign_with_did(info.id, data);
}

DidResult<void> Agent::store_data(const std::string& key, std::span<const uint8_t> data) const {
  // The value is the canonical Base64 text as a JSON string; Base64 needs no escaping.
  const SecretString text = base64_encode_secret(data);
  SecretBytes value_json(text.size() + 2);
  value_json.data()[0] = '"';
  std::copy(text.begin(), text.end(), value_json.data() + 1);
  value_json.data()[text.size() + 1] = '"';
  return wallet_->store_encrypted(key, record_type_name<StringValue>(), RecordType::PrivateData,
                                  std::move(value_json));
}

DidResult<std::string> Agent::get_data(const std::string& key) const {
  VELNO_TRY_ASSIGN(auto record, wallet_->get_record<StringValue>(key));
  if (!record) return DidError::with_message(DidErrorKind::RecordNotFound, "No data with key " + key);
  return std::move(record->value.text);
}

}  // namespace velno
