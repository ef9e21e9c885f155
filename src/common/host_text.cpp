#include "common/host_text.hpp"

#include <algorithm>
#include <atomic>
#include <cstdlib>
#include <cstring>

namespace velno {

namespace {

constexpr std::string_view kNulEscape = "\\u0000";
constexpr std::string_view kOutOfMemory = R"({"code":"General","value":"Out of memory"})";

char* malloc_copy(std::string_view text) {
  auto* p = static_cast<char*>(std::malloc(text.size() + 1));
  if (p == nullptr) return nullptr;
  std::memcpy(p, text.data(), text.size());
  p[text.size()] = '\0';
  return p;
}

// An out-of-memory answer put aside while memory was there, for when not even the
// fallback's few bytes can be had; set aside again by the next answer that finds memory.
std::atomic<char*> g_spare_answer{nullptr};

void keep_spare_answer() {
  if (g_spare_answer.load(std::memory_order_relaxed) != nullptr) return;
  char* spare = malloc_copy(kOutOfMemory);
  char* none = nullptr;
  if (spare != nullptr && !g_spare_answer.compare_exchange_strong(none, spare)) std::free(spare);
}

// Set aside when the library is loaded, so that a process's first call has it too.
struct KeepSpareAtLoad {
  KeepSpareAtLoad() noexcept { keep_spare_answer(); }
} g_keep_spare_at_load;

// The host's copy of `text`, or null without memory for it.
char* host_copy(std::string_view text) noexcept {
  // A NUL of the text itself would cut the host's copy short: it goes out as \u0000.
  std::size_t nuls = 0;
  for (const char* p = text.data(), *end = p + text.size();
       (p = static_cast<const char*>(std::memchr(p, '\0', static_cast<std::size_t>(end - p)))) != nullptr; ++p) {
    ++nuls;
  }
  if (nuls == 0) return malloc_copy(text);
  const std::size_t size = text.size() + nuls * (kNulEscape.size() - 1);
  auto* out = static_cast<char*>(std::malloc(size + 1));
  if (out == nullptr) return nullptr;
  char* o = out;
  for (char c : text) {
    if (c == '\0') o = std::copy(kNulEscape.begin(), kNulEscape.end(), o);
    else *o++ = c;
  }
  *o = '\0';
  return out;
}

}  // namespace

char* string_to_host_text(std::string_view text) noexcept {
  char* out = host_copy(text);
  if (out != nullptr) {
    keep_spare_answer();
    return out;
  }
  // The host frees whatever it gets, so even the fallback answer is its own copy.
  out = malloc_copy(kOutOfMemory);
  if (out != nullptr) keep_spare_answer();
  else out = g_spare_answer.exchange(nullptr);
  // Null only when not even the set-aside answer is left: the host's process goes on,
  // and the next answer that finds memory sets one aside again.
  return out;
}

char* host_text_or_null(std::string_view text) noexcept { return host_copy(text); }

std::string host_text_to_string(const char* text) { return std::string(text, std::strlen(text)); }

}  // namespace velno
