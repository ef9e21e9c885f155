// The error vocabulary of the library: 32 kinds and the one error value.
#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <string_view>
#include <variant>

#include <nlohmann/json.hpp>

#include "common/result.hpp"

namespace velno {

struct IoError;
struct JsonError;
struct Base58Error;
struct Utf8Error;

enum class DidErrorKind : uint32_t {
  OK = 0,
  General,
  AgentNotRegistered,
  JsonProcessing,
  InvalidStructure,
  InvalidParameter,
  Unimplemented,
  RecordNotFound,
  Ledger,
  FendraError,
  FendraIndyError,
  DidComm,
  EncodingError,
  ValueRequired,
  ConversionError,
  InvalidState,
  SyncError,
  BroxError,
  WalletFile,
  WalletAlreadyExist,
  WalletNotFound,
  WalletCouldNotSign,
  WalletInvalidSignature,
  WalletCouldNotGenerateKeyPair,
  WalletLoginFailed,
  AnonCreds,
  Crypto,
  RevocationRegistryFull,
  ProofRejected,
  InvalidUserRevocId,
  IO,
  InvalidGenesisFile,
};

inline constexpr uint32_t kDidErrorKindCount = 32;

// The kind's name, as every JSON text writes it ("IO", "WalletLoginFailed", ...).
std::string_view kind_name(DidErrorKind kind);          // DidErrorKind::fmt_debug
std::string kind_display(DidErrorKind kind);            // DidErrorKind::fmt_display: "(<name>)"
std::string_view kind_description(DidErrorKind kind);
nlohmann::json kind_serialize(DidErrorKind kind);       // DidErrorKind::serialize

// The error value. Move-only: an error is moved from where it is made to the export
// that reports it, never copied.
class DidError {
 public:
  static DidError with_message(DidErrorKind kind, std::string message);
  static DidError with_static_message(DidErrorKind kind, const char* message);

  static DidError from_base58_error(const Base58Error& e);
  static DidError from_io_error(const IoError& e);
  static DidError from_json_error(const JsonError& e);
  static DidError from_utf8_error(const Utf8Error& e);
  static DidError from_string(std::string text);
  static DidError from_poison_error();

  DidError(DidError&&) noexcept = default;
  DidError& operator=(DidError&&) noexcept = default;
  DidError(const DidError&) = delete;
  DidError& operator=(const DidError&) = delete;

  DidErrorKind kind() const;
  const std::string& raw_message() const { return raw_message_; }

  // "Error: (<kind>)\n  Caused by: <message>\n"
  std::string fmt_display() const;
  // {"code":"<kind>","msg":"<raw_message>"}
  nlohmann::json serialize() const;

 private:
  struct Inner {
    std::variant<std::string, const char*> message;
    std::string_view text() const;
  };
  struct Context {
    DidErrorKind kind;
    Inner cause;
  };
  DidError(std::string raw, std::shared_ptr<const Context> inner)
      : raw_message_(std::move(raw)), inner_(std::move(inner)) {}

  std::string raw_message_;
  std::shared_ptr<const Context> inner_;
};

template <class T>
using DidResult = Result<T, DidError>;

// The two ways an error kind name is looked up by the host.
struct DidResultCodeDescription {
  std::string code;
  std::string description;
  nlohmann::json serialize() const;  // {"code":...,"description":...}
};

// Finds the description of a kind by its exact name; "Unknown error code" otherwise.
DidResult<DidResultCodeDescription> describe_error_code(std::string name);

}  // namespace velno
