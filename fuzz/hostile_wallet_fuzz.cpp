// Each input is an existing wallet file: written under a new alias, opened through
// create_agent with the seed of the wallets below, and used through the C interface:
// list_dids, get_did_info, sign_with_did and verify_with_did_public_key for its DIDs,
// wallet_get_data for its data records, a store, and, when the input asks, a change of
// password. Every answer must be an envelope; a write answered with a failure must leave
// the file as it was, and a change of password no undo copy; and an input must not take
// more than kInputCpuSeconds of the process's CPU time (CPU, not wall-clock: a loaded
// machine slows an input, it does not make it cost more; the library starts no thread),
// so that a text whose handling grows faster than its length fails here, while it runs,
// rather than stalling a host.
//
// Input: byte 0 holds flags (bit 0: change the password at the end); the low four bits of
// byte 1 an exponent s, and byte 2 an index k: when s is 1 to 15, the k-th JSON string of the text (counting
// from 0, modulo their number) has its content repeated to 32 << s bytes (up to 1 MiB),
// which no input of the bounded length could reach. The rest is the wallet file's text.
//
// Keys are derived with the library's fast stand-in (test_hooks::fast_key_derivation),
// so the seed wallets in corpus/hostile_wallet_fuzz were written by this target itself:
//   VELNO_FUZZ_WRITE_SEEDS=<dir> hostile_wallet_fuzz
// writes them into <dir> and exits.
#include <time.h>

#include <atomic>
#include <chrono>

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <string>
#include <string_view>
#include <thread>
#include <utility>
#include <vector>

#include <nlohmann/json.hpp>

#include "envelope_check.hpp"
#include "velno_core.h"
#include "wallet/record_encryption.hpp"

