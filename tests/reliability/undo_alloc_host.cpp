// A host that refuses each of the last allocations of a change of password in turn
// (that one only, or every one from it on), then lists the wallet directory: whatever
// the change answered, only the wallet file may be there, never its undo copy nor a
// temporary file. It refuses allocations by defining malloc and its kin itself.
//
//   undo_alloc_host HOME LAST
//       Prints one line per failure and a summary; exits 1 if there was any failure.
#include <sys/wait.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <climits>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <set>
#include <string>

#include "alloc_refusal.hpp"
#include "host_answer.hpp"
#include "velno_core.h"

extern "C" {
void* __libc_malloc(size_t);
void* __libc_calloc(size_t, size_t);
void* __libc_realloc(void*, size_t);
void* __libc_memalign(size_t, size_t);
}

namespace {

// The refusal counter: g_armed, g_count, g_nth, g_every and refuse().
using namespace velno::reliability;

template <class F>
void* unless_refused(F&& allocate) {
  if (refuse()) {
    errno = ENOMEM;
    return nullptr;
  }
  return allocate();
}

}  // namespace

extern "C" {
void* malloc(size_t size) { return unless_refused([&] { return __libc_malloc(size); }); }
void* calloc(size_t n, size_t size) { return unless_refused([&] { return __libc_calloc(n, size); }); }
void* realloc(void* p, size_t size) { return unless_refused([&] { return __libc_realloc(p, size); }); }
void* aligned_alloc(size_t align, size_t size) { return unless_refused([&] { return __libc_memalign(align, size); }); }
void* memalign(size_t align, size_t size) { return unless_refused([&] { return __libc_memalign(align, size); }); }
int posix_memalign(void** out, size_t align, size_t size) {
  void* p = unless_refused([&] { return __libc_memalign(align, size); });
  if (p == nullptr) return ENOMEM;
  *out = p;
  return 0;
}
}

namespace {

namespace fs = std::filesystem;
using velno::reliability::take;

const char* password() { return "undo alloc password"; }
const char* new_password() { return "undo alloc password, changed"; }

// In a child: the change, in a home of its own holding a copy of the wallet, with the
// n-th allocation refused (or every one from it on). Exits 0 when only the wallet file
// is left; with `count_to`, writes there how many allocations the change made.
[[noreturn]] void run_change(uint64_t handle, const std::string& wallet, const std::string& case_home, long nth,
                             bool every, int count_to) {
  const std::string dir = case_home + "/brox-wallet";
  fs::create_directories(dir);
  fs::copy_file(wallet, dir + "/qxdwallet_a.json");
  if (!take(set_velno_home_path(case_home.c_str())).ok()) std::_Exit(2);
  g_nth = nth;
  g_every = every;
  g_armed = true;
  char* raw = change_password(handle, &new_password);
  g_armed = false;
  const long made = g_count;
  const std::string answer = raw ? raw : "NULL";
  std::free(raw);
  if (count_to >= 0) std::_Exit(::write(count_to, &made, sizeof made) == static_cast<ssize_t>(sizeof made) ? 0 : 2);
  std::set<std::string> left;
  for (const auto& entry : fs::directory_iterator(dir)) left.insert(entry.path().filename().string());
  if (left == std::set<std::string>{"qxdwallet_a.json"}) std::_Exit(0);
  std::printf("N=%ld %s answered %s and left:", nth, every ? "every" : "once", answer.c_str());
  for (const auto& name : left) std::printf(" %s", name.c_str());
  std::printf("\n");
  std::fflush(stdout);
  std::_Exit(1);
}

bool in_child(uint64_t handle, const std::string& wallet, const std::string& case_home, long nth, bool every,
              int count_to = -1) {
  std::fflush(stdout);
  const pid_t pid = ::fork();
  if (pid < 0) return false;
  if (pid == 0) run_change(handle, wallet, case_home, nth, every, count_to);
  int status = 0;
  ::waitpid(pid, &status, 0);
  if (WIFSIGNALED(status)) std::printf("N=%ld %s: the child died of signal %d\n", nth, every ? "every" : "once", WTERMSIG(status));
  return WIFEXITED(status) && WEXITSTATUS(status) == 0;
}

}  // namespace

int main(int argc, char** argv) {
  if (argc != 3) {
    std::fprintf(stderr, "usage: undo_alloc_host HOME LAST\n");
    return 2;
  }
  const std::string home = argv[1];
  const long last = std::strtol(argv[2], nullptr, 10);
  if (!take(set_velno_home_path(home.c_str())).ok()) return 2;
  auto opened = take(create_agent("a", "undo-alloc-seed-0123456789abcdef", &password));
  if (!opened.ok()) return 2;
  const uint64_t handle = opened.value["handle"].get<uint64_t>();
  if (!take(wallet_store_data(handle, "k", "QUJD")).ok()) return 2;
  const std::string wallet = home + "/brox-wallet/qxdwallet_a.json";

  int pipefd[2];
  if (::pipe(pipefd) != 0) return 2;
  if (!in_child(handle, wallet, home + "/count", LONG_MAX, false, pipefd[1])) return 2;
  long count = 0;
  if (::read(pipefd[0], &count, sizeof count) != static_cast<ssize_t>(sizeof count)) return 2;

  int failures = 0, tried = 0;
  for (long nth = std::max(1L, count - last + 1); nth <= count; ++nth)
    for (bool every : {false, true}) {
      ++tried;
      const std::string case_home = home + "/case" + std::to_string(nth) + (every ? "-every" : "-once");
      failures += !in_child(handle, wallet, case_home, nth, every);
      fs::remove_all(case_home);
    }
  std::printf("change_password: %ld allocations, the last %ld refused in %d runs, %d failures\n", count, last, tried,
              failures);
  return failures == 0 ? 0 : 1;
}
