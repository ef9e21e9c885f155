// A host program for the allocation-failure sweep. It refuses allocations by defining
// malloc and its kin itself, which every library in the process then calls (glibc's own
// allocator stays reachable under its __libc_ names).
//
//   alloc_sweep_host sweep HOME EXPORT LOG MODE LIMIT
//       Opens an agent once, counts the allocations that EXPORT makes, then for each N
//       chosen (every N with LIMIT 0, else at most LIMIT spread over the range) forks a
//       child that refuses the N-th allocation of EXPORT (MODE "once") or every one
//       from the N-th on ("every"), with logging off or at TRACE (LOG "off"/"trace").
//       The child checks the answer and that every other export still answers; then a
//       fresh process checks the child's home. Prints one line per failure; exits 1 if
//       there was any.
//   alloc_sweep_host check HOME EXPORT ACKED CODE
//       The fresh look: every acknowledged record is there, and a refused write left
//       nothing.
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
#include <map>
#include <string>
#include <vector>

#include "host_answer.hpp"
#include "velno_core.h"

extern "C" {
void* __libc_malloc(size_t);
void* __libc_calloc(size_t, size_t);
void* __libc_realloc(void*, size_t);
void* __libc_memalign(size_t, size_t);
}

namespace {

// Armed: counts allocations, and refuses the N-th (or every one from it on).
std::atomic<bool> g_armed{false};
long g_count = 0;
long g_nth = LONG_MAX;
bool g_every = false;

bool refuse() {
  if (!g_armed.load(std::memory_order_relaxed)) return false;
  const long n = ++g_count;
  return g_every ? n >= g_nth : n == g_nth;
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
  return __libc_realloc(p, size);
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

std::atomic<const char*> g_password{kOldPassword};
const char* password() { return g_password.load(); }
const char* new_password() { return kNewPassword; }

// A log record must never be the set-aside "Out of memory" answer.
std::atomic<bool> g_log_took_spare{false};
void on_log(uint32_t, char* message) {
  if (std::strstr(message, "\"Out of memory\"") != nullptr) g_log_took_spare = true;
  std::free(message);
}

struct Setup {
  uint64_t handle = 0;
  std::string did, public_key, signature;
  std::string home;
};


[[noreturn]] void fail(const std::string& what) {
  std::printf("%s\n", what.c_str());
  std::fflush(stdout);
  std::_Exit(1);
}

Answer expect_ok(const char* what, char* raw) {
  Answer a = take(raw);
  if (!a.ok()) fail(std::string(what) + " answered " + (a.text.empty() ? a.code : a.text));
  return a;
}

using Export = std::function<char*(const Setup&)>;
const std::map<std::string, Export>& exports() {
  static const std::map<std::string, Export> table = {
      {"set_velno_home_path", [](const Setup& s) { return set_velno_home_path(s.home.c_str()); }},
      {"init_logging", [](const Setup&) { return init_logging(5, &on_log); }},
      {"explain_error_code", [](const Setup&) { return explain_error_code("WalletLoginFailed"); }},
      {"create_agent", [](const Setup&) { return create_agent("fresh", kFreshSeed, &password); }},
      {"create_did", [](const Setup& s) { return create_did(s.handle, kFaultSeed); }},
      {"list_dids", [](const Setup& s) { return list_dids(s.handle); }},
      {"get_default_did", [](const Setup& s) { return get_default_did(s.handle); }},
      {"get_did_info", [](const Setup& s) { return get_did_info(s.handle, s.did.c_str()); }},
      {"sign", [](const Setup& s) { return sign(s.handle, "QUJD"); }},
      {"sign_with_did", [](const Setup& s) { return sign_with_did(s.handle, s.did.c_str(), "QUJD"); }},
      {"verify_with_did_public_key",
       [](const Setup& s) {
         return verify_with_did_public_key(s.handle, s.public_key.c_str(), "QUJD", s.signature.c_str());
       }},
      {"change_password", [](const Setup& s) { return change_password(s.handle, &new_password); }},
      {"wallet_store_data", [](const Setup& s) { return wallet_store_data(s.handle, "faulted", "REVG"); }},
      {"wallet_get_data", [](const Setup& s) { return wallet_get_data(s.handle, "pre"); }},
  };
  return table;
}

Setup set_up(const std::string& home, bool trace) {
  Setup s;
  s.home = home + "/base";
  expect_ok("set_velno_home_path", set_velno_home_path(s.home.c_str()));
  if (trace) expect_ok("init_logging", init_logging(5, &on_log));
  Answer agent = expect_ok("create_agent", create_agent("sweep", kSeed, &password));
  s.handle = agent.value["handle"].get<uint64_t>();
  expect_ok("wallet_store_data", wallet_store_data(s.handle, "pre", "QUJD"));
  Answer dids = expect_ok("list_dids", list_dids(s.handle));
  s.did = dids.value[0]["id"].get<std::string>();
  s.public_key = dids.value[0]["publicKey"].get<std::string>();
  s.signature = expect_ok("sign_with_did", sign_with_did(s.handle, s.did.c_str(), "QUJD")).value.get<std::string>();
  return s;
}

// In the child: moves the agent into a home of its own, runs the export armed, and
// checks the answer and everything after it. Writes "<acked> <code>" to `status`.
void run_case(Setup s, const std::string& export_name, const std::string& case_home, long nth, bool every,
              const std::string& status) {
  fs::create_directories(case_home + "/brox-wallet");
  fs::copy_file(s.home + "/brox-wallet/qxdwallet_sweep.json", case_home + "/brox-wallet/qxdwallet_sweep.json");
  s.home = case_home;
  expect_ok("set_velno_home_path", set_velno_home_path(case_home.c_str()));
  const Export& run = exports().at(export_name);

  g_count = 0;
  g_nth = nth;
  g_every = every;
  g_armed = true;
  char* raw = run(s);
  g_armed = false;

  // NULL is the last resort only when nothing at all could be allocated.
  if (raw == nullptr && !every) fail("NULL answer with only one allocation refused");
  const Answer a = take(raw);
  if (raw != nullptr && a.code.front() == '<') fail("not an envelope: " + a.text);
  if (!a.ok() && raw != nullptr && !a.value.is_string()) fail("a failure without a message: " + a.text);
  if (g_log_took_spare) fail("a log record was the set-aside answer");
  if (a.ok() && export_name == "change_password") g_password = kNewPassword;
  {
    std::ofstream out(status);
    out << (a.ok() ? 1 : 0) << ' ' << (raw == nullptr ? "null" : a.code + (a.code == "General" ? ":" + a.value.get<std::string>() : "")) << '\n';
  }

  // Everything else still answers: this agent, a new one, the set-up exports.
  expect_ok("list_dids after", list_dids(s.handle));
  expect_ok("wallet_store_data after", wallet_store_data(s.handle, "after", "REVG"));
  Answer got = expect_ok("wallet_get_data after", wallet_get_data(s.handle, "after"));
  if (got.value != nlohmann::json{{"Ok", "REVG"}}) fail("wallet_get_data after answered " + got.text);
  expect_ok("sign_with_did after", sign_with_did(s.handle, s.did.c_str(), "QUJD"));
  expect_ok("set_velno_home_path after", set_velno_home_path(case_home.c_str()));
  expect_ok("explain_error_code after", explain_error_code("IO"));
  Answer other = expect_ok("create_agent after", create_agent("other", kSeed, &password));
  expect_ok("list_dids of another agent", list_dids(other.value["handle"].get<uint64_t>()));
  std::fflush(stdout);
  std::_Exit(0);
}

int check(const std::string& home, const std::string& export_name, bool acked, const std::string& code) {
  const bool changed = export_name == "change_password" && acked;
  g_password = changed ? kNewPassword : kOldPassword;
  expect_ok("set_velno_home_path", set_velno_home_path(home.c_str()));
  const uint64_t h = expect_ok("create_agent", create_agent("sweep", kSeed, &password)).value["handle"].get<uint64_t>();
  for (const auto& [key, value] : {std::pair<const char*, const char*>{"pre", "QUJD"}, {"after", "REVG"}}) {
    Answer got = expect_ok("wallet_get_data", wallet_get_data(h, key));
    if (got.value != nlohmann::json{{"Ok", value}}) fail(std::string("datum ") + key + " is " + got.text);
  }
  if (export_name == "wallet_store_data") {
    Answer got = expect_ok("wallet_get_data", wallet_get_data(h, "faulted"));
    const bool stored = got.value.contains("Ok");
    // A store whose file write failed keeps its record in memory: the next write stores it.
    const bool may_follow = code == "IO" || code.rfind("General", 0) == 0;
    if (stored != acked && !(stored && may_follow)) fail("faulted store acknowledged " + std::to_string(acked) + ", found " + got.text);
  }
  if (export_name == "create_did") {
    Answer dids = expect_ok("list_dids", list_dids(h));
    const bool found = dids.value.size() == 2;
    // A create_did whose answer alone found no memory may have stored its DID.
    const bool may_follow = code == "General:Out of memory" || code == "null" || code == "IO" || code == "General:Internal error";
    if (found != acked && !(found && may_follow)) fail("faulted DID acknowledged " + std::to_string(acked) + ", found " + dids.text);
  }
  if (export_name == "create_agent" && acked) {
    expect_ok("create_agent fresh", create_agent("fresh", kFreshSeed, &password));
  }
  return 0;
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

// Forks a child that runs the case; the child's exit and output decide.
bool fork_case(const Setup& s, const std::string& export_name, const std::string& case_home, long nth, bool every,
               std::string& status_line) {
  const std::string status = case_home + ".status";
  std::fflush(stdout);
  const pid_t pid = ::fork();
  if (pid < 0) return false;
  if (pid == 0) run_case(s, export_name, case_home, nth, every, status);
  int st = 0;
  ::waitpid(pid, &st, 0);
  if (!WIFEXITED(st) || WEXITSTATUS(st) != 0) {
    std::printf("%s N=%ld %s: the child %s\n", export_name.c_str(), nth, every ? "every" : "once",
                WIFSIGNALED(st) ? ("died of signal " + std::to_string(WTERMSIG(st))).c_str() : "failed its checks");
    return false;
  }
  std::ifstream in(status);
  std::getline(in, status_line);
  return true;
}

int sweep(const std::string& home, const std::string& export_name, bool trace, bool every, long limit) {
  if (!exports().count(export_name)) fail("no export " + export_name);
  const Setup s = set_up(home, trace);

  // How many allocations the export makes, untouched.
  std::string status;
  if (!fork_case(s, export_name, home + "/count", LONG_MAX, false, status)) return 1;
  long count = 0;
  {
    // The counting child cannot report through memory: it runs again here, armed
    // without refusing, in a child whose only job is the count.
    int pipefd[2];
    if (::pipe(pipefd) != 0) fail("pipe");
    const pid_t pid = ::fork();
    if (pid == 0) {
      Setup own = s;
      const std::string case_home = home + "/counted";
      fs::create_directories(case_home + "/brox-wallet");
      fs::copy_file(s.home + "/brox-wallet/qxdwallet_sweep.json", case_home + "/brox-wallet/qxdwallet_sweep.json");
      own.home = case_home;
      take(set_velno_home_path(case_home.c_str()));
      g_count = 0;
      g_nth = LONG_MAX;
      g_every = false;
      g_armed = true;
      char* raw = exports().at(export_name)(own);
      g_armed = false;
      std::free(raw);
      const long made = g_count;
      if (::write(pipefd[1], &made, sizeof made) != static_cast<ssize_t>(sizeof made)) std::_Exit(2);
      std::_Exit(0);
    }
    ::close(pipefd[1]);
    if (::read(pipefd[0], &count, sizeof count) != static_cast<ssize_t>(sizeof count)) fail("no count");
    ::close(pipefd[0]);
    ::waitpid(pid, nullptr, 0);
  }

  int failures = 0;
  int checked = 0;
  int failure_answers = 0;
  for (long nth : chosen(count, limit)) {
    const std::string case_home = home + "/case" + std::to_string(nth);
    if (!fork_case(s, export_name, case_home, nth, every, status)) {
      ++failures;
      continue;
    }
    const bool acked = status.rfind("1 ", 0) == 0;
    failure_answers += !acked;
    const std::string code = status.substr(2);
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
      std::printf("%s N=%ld %s: the fresh check failed (answer %s)\n", export_name.c_str(), nth, every ? "every" : "once",
                  status.c_str());
      ++failures;
    }
    ++checked;
    fs::remove_all(case_home);
  }
  std::printf("%s %s %s: %ld allocations, %d refusals checked (%d answered a failure), %d failures\n",
              export_name.c_str(), trace ? "trace" : "off", every ? "every" : "once", count, checked, failure_answers,
              failures);
  return failures == 0 ? 0 : 1;
}

}  // namespace

int main(int argc, char** argv) {
  const std::vector<std::string> args(argv + 1, argv + argc);
  if (args.size() == 6 && args[0] == "sweep")
    return sweep(args[1], args[2], args[3] == "trace", args[4] == "every", std::strtol(args[5].c_str(), nullptr, 10));
  if (args.size() == 5 && args[0] == "check") return check(args[1], args[2], args[3] == "1", args[4]);
  std::fprintf(stderr, "usage: alloc_sweep_host sweep HOME EXPORT off|trace once|every LIMIT\n"
                       "       alloc_sweep_host check HOME EXPORT ACKED CODE\n");
  return 2;
}