namespace {

namespace fs = std::filesystem;
using nlohmann::json;

constexpr const char* kSeed = "hostile-wallet-fuzz-seed-0123456789";
constexpr const char* kPassword = "hostile wallet fuzz password";
constexpr const char* kNewPassword = "hostile wallet fuzz password, changed";
constexpr const char* kData = "QUJD";
// Under AddressSanitizer an input of 1 MiB costs under a second; a decoding that grows
// with the square of its length costs minutes there.
constexpr int64_t kInputCpuSeconds = 10;
constexpr std::size_t kHeaderBytes = 3;
// Agents live until the process ends, and with them what they read: stretched texts
// stop once this much has been made.
constexpr std::size_t kStretchBudget = std::size_t{128} << 20;

std::string root;  // the fuzzer's own temporary directory, removed at exit
std::string home;
uint64_t next_alias = 0;
std::size_t stretched = 0;
// The running input's start in the process's CPU time (0 between inputs), and its call.
std::atomic<int64_t> input_started_ns{0};
std::atomic<const char*> running_call{""};

const char* password_cb() { return kPassword; }
const char* new_password_cb() { return kNewPassword; }

void log_cb(uint32_t, char* message) {
  if (message == nullptr) __builtin_trap();
  std::free(message);
}

int64_t process_cpu_ns() {
  timespec ts{};
  clock_gettime(CLOCK_PROCESS_CPUTIME_ID, &ts);
  return static_cast<int64_t>(ts.tv_sec) * 1000000000 + ts.tv_nsec;
}

// Looks at the running input's cost ten times a second; traps (and libFuzzer keeps the
// input) once it is over the bound, without waiting for the call to end.
[[noreturn]] void watch_inputs() {
  for (;;) {
    std::this_thread::sleep_for(std::chrono::milliseconds(100));
    const int64_t started = input_started_ns.load();
    if (started != 0 && process_cpu_ns() - started > kInputCpuSeconds * 1000000000) {
      std::fprintf(stderr, "an input has taken over %lld s of CPU, in %s\n", static_cast<long long>(kInputCpuSeconds),
                   running_call.load());
      __builtin_trap();
    }
  }
}

// One export's call and its answer, checked.
template <class F>
json answer(const char* what, F&& call) {
  running_call = what;
  return velno::fuzz::check_envelope(call());
}

std::string file_bytes(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  return std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

// Where the JSON strings of `text` hold their content: [begin, end) of the bytes between
// the quotes, escapes skipped over.
std::vector<std::pair<std::size_t, std::size_t>> string_contents(const std::string& text) {
  std::vector<std::pair<std::size_t, std::size_t>> out;
  for (std::size_t i = text.find('"'); i != std::string::npos; i = text.find('"', i + 1)) {
    const std::size_t begin = ++i;
    while ((i = text.find_first_of("\"\\", i)) != std::string::npos && text[i] == '\\') i += 2;
    if (i >= text.size()) break;
    out.emplace_back(begin, i);
  }
  return out;
}

// The k-th string's content repeated to `length` bytes.
void stretch(std::string& text, std::size_t k, std::size_t length) {
  const auto strings = string_contents(text);
  if (strings.empty()) return;
  const auto [begin, end] = strings[k % strings.size()];
  // The content holds whole escapes only, so its repetition is a JSON string too.
  const std::string unit = text.substr(begin, end - begin);
  if (unit.empty() || length <= unit.size() || stretched + length > kStretchBudget) return;
  std::string longer;
  longer.reserve(length + unit.size());
  while (longer.size() < length) longer += unit;
  stretched += longer.size();
  text.replace(begin, end - begin, longer);
}

bool is_ok(const json& j) { return j["code"] == "OK"; }

void use_wallet(const std::string& alias, const std::string& text, bool change) {
  const std::string path = home + "/brox-wallet/qxdwallet_" + alias + ".json";
  const std::string undo = home + "/brox-wallet/qxdwallet_" + alias + "-undo.json";
  {
    std::ofstream out(path, std::ios::binary);
    out << text;
  }
  const json opened = answer("create_agent", [&] { return create_agent(alias.c_str(), kSeed, password_cb); });
  if (!is_ok(opened)) {
    fs::remove(path);
    return;
  }
  const uint64_t h = opened["value"]["handle"].get<uint64_t>();

  const json dids = answer("list_dids", [&] { return list_dids(h); });
  if (is_ok(dids) && dids["value"].is_array()) {
    int n = 0;
    for (const json& info : dids["value"]) {
      if (++n > 3) break;
      if (!info.is_object() || !info["id"].is_string()) continue;
      const std::string id = info["id"];
      answer("get_did_info", [&] { return get_did_info(h, id.c_str()); });
      const json signature = answer("sign_with_did", [&] { return sign_with_did(h, id.c_str(), kData); });
      const std::string sig = is_ok(signature) ? signature["value"].get<std::string>() : std::string(88, 'A');
      if (info["publicKey"].is_string()) {
        const std::string pk = info["publicKey"];
        answer("verify_with_did_public_key",
               [&] { return verify_with_did_public_key(h, pk.c_str(), kData, sig.c_str()); });
      }
    }
  }

  // The data records the file holds, by the record keys it names (any JSON string of
  // the form "<key>::String"; escapes are taken as written).
  int fetched = 0;
  const std::string_view suffix = "::String";
  for (const auto& [begin, end] : string_contents(text)) {
    const std::string_view name(text.data() + begin, end - begin);
    if (!name.ends_with(suffix) || ++fetched > 3) continue;
    const std::string key(name.substr(0, name.size() - suffix.size()));
    answer("wallet_get_data", [&] { return wallet_get_data(h, key.c_str()); });
  }

  std::string before = file_bytes(path);
  const json stored = answer("wallet_store_data", [&] { return wallet_store_data(h, "fuzz datum", kData); });
  if (!is_ok(stored) && file_bytes(path) != before) {
    std::fprintf(stderr, "a refused store changed the wallet file\n");
    __builtin_trap();
  }
  if (change) {
    before = file_bytes(path);
    const json changed = answer("change_password", [&] { return change_password(h, new_password_cb); });
    if (!is_ok(changed) && file_bytes(path) != before) {
      std::fprintf(stderr, "a refused change of password changed the wallet file\n");
      __builtin_trap();
    }
    if (fs::exists(undo)) {
      std::fprintf(stderr, "a change of password left its undo copy\n");
      __builtin_trap();
    }
  }
  fs::remove(path);
}

void finish() {
  std::error_code ec;
  fs::remove_all(root, ec);
}

void write_seed(const std::string& dir, const std::string& name, uint8_t flags, uint8_t exponent, std::size_t index,
                const std::string& text) {
  std::ofstream out(dir + "/" + name, std::ios::binary);
  out << static_cast<char>(flags) << static_cast<char>(exponent) << static_cast<char>(index) << text;
}

// Seed inputs from wallets the library writes: a DID of the seed with its key pair, a
// datum, a random DID; the same asking for a change of password; stretched key-pair and
// datum members; descriptions holding containers; the empty wallets.
void write_seeds(const std::string& dir) {
  fs::create_directories(dir);
  const json opened = velno::fuzz::check_envelope(create_agent("seeds", kSeed, password_cb));
  const uint64_t h = opened["value"]["handle"].get<uint64_t>();
  velno::fuzz::check_envelope(wallet_store_data(h, "k", kData));
  velno::fuzz::check_envelope(create_did(h, nullptr));
  const std::string text = file_bytes(home + "/brox-wallet/qxdwallet_seeds.json");
  write_seed(dir, "library_wallet", 0, 0, 0, text);
  write_seed(dir, "library_wallet_change", 1, 0, 0, text);

  const auto strings = string_contents(text);
  const json records = json::parse(text);
  for (const auto& [name, record] : records.items()) {
    if (!record.contains("record_security")) continue;
    const std::string kind = record["type"];
    std::vector<std::pair<std::string, std::string>> members = {{"data", record["data"]}};
    for (const auto& [member, value] : record["record_security"].items()) members.emplace_back(member, value);
    for (const auto& [member, value] : members) {
      for (std::size_t k = 0; k < strings.size() && k < 256; ++k) {
        if (text.compare(strings[k].first, strings[k].second - strings[k].first, value) != 0) continue;
        write_seed(dir, "stretched_" + kind + "_" + member, 0, 15, k, text);
        break;
      }
    }
  }
  json deep = json::array({1});
  for (int i = 1; i < 120; ++i) deep = json::array({std::move(deep)});
  const std::pair<const char*, json> descriptions[] = {
      {"array", json::array({1})}, {"object", {{"a", "b"}}}, {"deep", std::move(deep)}};
  for (const auto& [kind, metadata] : descriptions) {
    json changed = records;
    for (auto& [name, record] : changed.items())
      if (record["type"] == "Did") record["data"]["metadata"] = metadata;
    write_seed(dir, std::string("description_") + kind, 0, 0, 0, changed.dump());
  }
  write_seed(dir, "empty", 0, 0, 0, "");
  write_seed(dir, "empty_object", 1, 0, 0, "{}");
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
  std::string tmpl = (fs::temp_directory_path() / "velno-hostile-wallet-fuzz-XXXXXX").string();
  if (mkdtemp(tmpl.data()) == nullptr) std::abort();
  root = tmpl;
  home = root + "/home";
  std::atexit(finish);
  velno::test_hooks::fast_key_derivation = true;
  std::thread(watch_inputs).detach();
  velno::fuzz::check_envelope(init_logging(0, log_cb));
  velno::fuzz::check_envelope(set_velno_home_path(home.c_str()));
  fs::create_directories(home + "/brox-wallet");
  if (const char* dir = std::getenv("VELNO_FUZZ_WRITE_SEEDS")) {
    write_seeds(dir);
    std::exit(0);
  }
  return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, std::size_t size) {
  if (size < kHeaderBytes) return 0;
  input_started_ns = process_cpu_ns();
  std::string text(reinterpret_cast<const char*>(data) + kHeaderBytes, size - kHeaderBytes);
  const unsigned exponent = data[1] & 0x0F;
  if (exponent != 0) stretch(text, data[2], std::size_t{32} << exponent);
  use_wallet("w" + std::to_string(next_alias++), text, (data[0] & 1) != 0);
  input_started_ns = 0;
  return 0;
}
