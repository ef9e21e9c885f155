// Byte buffers for secrets (passwords, keys, plaintexts): wiped when released.
#pragma once

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <span>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include <sodium.h>

namespace velno {

namespace test_hooks {
// Shown every buffer that a SecretAllocator releases, after zeroing and before freeing.
inline std::atomic<void (*)(const void* p, std::size_t bytes)> secret_release_observer{nullptr};
}  // namespace test_hooks

// For working buffers that hold secrets: zeroes every buffer it releases, also the old
// one that a container leaves behind when it grows.
template <class T>
struct SecretAllocator {
  using value_type = T;
  SecretAllocator() noexcept = default;
  template <class U>
  SecretAllocator(const SecretAllocator<U>&) noexcept {}
  T* allocate(std::size_t n) { return std::allocator<T>().allocate(n); }
  void deallocate(T* p, std::size_t n) noexcept {
    sodium_memzero(p, n * sizeof(T));
    if (auto observe = test_hooks::secret_release_observer.load(std::memory_order_relaxed)) observe(p, n * sizeof(T));
    std::allocator<T>().deallocate(p, n);
  }
  template <class U>
  bool operator==(const SecretAllocator<U>&) const noexcept {
    return true;
  }
};

// A text that held a secret (a key's Base58, a plaintext's Base64): wiped when its
// buffer is released, however the scope ends. Texts of 15 bytes or fewer live inside
// the object itself, so hold only longer ones here, or wipe the object too.
using SecretString = std::basic_string<char, std::char_traits<char>, SecretAllocator<char>>;

class SecretBytes {
 public:
  SecretBytes() = default;
  explicit SecretBytes(std::size_t n) : bytes_(n, 0) {}
  SecretBytes(const uint8_t* p, std::size_t n) : bytes_(p, p + n) {}
  explicit SecretBytes(std::string_view s)
      : bytes_(reinterpret_cast<const uint8_t*>(s.data()), reinterpret_cast<const uint8_t*>(s.data()) + s.size()) {}
  explicit SecretBytes(std::vector<uint8_t>&& v) : bytes_(std::move(v)) {}
  SecretBytes(const SecretBytes&) = delete;
  SecretBytes& operator=(const SecretBytes&) = delete;
  SecretBytes(SecretBytes&& o) noexcept : bytes_(std::move(o.bytes_)) {}
  SecretBytes& operator=(SecretBytes&& o) noexcept {
    if (this != &o) {
      wipe();
      bytes_ = std::move(o.bytes_);
    }
    return *this;
  }
  ~SecretBytes() { wipe(); }

  uint8_t* data() { return bytes_.data(); }
  const uint8_t* data() const { return bytes_.data(); }
  std::size_t size() const { return bytes_.size(); }
  bool empty() const { return bytes_.empty(); }
  std::span<const uint8_t> span() const { return {bytes_.data(), bytes_.size()}; }
  std::string_view view() const { return {reinterpret_cast<const char*>(bytes_.data()), bytes_.size()}; }
  bool operator==(const SecretBytes& o) const { return bytes_ == o.bytes_; }

 private:
  void wipe() {
    if (!bytes_.empty()) sodium_memzero(bytes_.data(), bytes_.size());
    bytes_.clear();
  }
  std::vector<uint8_t> bytes_;
};

// Wipes a std::string's bytes (for texts that held a secret) and empties it.
inline void wipe_string(std::string& s) {
  if (!s.empty()) sodium_memzero(s.data(), s.size());
  s.clear();
}

}  // namespace velno
