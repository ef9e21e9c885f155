#include "agent/password_provider.hpp"

#include <cstring>

namespace velno {

DidResult<SecretBytes> PasswordProvider::operator()() const {
  const char* text = callback_();
  // A NULL answer is no password at all: reading it as the empty one would seal records
  // under a password that the host never chose.
  if (text == nullptr)
    return DidError::with_static_message(DidErrorKind::InvalidParameter, "Password callback returned NULL");
  return SecretBytes(reinterpret_cast<const uint8_t*>(text), std::strlen(text));
}

}  // namespace velno
