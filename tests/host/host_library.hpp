// Loads the built library the way a host does (dlopen + dlsym with the C signatures)
// and turns its answers into std::string, freeing each as a host must.
#pragma once

#include <dlfcn.h>
#include <unistd.h>

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <functional>
#include <stdexcept>
#include <string>

#include "reliability/watchdog.hpp"
#include "velno_core.h"

namespace velno::host {

struct Library {
  decltype(&::create_agent) create_agent;
  decltype(&::init_logging) init_logging;
  decltype(&::set_velno_home_path) set_velno_home_path;
  decltype(&::explain_error_code) explain_error_code;
  decltype(&::create_did) create_did;
  decltype(&::list_dids) list_dids;
  decltype(&::get_default_did) get_default_did;
  decltype(&::get_did_info) get_did_info;
  decltype(&::sign) sign;
  decltype(&::sign_with_did) sign_with_did;
  decltype(&::verify_with_did_public_key) verify_with_did_public_key;
  decltype(&::change_password) change_password;
  decltype(&::wallet_store_data) wallet_store_data;
  decltype(&::wallet_get_data) wallet_get_data;
};

template <class F>
inline void bind(void* lib, const char* name, F& fn) {
  void* sym = dlsym(lib, name);
  if (sym == nullptr) throw std::runtime_error(std::string("missing export ") + name);
  fn = reinterpret_cast<F>(sym);
}

// Loaded on first use, so that a test can fork before the library is in its process.
inline const Library& lib() {
  static const Library loaded = [] {
    void* h = dlopen(VELNO_CORE_PATH, RTLD_NOW | RTLD_LOCAL);
    if (h == nullptr) throw std::runtime_error(dlerror());
    Library l{};
    bind(h, "create_agent", l.create_agent);
    bind(h, "init_logging", l.init_logging);
    bind(h, "set_velno_home_path", l.set_velno_home_path);
    bind(h, "explain_error_code", l.explain_error_code);
    bind(h, "create_did", l.create_did);
    bind(h, "list_dids", l.list_dids);
    bind(h, "get_default_did", l.get_default_did);
    bind(h, "get_did_info", l.get_did_info);
    bind(h, "sign", l.sign);
    bind(h, "sign_with_did", l.sign_with_did);
    bind(h, "verify_with_did_public_key", l.verify_with_did_public_key);
    bind(h, "change_password", l.change_password);
    bind(h, "wallet_store_data", l.wallet_store_data);
    bind(h, "wallet_get_data", l.wallet_get_data);
    return l;
  }();
  return loaded;
}

// The answer's text; the answer itself is freed.
inline std::string take(char* answer) {
  reliability::note_progress();
  if (answer == nullptr) throw std::runtime_error("NULL answer");
  std::string text(answer);
  std::free(answer);
  return text;
}

// Calls one export and answers its envelope text.
template <class Fn, class... Args>
std::string call(Fn Library::*fn, Args... args) {
  return take((lib().*fn)(args...));
}

// Everything `body` writes on standard output.
inline std::string capture_stdout(const std::function<void()>& body) {
  std::fflush(stdout);
  int fds[2];
  if (pipe(fds) != 0) throw std::runtime_error("pipe failed");
  int saved = dup(STDOUT_FILENO);
  dup2(fds[1], STDOUT_FILENO);
  close(fds[1]);
  body();
  std::fflush(stdout);
  dup2(saved, STDOUT_FILENO);
  close(saved);
  std::string out;
  char buf[4096];
  for (ssize_t n; (n = read(fds[0], buf, sizeof buf)) > 0;) out.append(buf, static_cast<std::size_t>(n));
  close(fds[0]);
  return out;
}

inline std::string ok_handle(uint64_t handle) {
  return "{\"code\":\"OK\",\"value\":{\"handle\":" + std::to_string(handle) + "}}";
}
inline std::string failure(const std::string& kind, const std::string& message) {
  return "{\"code\":\"" + kind + "\",\"value\":\"" + message + "\"}";
}

}  // namespace velno::host
