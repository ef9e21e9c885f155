// Running a helper program from a test: its output, its end, or its death by SIGKILL.
#pragma once

#include <chrono>
#include <optional>
#include <string>
#include <vector>

namespace velno::reliability {

struct ChildResult {
  bool exited = false;    // ended by itself (else killed by a signal)
  int status = -1;        // exit status, or the signal's number
  std::string output;     // standard output and standard error together
};

// Runs `argv` with `env` added to this process's environment. With `kill_after`, sends
// SIGKILL once that time has passed (if the program still runs). Safe to call from
// several threads at once.
ChildResult run_child(const std::vector<std::string>& argv, const std::vector<std::string>& env = {},
                      std::optional<std::chrono::milliseconds> kill_after = std::nullopt);

// An integer from the environment, or `fallback`.
int env_int(const char* name, int fallback);

}  // namespace velno::reliability
