#include "child_process.hpp"

#include <fcntl.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <mutex>
#include <thread>

extern char** environ;

namespace velno::reliability {
namespace {

// Pipe ends must not leak into a child that another thread spawns meanwhile, or that
// child would hold the pipe open; without pipe2 everywhere, a lock keeps the window shut.
std::mutex spawn_mutex;

}  // namespace

ChildResult run_child(const std::vector<std::string>& argv, const std::vector<std::string>& env,
                      std::optional<std::chrono::milliseconds> kill_after) {
  ChildResult result;
  std::vector<char*> args;
  for (const auto& a : argv) args.push_back(const_cast<char*>(a.c_str()));
  args.push_back(nullptr);
  std::vector<char*> envp;
  for (char** e = environ; *e; ++e) envp.push_back(*e);
  for (const auto& e : env) envp.push_back(const_cast<char*>(e.c_str()));
  envp.push_back(nullptr);

  pid_t pid = -1;
  int out[2];
  {
    std::lock_guard<std::mutex> lock(spawn_mutex);
    if (::pipe(out) != 0) {
      result.output = std::string("pipe: ") + std::strerror(errno);
      return result;
    }
    ::fcntl(out[0], F_SETFD, FD_CLOEXEC);
    ::fcntl(out[1], F_SETFD, FD_CLOEXEC);
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_adddup2(&actions, out[1], 1);
    posix_spawn_file_actions_adddup2(&actions, out[1], 2);
    int rc = posix_spawn(&pid, args[0], &actions, nullptr, args.data(), envp.data());
    posix_spawn_file_actions_destroy(&actions);
    ::close(out[1]);
    if (rc != 0) {
      ::close(out[0]);
      result.output = std::string("posix_spawn: ") + std::strerror(rc);
      return result;
    }
  }

  std::thread killer;
  if (kill_after) killer = std::thread([pid, delay = *kill_after] {
    std::this_thread::sleep_for(delay);
    ::kill(pid, SIGKILL);   // the child is not reaped before this thread ends, so pid is still its
  });
  char buf[4096];
  for (;;) {
    ssize_t n = ::read(out[0], buf, sizeof buf);
    if (n > 0) result.output.append(buf, static_cast<std::size_t>(n));
    else if (n == 0 || errno != EINTR) break;
  }
  ::close(out[0]);
  if (killer.joinable()) killer.join();
  int status = 0;
  while (::waitpid(pid, &status, 0) < 0 && errno == EINTR) {
  }
  result.exited = WIFEXITED(status);
  result.status = result.exited ? WEXITSTATUS(status) : WTERMSIG(status);
  return result;
}

int env_int(const char* name, int fallback) {
  const char* v = std::getenv(name);
  if (v == nullptr || *v == '\0') return fallback;
  return std::atoi(v);
}

}  // namespace velno::reliability
