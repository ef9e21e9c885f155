// Every export with hostile texts: invalid UTF-8, long texts, random bytes. One agent is
// registered at start-up in a temporary home, so that agent calls reach their tasks.
// Every answer must be a JSON envelope {"code":<string>[,"value":...]}.
//
// Input: the first byte picks the export and its variant; the rest, split at NUL
// bytes, gives up to four texts. Calls that cost an Argon2id derivation (new DIDs and
// agents, stores, fetches and signatures of stored records, password changes) run only
// when the selector's high nibble is 0xF and the budget lasts, so throughput stays high
// and the wallet stays small.
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <set>
#include <string>
#include <vector>

#include <nlohmann/json.hpp>

#include "common/base64.hpp"
#include "envelope_check.hpp"
#include "velno_core.h"

namespace {

constexpr const char* kAlias = "fuzz";
constexpr const char* kSeed = "exports-fuzz-seed-0123456789abcdef";
constexpr const char* kPasswords[] = {"fuzz-password-0", "fuzz-password-1"};
constexpr uint64_t kUnknownHandle = 7;

std::string root;  // the fuzzer's own temporary directory, removed at exit
std::string home;  // the agent's home inside it
uint64_t handle = 0;
int password = 0;
int costly_budget = 100;
int costly_calls = 0;
std::set<std::string> known_dids;    // DIDs whose key pair a signature would decrypt
std::set<std::string> stored_keys;   // keys whose fetch would decrypt

const char* password_cb() { return kPasswords[password]; }
const char* other_password_cb() { return kPasswords[1 - password]; }

void log_cb(uint32_t, char* message) {
  if (message == nullptr) __builtin_trap();
  std::free(message);
}

nlohmann::json check(char* raw) { return velno::fuzz::check_envelope(raw); }

// A home path from the input, kept inside the temporary directory: every directory that
// setting it makes stays there, relative or absolute ("/x" becomes <root>//x), with no
// ".." to climb out.
std::string inside_root(const std::string& text) {
  if (text.empty()) return text;
  std::string path = text;
  for (std::size_t at = path.find(".."); at != std::string::npos; at = path.find("..", at)) path[at] = '_';
  return root + "/paths/" + path;
}

void finish() {
  std::fprintf(stderr, "exports_fuzz: %d inputs took the costly paths\n", costly_calls);
  std::error_code ec;
  std::filesystem::remove_all(root, ec);
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
  std::string tmpl = (std::filesystem::temp_directory_path() / "velno-exports-fuzz-XXXXXX").string();
  if (mkdtemp(tmpl.data()) == nullptr) std::abort();
  root = tmpl;
  home = root + "/home";
  std::atexit(finish);
  if (const char* budget = std::getenv("VELNO_FUZZ_COSTLY_CALLS")) costly_budget = std::atoi(budget);
  check(init_logging(5, log_cb));
  check(set_velno_home_path(home.c_str()));
  auto agent = check(create_agent(kAlias, kSeed, password_cb));
  if (agent["code"] != "OK") std::abort();
  handle = agent["value"]["handle"].get<uint64_t>();
  auto did = check(create_did(handle, kSeed));
  known_dids.insert(did["value"]["id"].get<std::string>());
  return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, std::size_t size) {
  if (size == 0) return 0;
  const uint8_t selector = data[0];
  std::vector<std::string> texts(4);
  std::size_t t = 0;
  for (std::size_t i = 1; i < size; ++i) {
    if (data[i] == 0) {
      if (++t == texts.size()) break;
    } else {
      texts[t].push_back(static_cast<char>(data[i]));
    }
  }
  const char* a = texts[0].c_str();
  const char* b = texts[1].c_str();
  const char* c = texts[2].c_str();
  bool costly = (selector & 0xF0) == 0xF0 && costly_budget > 0;
  if (costly) {
    --costly_budget;
    ++costly_calls;
  }
  // Cheap calls use the registered agent; a costly call without leave only meets the
  // export's checks and the handle lookup.
  const uint64_t cheap_or_unknown = costly ? handle : kUnknownHandle;
  const bool odd = selector & 0x10;

  switch (selector % 15) {
    case 0: check(explain_error_code(odd ? nullptr : a)); break;
    case 1: {
      // Moved and straight back: no wallet file is touched in between.
      const std::string path = inside_root(texts[0]);
      check(set_velno_home_path(odd ? nullptr : path.c_str()));
      check(set_velno_home_path(home.c_str()));
      break;
    }
    case 2:
      if (costly) check(init_logging(static_cast<uint32_t>(texts[0].size()), odd ? nullptr : log_cb));
      else check(init_logging(0, nullptr));
      break;
    case 3: {
      // The known alias answers its handle without opening anything.
      std::string alias = costly ? texts[0] : kAlias;
      for (char& ch : alias)
        if (ch == '/') ch = '_';   // an alias is part of a file name
      check(create_agent(odd ? nullptr : alias.c_str(), texts[1].empty() ? nullptr : b,
                         texts[2].empty() ? nullptr : password_cb));
      break;
    }
    case 4: {
      auto j = check(create_did(cheap_or_unknown, odd ? nullptr : a));
      if (j["code"] == "OK") known_dids.insert(j["value"]["id"].get<std::string>());
      break;
    }
    case 5: check(list_dids(odd ? kUnknownHandle : handle)); break;
    case 6: check(get_default_did(odd ? kUnknownHandle : handle)); break;
    // Texts of an unknown handle's call are never read, so they may be null there.
    case 7: check(get_did_info(odd ? kUnknownHandle : handle, odd ? nullptr : a)); break;
    case 8: check(sign(odd ? kUnknownHandle : handle, odd ? nullptr : a)); break;
    case 9: {
      const bool decrypts = known_dids.count(texts[0]) && velno::base64_decode(texts[1]).ok();
      check(sign_with_did(decrypts ? cheap_or_unknown : handle, a, b));
      break;
    }
    case 10: check(verify_with_did_public_key(odd ? kUnknownHandle : handle, a, odd ? nullptr : b, c)); break;
    case 11: {
      // Two derivations per encrypted record: only while the wallet is small.
      const bool small = known_dids.size() + stored_keys.size() < 8;
      auto j = check(change_password(small ? cheap_or_unknown : kUnknownHandle, odd ? nullptr : other_password_cb));
      if (j["code"] == "OK" && small && cheap_or_unknown == handle) password = 1 - password;
      break;
    }
    case 12: {
      const bool seals = texts[1].size() <= 5120 && velno::base64_decode(texts[1]).ok();
      auto j = check(wallet_store_data(seals ? cheap_or_unknown : handle, odd ? nullptr : a, b));
      if (j["code"] == "OK") stored_keys.insert(texts[0]);
      break;
    }
    case 13: check(wallet_get_data(stored_keys.count(texts[0]) ? cheap_or_unknown : handle, odd ? nullptr : a)); break;
    default:
      // Long texts of every kind through the cheap paths.
      check(get_did_info(handle, std::string(4096 + size, static_cast<char>(selector)).c_str()));
      check(verify_with_did_public_key(handle, b, std::string(6000, 'A').c_str(), a));
      check(wallet_store_data(handle, a, std::string(5121, 'A').c_str()));
      break;
  }
  return 0;
}
