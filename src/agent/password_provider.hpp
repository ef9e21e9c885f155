// The wallet's view of a host PasswordCallback.
#pragma once

#include "common/did_error.hpp"
#include "common/secret.hpp"
#include "velno_core.h"

namespace velno {

// Asks the host for the password at every call; the answer is copied at once into
// wiped memory and the host's pointer is neither kept nor freed. A NULL answer is
// InvalidParameter "Password callback returned NULL".
class PasswordProvider {
 public:
  explicit PasswordProvider(PasswordCallback callback) : callback_(callback) {}
  DidResult<SecretBytes> operator()() const;

 private:
  PasswordCallback callback_;
};

}  // namespace velno
