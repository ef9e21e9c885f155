// The fourteen C exports: checks in their fixed order, copies, the work, one envelope.
#include <cstdio>
#include <cstring>
#include <memory>
#include <optional>
#include <string>
#include <string_view>

#include "agent/agent_registry.hpp"
#include "agent/agent_tasks.hpp"
#include "agent/export_frame.hpp"
#include "agent/log_sink.hpp"
#include "agent/password_provider.hpp"
#include "common/envelope.hpp"
#include "common/host_text.hpp"
#include "common/local_dir_supplier.hpp"
#include "common/log.hpp"
#include "common/utf8.hpp"
#include "velno_core.h"
#include "wallet/record_encryption.hpp"

using namespace velno;

namespace velno {

char* internal_error_answer() noexcept {
  try {
    return static_error_to_host_json(DidErrorKind::General, "Internal error");
  } catch (...) {
    // Building the envelope needs memory too; this copy needs only malloc.
    return string_to_host_text(R"({"code":"General","value":"Internal error"})");
  }
}

char* out_of_memory_answer() noexcept { return string_to_host_text(R"({"code":"General","value":"Out of memory"})"); }

}  // namespace velno

namespace {

constexpr std::size_t kMaxDataText = 5120;
// A datum is sealed as its Base64 text in a JSON string: every datum accepted fits.
static_assert(kMaxDataText + 2 <= kMaxSealedPlaintextBytes);

char* invalid_parameter(const char* message) {
  return static_error_to_host_json(DidErrorKind::InvalidParameter, message);
}

// A data key goes into the wallet file as a JSON string, which holds UTF-8 only: any
// other key would not be found again once the file is read back. The EncodingError
// answer, or null for a valid key.
char* refuse_invalid_key(const std::string& key) {
  auto fault = check_utf8(key);
  if (!fault) return nullptr;
  return result_to_host_json(DidResult<void>(DidError::from_utf8_error(*fault)));
}

std::optional<SecretBytes> copy_seed(const char* seed) {
  if (seed == nullptr) return std::nullopt;
  return SecretBytes(std::string_view(seed));
}

// Each line is written whole, even while other threads print.
void print_line(const char* line) {
  flockfile(stdout);
  std::fputs(line, stdout);
  std::fputc('\n', stdout);
  funlockfile(stdout);
}

}  // namespace

extern "C" {

VELNO_API char* explain_error_code(const char* error_code) {
  return export_frame([&] {
    if (error_code == nullptr) return invalid_parameter("Invalid Parameter for error_code");
    return result_to_host_json(describe_error_code(host_text_to_string(error_code)));
  });
}

VELNO_API char* set_velno_home_path(const char* local_dir) {
  return export_frame([&] {
    if (local_dir == nullptr) return invalid_parameter("Invalid Parameter for local_dir");
    return result_to_host_json(set_local_dir(host_text_to_string(local_dir)));
  });
}

VELNO_API char* init_logging(uint32_t level, LogCallback callback) {
  return export_frame([&] {
    print_line("velno-core init logging");
    if (callback == nullptr) {
      print_line("Callback is empty");
      std::fflush(stdout);
      return invalid_parameter("Callback cannot be Empty.");
    }
    print_line("Unwrap callback");
    print_line("Get level");
    std::size_t limited = level < 5 ? level : 5;
    print_line("Init simple logger");
    auto sink = std::make_shared<LogSinkFn>(LogSink(callback));
    DidResult<void> installed = init_host_logger(limited, std::move(sink));
    if (!installed.ok()) {
      std::string line = "Cannot configure logger " + installed.error().fmt_display();
      print_line(line.c_str());
    }
    print_line("Done Init simple logger. Extern.");
    char* answer = result_to_host_json(DidResult<void>());
    print_line("Result exteranalized");
    std::fflush(stdout);
    return answer;
  });
}

VELNO_API char* create_agent(const char* alias, const char* seed, PasswordCallback password_callback) {
  return export_frame([&] {
    if (password_callback == nullptr) return invalid_parameter("Wallet password callback cannot be NULL");
    PasswordProvider password(password_callback);
    if (alias == nullptr) return invalid_parameter("Invalid Parameter for alias");
    std::string alias_text = host_text_to_string(alias);
    // The alias is part of a file name in the wallet directory: a "/" would lead elsewhere.
    if (alias_text.find('/') != std::string::npos) return invalid_parameter("Invalid Parameter for alias");
    return register_agent(std::move(alias_text), copy_seed(seed), password);
  });
}

VELNO_API char* create_did(uint64_t handle, const char* seed) {
  return committing_export_frame([&] { return with_agent(handle, create_did_task(copy_seed(seed))); });
}

VELNO_API char* list_dids(uint64_t handle) {
  return export_frame([&] { return with_agent(handle, list_dids_task()); });
}

VELNO_API char* get_default_did(uint64_t handle) {
  return export_frame([&] { return with_agent(handle, get_default_did_task()); });
}

VELNO_API char* get_did_info(uint64_t handle, const char* did) {
  return export_frame([&] { return with_agent(handle, get_did_info_task(did)); });
}

VELNO_API char* sign(uint64_t handle, const char* data) {
  return export_frame([&] { return with_agent(handle, sign_task(data)); });
}

VELNO_API char* sign_with_did(uint64_t handle, const char* did, const char* data) {
  return export_frame([&] { return with_agent(handle, sign_with_did_task(did, data)); });
}

VELNO_API char* verify_with_did_public_key(uint64_t handle, const char* public_key, const char* data,
                                           const char* signature) {
  return export_frame(
      [&] { return with_agent(handle, verify_with_did_public_key_task(public_key, data, signature)); });
}

VELNO_API char* change_password(uint64_t handle, PasswordCallback new_password_callback) {
  return export_frame([&] {
    if (new_password_callback == nullptr) return invalid_parameter("Invalid Parameter for $dst");
    return with_agent(handle, change_password_task(new_password_callback));
  });
}

VELNO_API char* wallet_store_data(uint64_t handle, const char* key, const char* data) {
  return export_frame([&] {
    if (key == nullptr) return invalid_parameter("Invalid Parameter for key");
    std::string key_text = host_text_to_string(key);
    if (data == nullptr) return invalid_parameter("Invalid Parameter for data");
    SecretBytes data_text{std::string_view(data)};
    if (data_text.size() > kMaxDataText) return invalid_parameter("Data size cannot be larger than 5K");
    if (char* refused = refuse_invalid_key(key_text)) return refused;
    return with_agent(handle, wallet_store_data_task(std::move(key_text), std::move(data_text)));
  });
}

VELNO_API char* wallet_get_data(uint64_t handle, const char* key) {
  return export_frame([&] {
    if (key == nullptr) return invalid_parameter("Invalid Parameter for key");
    std::string key_text = host_text_to_string(key);
    if (char* refused = refuse_invalid_key(key_text)) return refused;
    return with_agent(handle, wallet_get_data_task(std::move(key_text)));
  });
}

}  // extern "C"
