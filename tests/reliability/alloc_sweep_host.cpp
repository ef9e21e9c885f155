// A host program for the allocation-failure sweep. It refuses allocations by defining
// malloc and its kin itself, which every library in the process then calls (glibc's own
// allocator stays reachable under its __libc_ names). It owns free as well: while a
// library call runs, every block freed is searched for the fixture's secrets, which
// must have been wiped before their memory went back.
//
//   alloc_sweep_host sweep HOME EXPORT LOG MODE LIMIT [FIRST LAST]
//       Opens an agent once, counts the allocations that EXPORT makes, then for each N
//       chosen (every N with LIMIT 0, else at most LIMIT spread over the range; only
//       FIRST to LAST of it if given, counted back from the end when negative) runs a
//       child that refuses the N-th allocation of EXPORT ("once") or every one from
//       the N-th on ("every"), with logging off or at TRACE (LOG "off"/"trace"). MODE
//       "twice-once"/"twice-every" counts over two calls of EXPORT in a row; MODE
//       "first-once"/"first-every" makes EXPORT the first library call of a new
//       process. The child checks the answer and that every other export still
//       answers; then the parent lists the child's home, and a fresh process checks
//       the wallets in it. Prints one line per failure; exits 1 if there was any.
//   alloc_sweep_host first BASE_WALLET CASE_HOME EXPORT LOG NTH MODE STATUS
//       The child of a "first-" mode, in a process of its own.
//   alloc_sweep_host check HOME EXPORT ACKED CODE
//       The fresh look: every acknowledged record is there, and a refused write left
//       nothing.
// EXPORT "open_existing_<kind>" opens the existing wallet with its DID's description
// changed outside the library, as a hostile file would (see kHostileDescriptions).
#include <execinfo.h>
#include <malloc.h>
#include <sys/wait.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <climits>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <functional>
#include <iterator>
#include <map>
#include <set>
#include <string>
#include <vector>

#include <sodium.h>

#include "common/base58.hpp"
#include "common/base64.hpp"
#include "alloc_refusal.hpp"
#include "host_answer.hpp"
#include "velno_core.h"
#include "wallet_inspect.hpp"

extern "C" {
void* __libc_malloc(size_t);
void* __libc_calloc(size_t, size_t);
void* __libc_realloc(void*, size_t);
void* __libc_memalign(size_t, size_t);
void __libc_free(void*);
}

namespace {

// The refusal counter: g_armed, g_count, g_nth, g_every and refuse().
using namespace velno::reliability;

// The secrets searched for in freed blocks; filled before the first library call.
struct Needle {
  const char* name;
  std::string bytes;
};
std::vector<Needle> g_needles;
// Set while a library call runs; the first secret found freed unwiped.
std::atomic<bool> g_scanning{false};
std::atomic<const char*> g_freed_secret{nullptr};
// VELNO_ALLOC_SWEEP_BACKTRACE=1: where such a block was freed, on standard error.
bool g_backtrace = false;

void scan_freed(void* p) {
  if (p == nullptr || !g_scanning.load(std::memory_order_relaxed)) return;
  const std::size_t size = malloc_usable_size(p);
  for (const Needle& n : g_needles) {
    if (memmem(p, size, n.bytes.data(), n.bytes.size()) != nullptr) {
      const char* none = nullptr;
      g_freed_secret.compare_exchange_strong(none, n.name);
      if (g_backtrace) {
        void* frames[48];
        backtrace_symbols_fd(frames, backtrace(frames, 48), STDERR_FILENO);
      }
      return;
    }
  }
}

}  // namespace

