#include "common/did_error.hpp"

#include <array>

#include "common/base58.hpp"
#include "common/io_error.hpp"
#include "common/json_error.hpp"
#include "common/utf8.hpp"

namespace velno {

namespace {

struct KindInfo {
  std::string_view name;
  std::string_view description;
};

// Indexed by the kind's number; the order is the enum's.
constexpr std::array<KindInfo, kDidErrorKindCount> kKinds{{
    {"OK", "No Error"},
    {"General", "General error, not registered with a code"},
    {"AgentNotRegistered", "The agent is not registered to the ledger"},
    {"JsonProcessing", "Invalid JSON structure"},
    {"InvalidStructure", "Invalid data structure"},
    {"InvalidParameter", "The provided parameter is invalid"},
    {"Unimplemented", "The functionality is not implemented"},
    {"RecordNotFound", "The record was not found in the wallet or the ledger"},
    {"Ledger", "A ledger related problem occurred"},
    {"FendraError", "Fendra API reported an issue"},
    {"FendraIndyError", "Fendra API reported an indy api related issue"},
    {"DidComm", "A problem ocurred during did comm protocol"},
    {"EncodingError", "Data cannot be encoded"},
    {"ValueRequired", "A mandatory value is missing"},
    {"ConversionError", "Cannot convert between units"},
    {"InvalidState", "The current state is not consistent"},
    {"SyncError", "Synchornization with the ledger failed"},
    {"BroxError", "Wallet related error"},
    {"WalletFile", "Wallet file is missing"},
    {"WalletAlreadyExist", "Wallet file is already existing"},
    {"WalletNotFound", "Wallet is missing"},
    {"WalletCouldNotSign", "Cannot sign the transaction"},
    {"WalletInvalidSignature", "The signature cannot be verified"},
    {"WalletCouldNotGenerateKeyPair",
     "Cannot generate keypair, please make sure that the hardware matches the minimum requirements"},
    {"WalletLoginFailed", "Cannot login to wallet"},
    {"AnonCreds", "Anoncreds related error"},
    {"Crypto", "A cryptologic operatin failed"},
    {"RevocationRegistryFull",
     "The credential definition has reached its maximum capacity for revocations. Please create a new "
     "credential definition"},
    {"ProofRejected", "Proof is not valid"},
    {"InvalidUserRevocId", "Revocation registry id is invalid"},
    {"IO", "An IO Error Occurred"},
    {"InvalidGenesisFile", "The genesis file doesn't exist or is invalid"},
}};

const KindInfo& info(DidErrorKind kind) {
  auto i = static_cast<uint32_t>(kind);
  // Only the enum's own values reach here; anything else reads as General.
  return kKinds[i < kDidErrorKindCount ? i : 1];
}

constexpr const char* kPoisonedMessage =
    "Mutex lock failed, poisonous guard poisoned lock: another task failed inside";

}  // namespace

std::string_view kind_name(DidErrorKind kind) { return info(kind).name; }

std::string kind_display(DidErrorKind kind) {
  std::string out = "(";
  out.append(kind_name(kind));
  out.push_back(')');
  return out;
}

std::string_view kind_description(DidErrorKind kind) { return info(kind).description; }

nlohmann::json kind_serialize(DidErrorKind kind) { return std::string(kind_name(kind)); }

std::string_view DidError::Inner::text() const {
  if (const auto* s = std::get_if<std::string>(&message)) return *s;
  return std::get<const char*>(message);
}

DidError DidError::with_message(DidErrorKind kind, std::string message) {
  std::string raw = message;
  auto ctx = std::make_shared<const Context>(Context{kind, Inner{std::move(message)}});
  return DidError(std::move(raw), std::move(ctx));
}

DidError DidError::with_static_message(DidErrorKind kind, const char* message) {
  auto ctx = std::make_shared<const Context>(Context{kind, Inner{message}});
  return DidError(std::string(message), std::move(ctx));
}

DidError DidError::from_base58_error(const Base58Error& e) {
  return with_message(DidErrorKind::ConversionError, e.text());
}

DidError DidError::from_io_error(const IoError& e) { return with_message(DidErrorKind::IO, e.debug_text()); }

DidError DidError::from_json_error(const JsonError& e) {
  return with_message(DidErrorKind::JsonProcessing, e.text());
}

DidError DidError::from_utf8_error(const Utf8Error& e) {
  return with_message(DidErrorKind::EncodingError, e.text());
}

DidError DidError::from_string(std::string text) { return with_message(DidErrorKind::EncodingError, std::move(text)); }

DidError DidError::from_poison_error() { return with_static_message(DidErrorKind::SyncError, kPoisonedMessage); }

// A moved-from error has no context; reading it must still not crash.
DidErrorKind DidError::kind() const { return inner_ ? inner_->kind : DidErrorKind::General; }

std::string DidError::fmt_display() const {
  std::string out = "Error: ";
  out.append(kind_display(kind()));
  out.append("\n  Caused by: ");
  out.append(inner_ ? inner_->cause.text() : std::string_view(raw_message_));
  out.push_back('\n');
  return out;
}

nlohmann::json DidError::serialize() const {
  nlohmann::json j = nlohmann::json::object();
  j["code"] = kind_serialize(kind());
  j["msg"] = raw_message_;
  return j;
}

nlohmann::json DidResultCodeDescription::serialize() const {
  nlohmann::json j = nlohmann::json::object();
  j["code"] = code;
  j["description"] = description;
  return j;
}

DidResult<DidResultCodeDescription> describe_error_code(std::string name) {
  for (const KindInfo& k : kKinds) {
    if (k.name == name) return DidResultCodeDescription{std::move(name), std::string(k.description)};
  }
  return DidError::with_static_message(DidErrorKind::InvalidParameter, "Unknown error code");
}

}  // namespace velno
