#include "agent/password_provider.hpp"

#include <cstring>

namespace velno {

SecretBytes PasswordProvider::operator()() const {
  const char* text = callback_();
  // The host promises a text; a NULL answer reads as the empty password rather than
  // crashing its process.
  if (text == nullptr) return SecretBytes();
  return SecretBytes(reinterpret_cast<const uint8_t*>(text), std::strlen(text));
}

}  // namespace velno
