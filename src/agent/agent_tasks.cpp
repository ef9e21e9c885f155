#include "agent/agent_tasks.hpp"

#include "common/base58.hpp"
#include "common/base64.hpp"
#include "common/host_text.hpp"
#include "wallet/brox_wallet.hpp"

namespace velno {

namespace {

constexpr const char* kBadDid = "Invalid Parameter for did";
constexpr const char* kBadData = "Invalid Parameter for data";
constexpr const char* kBadPublicKey = "Invalid Parameter for public_key";
constexpr const char* kBadSignature = "Invalid Parameter for signature";

// A host text, copied once the agent is found (an unknown handle reads none) and just
// before it is used, so that NULL texts are answered in the order of the arguments.
DidResult<std::string> copy_text(const char* text, const char* message_if_null) {
  if (text == nullptr) return DidError::with_static_message(DidErrorKind::InvalidParameter, message_if_null);
  return host_text_to_string(text);
}

DidResult<std::vector<uint8_t>> decode_base64(const char* text, const char* message_if_null,
                                              const char* message_on_failure) {
  VELNO_TRY_ASSIGN(std::string copy, copy_text(text, message_if_null));
  auto bytes = base64_decode(copy);
  if (!bytes.ok()) return DidError::with_static_message(DidErrorKind::ConversionError, message_on_failure);
  return std::move(bytes).value();
}

DidResult<std::string> signature_text(DidResult<std::vector<uint8_t>> signature) {
  if (!signature.ok()) return std::move(signature).error();
  return base64_encode(signature.value());
}

}  // namespace

AgentTask<DIDInfo> create_did_task(std::optional<SecretBytes> seed) {
  return AgentTask<DIDInfo>(
      [seed = std::move(seed)](const Agent& agent) mutable { return agent.create_did(std::move(seed)); });
}

AgentTask<std::vector<DIDInfo>> list_dids_task() {
  return AgentTask<std::vector<DIDInfo>>([](const Agent& agent) { return agent.list_dids(); });
}

AgentTask<DIDInfo> get_default_did_task() {
  return AgentTask<DIDInfo>([](const Agent& agent) { return agent.wallet().default_did(); });
}

AgentTask<DIDInfo> get_did_info_task(const char* did) {
  return AgentTask<DIDInfo>([did](const Agent& agent) -> DidResult<DIDInfo> {
    VELNO_TRY_ASSIGN(std::string did_text, copy_text(did, kBadDid));
    return agent.wallet().get_did_info(did_text);
  });
}

AgentTask<std::string> sign_task(const char* data) {
  return AgentTask<std::string>([data](const Agent& agent) -> DidResult<std::string> {
    VELNO_TRY_ASSIGN(std::vector<uint8_t> bytes, decode_base64(data, kBadData, "Invalid base64 encoding"));
    return signature_text(agent.sign(bytes));
  });
}

AgentTask<std::string> sign_with_did_task(const char* did, const char* data) {
  return AgentTask<std::string>([did, data](const Agent& agent) -> DidResult<std::string> {
    VELNO_TRY_ASSIGN(std::string did_text, copy_text(did, kBadDid));
    VELNO_TRY_ASSIGN(std::vector<uint8_t> bytes, decode_base64(data, kBadData, "Invalid base64 encoding"));
    return signature_text(agent.sign_with_did(did_text, bytes));
  });
}

AgentTask<bool> verify_with_did_public_key_task(const char* public_key, const char* data, const char* signature) {
  // The agent plays no part: every registered handle answers alike.
  return AgentTask<bool>([public_key, data, signature](const Agent&) -> DidResult<bool> {
    VELNO_TRY_ASSIGN(std::string key_text, copy_text(public_key, kBadPublicKey));
    // A key text longer than any 32-byte key's is not decoded: it never verifies.
    auto key = base58_decode(key_text, kPublicKeyBytes);
    if (!key.ok()) return DidError::with_static_message(DidErrorKind::ConversionError, "Invalid base58 encoded public key");
    VELNO_TRY_ASSIGN(std::vector<uint8_t> message, decode_base64(data, kBadData, "Invalid base64 encoded sign data"));
    VELNO_TRY_ASSIGN(std::vector<uint8_t> sig, decode_base64(signature, kBadSignature, "Invalid base64 encoded signature"));
    if (!*key) return false;
    // A signature that does not verify is an answer, not a failure.
    return verify_signature(sig, message, **key).ok();
  });
}

AgentTask<void> change_password_task(PasswordCallback new_password_callback) {
  return AgentTask<void>([new_password_callback](const Agent& agent) {
    return agent.wallet().change_password(PasswordFn(PasswordProvider(new_password_callback)));
  });
}

AgentTask<void> wallet_store_data_task(std::string key, SecretBytes data) {
  return AgentTask<void>([key = std::move(key), data = std::move(data)](const Agent& agent) mutable -> DidResult<void> {
    auto plain = base64_decode_secret(data.view());
    data = SecretBytes();
    if (!plain.ok()) return DidError::from_string(std::move(plain).error().message);
    return agent.store_data(key, plain.value().span());
  });
}

AgentTask<DidResult<std::string>> wallet_get_data_task(std::string key) {
  return AgentTask<DidResult<std::string>>(
      [key = std::move(key)](const Agent& agent) -> DidResult<DidResult<std::string>> { return agent.get_data(key); });
}

}  // namespace velno