extern "C" {
void* malloc(size_t size) {
  if (refuse()) {
    errno = ENOMEM;
    return nullptr;
  }
  return __libc_malloc(size);
}
void* calloc(size_t n, size_t size) {
  if (refuse()) {
    errno = ENOMEM;
    return nullptr;
  }
  return __libc_calloc(n, size);
}
void* realloc(void* p, size_t size) {
  if (refuse()) {
    errno = ENOMEM;
    return nullptr;
  }
  if (p == nullptr || size == 0 || !g_scanning.load(std::memory_order_relaxed)) return __libc_realloc(p, size);
  // Always moved while scanning, so that the block left behind is searched like any other.
  void* moved = __libc_malloc(size);
  if (moved == nullptr) return nullptr;
  std::memcpy(moved, p, std::min(size, malloc_usable_size(p)));
  scan_freed(p);
  __libc_free(p);
  return moved;
}
void free(void* p) {
  scan_freed(p);
  __libc_free(p);
}
int posix_memalign(void** out, size_t align, size_t size) {
  if (refuse()) return ENOMEM;
  void* p = __libc_memalign(align, size);
  if (p == nullptr) return ENOMEM;
  *out = p;
  return 0;
}
void* aligned_alloc(size_t align, size_t size) {
  if (refuse()) {
    errno = ENOMEM;
    return nullptr;
  }
  return __libc_memalign(align, size);
}
void* memalign(size_t align, size_t size) {
  if (refuse()) {
    errno = ENOMEM;
    return nullptr;
  }
  return __libc_memalign(align, size);
}
}

