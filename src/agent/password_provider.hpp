// The wallet's view of a host PasswordCallback.
#pragma once

#include "common/secret.hpp"
#include "velno_core.h"

namespace velno {

// Asks the host for the password at every call; the answer is copied at once into
// wiped memory and the host's pointer is neither kept nor freed.
class PasswordProvider {
 public:
  explicit PasswordProvider(PasswordCallback callback) : callback_(callback) {}
  SecretBytes operator()() const;

 private:
  PasswordCallback callback_;
};

}  // namespace velno