namespace {

using velno::reliability::Answer;
using velno::reliability::take;
namespace fs = std::filesystem;

const char* const kSeed = "alloc-sweep-seed-0123456789abcdef";
const char* const kFreshSeed = "alloc-sweep-fresh-seed-0123456789";
const char* const kFaultSeed = "alloc-sweep-faulted-seed-01234567";
const char* const kOldPassword = "alloc sweep password";
const char* const kNewPassword = "alloc sweep password, changed";
// The data stored, as plaintexts; the exports take and answer their Base64.
const char* const kPreData = "the datum stored before the sweep";
const char* const kAfterData = "the datum each child stores after";
const char* const kFaultData = "the datum stored with memory refused";
// Signed data is no secret.
const char* const kSignData = "QUJD";

std::string g_pre, g_after, g_faulted;  // the Base64 texts

std::atomic<const char*> g_password{kOldPassword};
const char* password() { return g_password.load(); }
const char* new_password() { return kNewPassword; }

// A log record must never be the set-aside "Out of memory" answer.
std::atomic<bool> g_log_took_spare{false};
void on_log(uint32_t, char* message) {
  if (std::strstr(message, "\"Out of memory\"") != nullptr) g_log_took_spare = true;
  std::free(message);
}

std::string base64(const char* text) {
  return velno::base64_encode({reinterpret_cast<const uint8_t*>(text), std::strlen(text)});
}

// Passwords, data plaintexts and their Base64, and the secret keys of the seeds the
// fixture uses (in bytes, the seed half alone too, and in Base58).
void make_needles() {
  if (sodium_init() < 0) std::abort();
  g_backtrace = std::getenv("VELNO_ALLOC_SWEEP_BACKTRACE") != nullptr;
  g_pre = base64(kPreData);
  g_after = base64(kAfterData);
  g_faulted = base64(kFaultData);
  g_needles = {{"the password", kOldPassword},     {"the new password", kNewPassword},
               {"a data plaintext", kPreData},      {"a data plaintext", kAfterData},
               {"a data plaintext", kFaultData},    {"the Base64 of stored data", g_pre},
               {"the Base64 of stored data", g_after}, {"the Base64 of stored data", g_faulted}};
  for (const char* seed : {kSeed, kFreshSeed, kFaultSeed}) {
    uint8_t pk[crypto_sign_PUBLICKEYBYTES];
    uint8_t sk[crypto_sign_SECRETKEYBYTES];
    crypto_sign_seed_keypair(pk, sk, reinterpret_cast<const uint8_t*>(seed));
    g_needles.push_back({"a secret key", std::string(reinterpret_cast<const char*>(sk), sizeof sk)});
    g_needles.push_back({"the seed half of a secret key", std::string(reinterpret_cast<const char*>(sk), 32)});
    g_needles.push_back({"the Base58 of a secret key", velno::base58_encode(sk)});
  }
}

[[noreturn]] void fail(const std::string& what) {
  std::printf("%s\n", what.c_str());
  std::fflush(stdout);
  std::_Exit(1);
}

// One library call, with the blocks it frees searched.
template <class F>
char* scanned(const char* what, F&& call) {
  g_scanning = true;
  char* raw = call();
  g_scanning = false;
  if (const char* found = g_freed_secret.load()) fail(std::string(what) + " freed " + found + " unwiped");
  return raw;
}
#define CALL(what, ...) scanned(what, [&] { return __VA_ARGS__; })

Answer expect_ok(const char* what, char* raw) {
  Answer a = take(raw);
  if (!a.ok()) fail(std::string(what) + " answered " + (a.text.empty() ? a.code : a.text));
  return a;
}
#define EXPECT_OK(what, ...) expect_ok(what, CALL(what, __VA_ARGS__))

struct Setup {
  uint64_t handle = 0;
  std::string did, public_key, signature;
  std::string home;
};

using Export = std::function<char*(const Setup&)>;
const std::map<std::string, Export>& exports() {
  static const std::map<std::string, Export> table = {
      {"set_velno_home_path", [](const Setup& s) { return set_velno_home_path(s.home.c_str()); }},
      {"init_logging", [](const Setup&) { return init_logging(5, &on_log); }},
      {"explain_error_code", [](const Setup&) { return explain_error_code("WalletLoginFailed"); }},
      {"create_agent", [](const Setup&) { return create_agent("fresh", kFreshSeed, &password); }},
      {"create_agent_null", [](const Setup&) { return create_agent("fresh", nullptr, &password); }},
      // An existing wallet that this process has not opened yet; its DID is reused.
      {"open_existing", [](const Setup&) { return create_agent("stored", kSeed, &password); }},
      {"open_existing_array", [](const Setup&) { return create_agent("stored", kSeed, &password); }},
      {"open_existing_object", [](const Setup&) { return create_agent("stored", kSeed, &password); }},
      {"open_existing_deep", [](const Setup&) { return create_agent("stored", kSeed, &password); }},
      {"create_did", [](const Setup& s) { return create_did(s.handle, kFaultSeed); }},
      {"create_did_null", [](const Setup& s) { return create_did(s.handle, nullptr); }},
      {"list_dids", [](const Setup& s) { return list_dids(s.handle); }},
      {"get_default_did", [](const Setup& s) { return get_default_did(s.handle); }},
      {"get_did_info", [](const Setup& s) { return get_did_info(s.handle, s.did.c_str()); }},
      {"sign", [](const Setup& s) { return sign(s.handle, kSignData); }},
      {"sign_with_did", [](const Setup& s) { return sign_with_did(s.handle, s.did.c_str(), kSignData); }},
      {"verify_with_did_public_key",
       [](const Setup& s) {
         return verify_with_did_public_key(s.handle, s.public_key.c_str(), kSignData, s.signature.c_str());
       }},
      {"change_password", [](const Setup& s) { return change_password(s.handle, &new_password); }},
      {"wallet_store_data", [](const Setup& s) { return wallet_store_data(s.handle, "faulted", g_faulted.c_str()); }},
      {"wallet_get_data", [](const Setup& s) { return wallet_get_data(s.handle, "pre"); }},
  };
  return table;
}

// Opens the sweep's agent in `home` (whose wallet may exist) and reads what the cases use.
Setup open_sweep_agent(const std::string& home, bool trace) {
  Setup s;
  s.home = home;
  EXPECT_OK("set_velno_home_path", set_velno_home_path(s.home.c_str()));
  if (trace) EXPECT_OK("init_logging", init_logging(5, &on_log));
  Answer agent = EXPECT_OK("create_agent", create_agent("sweep", kSeed, &password));
  s.handle = agent.value["handle"].get<uint64_t>();
  Answer dids = EXPECT_OK("list_dids", list_dids(s.handle));
  s.did = dids.value[0]["id"].get<std::string>();
  s.public_key = dids.value[0]["publicKey"].get<std::string>();
  s.signature =
      EXPECT_OK("sign_with_did", sign_with_did(s.handle, s.did.c_str(), kSignData)).value.get<std::string>();
  return s;
}

Setup set_up(const std::string& home, bool trace) {
  Setup s = open_sweep_agent(home + "/base", trace);
  EXPECT_OK("wallet_store_data", wallet_store_data(s.handle, "pre", g_pre.c_str()));
  return s;
}

std::string base_wallet(const std::string& home) { return home + "/base/brox-wallet/qxdwallet_sweep.json"; }

// Descriptions holding containers where the library writes none: copying such a record
// once aborted the host when memory ran out half-way. Each is the "metadata" of the
// seed's DID, and the opening that reuses that DID answers `opening`.
struct HostileDescription {
  const char* kind;
  nlohmann::json metadata;
  const char* opening;  // the code of the opening's answer when memory suffices
};
const std::vector<HostileDescription>& hostile_descriptions() {
  static const std::vector<HostileDescription> kinds = [] {
    nlohmann::json deep = nlohmann::json::array({1});
    for (int i = 1; i < 120; ++i) deep = nlohmann::json::array({std::move(deep)});
    return std::vector<HostileDescription>{{"array", nlohmann::json::array({1}), "JsonProcessing"},
                                           {"object", {{"a", "b"}}, "OK"},
                                           {"deep", std::move(deep), "JsonProcessing"}};
  }();
  return kinds;
}
const HostileDescription* hostile_description(const std::string& export_name) {
  for (const HostileDescription& h : hostile_descriptions())
    if (export_name == std::string("open_existing_") + h.kind) return &h;
  return nullptr;
}

// The wallet that the opening of an existing wallet finds: the sweep's own, or one with
// the seed's description made hostile.
void write_stored_wallet(const std::string& wallet, const std::string& export_name, const std::string& path) {
  const HostileDescription* hostile = hostile_description(export_name);
  if (hostile == nullptr) {
    fs::copy_file(wallet, path);
    return;
  }
  auto records = velno::reliability::read_wallet(wallet);
  if (!records) fail("cannot read " + wallet);
  bool changed = false;
  for (auto& [key, record] : records->items()) {
    if (record.value("type", "") != "Did" || !record.contains("data")) continue;
    record["data"]["metadata"] = hostile->metadata;
    changed = true;
  }
  if (!changed) fail("no description in " + wallet);
  std::ofstream(path) << records->dump();
}

// A home of the case's own, holding a copy of the sweep's wallet, and another copy
// under an alias that no process has opened yet (kept aside too, to compare).
void prepare_case_home(const std::string& wallet, const std::string& export_name, const std::string& case_home) {
  fs::create_directories(case_home + "/brox-wallet");
  fs::copy_file(wallet, case_home + "/brox-wallet/qxdwallet_sweep.json");
  write_stored_wallet(wallet, export_name, case_home + "/brox-wallet/qxdwallet_stored.json");
  fs::copy_file(case_home + "/brox-wallet/qxdwallet_stored.json", case_home + ".stored");
}

enum class Calls { One, Twice, First };

std::string answer_code(const Answer& a, const char* raw) {
  if (raw == nullptr) return "null";
  return a.code + (a.code == "General" && a.value.is_string() ? ":" + a.value.get<std::string>() : "");
}

// Checks one armed answer. NULL is the last resort only when the answer set aside has
// been handed out already: by the first of two calls that both found no memory.
void check_answer(char* raw, const Answer& a, bool every, bool spare_gone) {
  if (raw == nullptr && !(every && spare_gone)) fail("NULL answer while the set-aside answer was there");
  if (raw != nullptr && a.code.front() == '<') fail("not an envelope: " + a.text);
  if (!a.ok() && raw != nullptr && !a.value.is_string()) fail("a failure without a message: " + a.text);
  if (g_log_took_spare) fail("a log record was the set-aside answer");
}

// Runs the export armed (twice with Calls::Twice), checks the answers, and writes
// "<allocations> <acked> <code>" to `status`.
void run_armed(Setup& s, const std::string& export_name, long nth, bool every, Calls calls,
               const std::string& status) {
  const Export& run = exports().at(export_name);
  g_count = 0;
  g_nth = nth;
  g_every = every;
  g_armed = true;
  char* raw = CALL(export_name.c_str(), run(s));
  g_armed = false;
  Answer a = take(raw);
  check_answer(raw, a, every, false);
  std::string code = answer_code(a, raw);
  if (calls == Calls::Twice) {
    // Counted on from the first call; this host's own work in between is not.
    g_armed = true;
    char* second = CALL(export_name.c_str(), run(s));
    g_armed = false;
    Answer b = take(second);
    check_answer(second, b, every, code == "General:Out of memory");
    // The failure, if either answered one.
    if (a.ok()) {
      a = std::move(b);
      code = answer_code(a, second);
    }
  }
  const long made = g_count;
  if (a.ok() && export_name == "change_password") g_password = kNewPassword;
  std::ofstream out(status);
  out << made << ' ' << (a.ok() ? 1 : 0) << ' ' << code << '\n';
}

// Everything else still answers: this agent, a new one, the set-up exports.
[[noreturn]] void after_checks(const Setup& s) {
  EXPECT_OK("list_dids after", list_dids(s.handle));
  EXPECT_OK("wallet_store_data after", wallet_store_data(s.handle, "after", g_after.c_str()));
  Answer got = EXPECT_OK("wallet_get_data after", wallet_get_data(s.handle, "after"));
  if (got.value != nlohmann::json{{"Ok", g_after}}) fail("wallet_get_data after answered " + got.text);
  EXPECT_OK("sign_with_did after", sign_with_did(s.handle, s.did.c_str(), kSignData));
  EXPECT_OK("set_velno_home_path after", set_velno_home_path(s.home.c_str()));
  EXPECT_OK("explain_error_code after", explain_error_code("IO"));
  Answer other = EXPECT_OK("create_agent after", create_agent("other", kSeed, &password));
  EXPECT_OK("list_dids of another agent", list_dids(other.value["handle"].get<uint64_t>()));
  std::fflush(stdout);
  std::_Exit(0);
}

// In a forked child: moves the agent into a home of its own and runs the case.
[[noreturn]] void run_case(Setup s, const std::string& export_name, const std::string& case_home, long nth,
                           bool every, Calls calls, const std::string& status) {
  prepare_case_home(base_wallet(fs::path(s.home).parent_path().string()), export_name, case_home);
  s.home = case_home;
  EXPECT_OK("set_velno_home_path", set_velno_home_path(case_home.c_str()));
  run_armed(s, export_name, nth, every, calls, status);
  after_checks(s);
}

// In a new process: the export is the process's first library call.
[[noreturn]] void run_first(const std::string& wallet, const std::string& case_home, const std::string& export_name,
                            bool trace, long nth, bool every, const std::string& status) {
  prepare_case_home(wallet, export_name, case_home);
  Setup s;
  s.home = case_home;
  run_armed(s, export_name, nth, every, Calls::First, status);
  after_checks(open_sweep_agent(case_home, trace));
}

// The wallet's records of a type, read from outside the library.
std::size_t count_records(const std::string& path, const char* type) {
  auto wallet = velno::reliability::read_wallet(path);
  if (!wallet) return 0;
  std::size_t n = 0;
  for (const auto& [key, record] : wallet->items()) n += record.is_object() && record.value("type", "") == type;
  return n;
}

std::string file_bytes(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  return std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

int check(const std::string& home, const std::string& export_name, bool acked, const std::string& code) {
  const bool changed = export_name == "change_password" && acked;
  g_password = changed ? kNewPassword : kOldPassword;
  // Read before any opening below writes to it.
  const std::size_t fresh_dids = count_records(home + "/brox-wallet/qxdwallet_fresh.json", "Did");
  EXPECT_OK("set_velno_home_path", set_velno_home_path(home.c_str()));
  const uint64_t h =
      EXPECT_OK("create_agent", create_agent("sweep", kSeed, &password)).value["handle"].get<uint64_t>();
  for (const auto& [key, value] : {std::pair<const char*, const std::string*>{"pre", &g_pre}, {"after", &g_after}}) {
    Answer got = EXPECT_OK("wallet_get_data", wallet_get_data(h, key));
    if (got.value != nlohmann::json{{"Ok", *value}}) fail(std::string("datum ") + key + " is " + got.text);
  }
  if (export_name == "wallet_store_data") {
    Answer got = EXPECT_OK("wallet_get_data", wallet_get_data(h, "faulted"));
    const bool stored = got.value.contains("Ok");
    // A store whose file write failed keeps its record in memory: the next write stores it.
    const bool may_follow = code == "IO" || code.rfind("General", 0) == 0;
    if (stored != acked && !(stored && may_follow))
      fail("faulted store acknowledged " + std::to_string(acked) + ", found " + got.text);
  }
  if (export_name == "create_did" || export_name == "create_did_null") {
    Answer dids = EXPECT_OK("list_dids", list_dids(h));
    const bool found = dids.value.size() == 2;
    // Only "Out of memory" may answer a DID that was stored: a host retries any other
    // failure, and each retry of a random DID makes one more.
    if (found != acked && !(found && code == "General:Out of memory"))
      fail("faulted DID acknowledged " + std::to_string(acked) + " (" + code + "), found " + dids.text);
  }
  if (export_name == "create_agent" && acked) {
    EXPECT_OK("create_agent fresh", create_agent("fresh", kFreshSeed, &password));
  }
  if (export_name == "create_agent_null") {
    // An opening that failed after writing its random DID may leave it, as a crash would.
    if (fresh_dids > 1 || (acked && fresh_dids != 1))
      fail("a seedless opening acknowledged " + std::to_string(acked) + " left " + std::to_string(fresh_dids) +
           " DIDs");
    EXPECT_OK("create_agent fresh", create_agent("fresh", nullptr, &password));
  }
  // An opening that reuses its DID writes nothing, whatever it answered.
  if (file_bytes(home + "/brox-wallet/qxdwallet_stored.json") != file_bytes(home + ".stored"))
    fail("an opening of an existing wallet changed it");
  if (const HostileDescription* hostile = hostile_description(export_name)) {
    // Answered as with memory enough, whatever the refused opening answered.
    Answer stored = take(create_agent("stored", kSeed, &password));
    if (stored.code != hostile->opening) fail("the hostile wallet's opening answered " + stored.text);
    return 0;
  }
  EXPECT_OK("create_agent stored", create_agent("stored", kSeed, &password));
  return 0;
}

// After a child: its home holds the wallet directory, and that only the wallets of the
// aliases used: no undo copy, no temporary file.
bool home_is_clean(const std::string& case_home, std::string& found) {
  static const std::set<std::string> kWallets = {"qxdwallet_sweep.json", "qxdwallet_other.json",
                                                 "qxdwallet_fresh.json", "qxdwallet_stored.json"};
  std::error_code ec;
  for (const auto& entry : fs::directory_iterator(case_home, ec))
    if (entry.path().filename() != "brox-wallet") found += " " + entry.path().filename().string();
  for (const auto& entry : fs::directory_iterator(case_home + "/brox-wallet", ec))
    if (!kWallets.count(entry.path().filename().string())) found += " brox-wallet/" + entry.path().filename().string();
  return found.empty() && !ec;
}

// The N to try: all of 1..count, or at most `limit` spread over it, both ends included.
std::vector<long> chosen(long count, long limit) {
  std::vector<long> out;
  if (limit <= 0 || count <= limit) {
    for (long n = 1; n <= count; ++n) out.push_back(n);
    return out;
  }
  for (long i = 0; i < limit; ++i) out.push_back(1 + i * (count - 1) / (limit - 1));
  return out;
}

std::string self_path() { return fs::read_symlink("/proc/self/exe").string(); }

struct Sweep {
  std::string home, export_name;
  bool trace, every;
  Calls calls;
  Setup setup;
  std::string mode_name;
};

// Runs one case in a child (a new process for Calls::First); the child's exit and
// its status line decide.
bool fork_case(const Sweep& w, const std::string& case_home, long nth, std::string& status_line) {
  const std::string status = case_home + ".status";
  std::fflush(stdout);
  const pid_t pid = ::fork();
  if (pid < 0) return false;
  if (pid == 0) {
    if (w.calls != Calls::First) run_case(w.setup, w.export_name, case_home, nth, w.every, w.calls, status);
    const std::string self = self_path();
    const std::string n = std::to_string(nth);
    ::execl(self.c_str(), self.c_str(), "first", base_wallet(w.home).c_str(), case_home.c_str(),
            w.export_name.c_str(), w.trace ? "trace" : "off", n.c_str(), w.every ? "every" : "once", status.c_str(),
            static_cast<char*>(nullptr));
    std::_Exit(127);
  }
  int st = 0;
  ::waitpid(pid, &st, 0);
  if (!WIFEXITED(st) || WEXITSTATUS(st) != 0) {
    std::printf("%s N=%ld %s: the child %s\n", w.export_name.c_str(), nth, w.mode_name.c_str(),
                WIFSIGNALED(st) ? ("died of signal " + std::to_string(WTERMSIG(st))).c_str() : "failed its checks");
    return false;
  }
  std::ifstream in(status);
  std::getline(in, status_line);
  return true;
}

int sweep(const std::string& home, const std::string& export_name, bool trace, const std::string& mode, long limit,
          long first, long last) {
  if (!exports().count(export_name)) fail("no export " + export_name);
  Sweep w{home, export_name, trace, mode.ends_with("every"), Calls::One, {}, mode};
  if (mode.starts_with("twice-")) w.calls = Calls::Twice;
  if (mode.starts_with("first-")) w.calls = Calls::First;
  w.setup = set_up(home, trace);

  // How many allocations the export makes, untouched.
  std::string status;
  if (!fork_case(w, home + "/count", LONG_MAX, status)) return 1;
  const long count = std::strtol(status.c_str(), nullptr, 10);
  const auto position = [count](long n) { return n > 0 ? n : count + 1 + n; };

  int failures = 0;
  int checked = 0;
  int failure_answers = 0;
  for (long nth : chosen(count, limit)) {
    if (nth < position(first) || nth > position(last)) continue;
    const std::string case_home = home + "/case" + std::to_string(nth);
    if (!fork_case(w, case_home, nth, status)) {
      ++failures;
      continue;
    }
    // "<allocations> <acked> <code>"
    const std::string rest = status.substr(status.find(' ') + 1);
    const bool acked = rest.rfind("1 ", 0) == 0;
    failure_answers += !acked;
    const std::string code = rest.substr(2);
    std::string left;
    if (!home_is_clean(case_home, left)) {
      std::printf("%s N=%ld %s: the child left%s (answer %s)\n", export_name.c_str(), nth, mode.c_str(),
                  left.c_str(), code.c_str());
      ++failures;
    }
    // The fresh look, in a process of its own.
    std::fflush(stdout);
    const pid_t pid = ::fork();
    if (pid == 0) {
      const std::string self = self_path();
      ::execl(self.c_str(), self.c_str(), "check", case_home.c_str(), export_name.c_str(), acked ? "1" : "0",
              code.c_str(), static_cast<char*>(nullptr));
      std::_Exit(127);
    }
    int st = 0;
    ::waitpid(pid, &st, 0);
    if (!WIFEXITED(st) || WEXITSTATUS(st) != 0) {
      std::printf("%s N=%ld %s: the fresh check failed (answer %s)\n", export_name.c_str(), nth, mode.c_str(),
                  code.c_str());
      ++failures;
    }
    ++checked;
    fs::remove_all(case_home);
    fs::remove(case_home + ".stored");
  }
  std::printf("%s %s %s: %ld allocations, %d refusals checked (%d answered a failure), %d failures\n",
              export_name.c_str(), trace ? "trace" : "off", mode.c_str(), count, checked, failure_answers, failures);
  return failures == 0 ? 0 : 1;
}

}  // namespace

int main(int argc, char** argv) {
  const std::vector<std::string> args(argv + 1, argv + argc);
  make_needles();
  if ((args.size() == 6 || args.size() == 8) && args[0] == "sweep") {
    const auto number = [&](std::size_t i, long fallback) {
      return i < args.size() ? std::strtol(args[i].c_str(), nullptr, 10) : fallback;
    };
    return sweep(args[1], args[2], args[3] == "trace", args[4], number(5, 0), number(6, 1), number(7, -1));
  }
  if (args.size() == 8 && args[0] == "first")
    run_first(args[1], args[2], args[3], args[4] == "trace", std::strtol(args[5].c_str(), nullptr, 10),
              args[6] == "every", args[7]);
  if (args.size() == 5 && args[0] == "check") return check(args[1], args[2], args[3] == "1", args[4]);
  std::fprintf(stderr, "usage: alloc_sweep_host sweep HOME EXPORT off|trace MODE LIMIT [FIRST LAST]\n"
                       "       alloc_sweep_host first BASE_WALLET CASE_HOME EXPORT off|trace NTH once|every STATUS\n"
                       "       alloc_sweep_host check HOME EXPORT ACKED CODE\n");
  return 2;
}
