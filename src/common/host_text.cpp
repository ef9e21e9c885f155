#include "common/host_text.hpp"

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

}  // namespace

char* string_to_host_text(std::string_view text) {
  // A NUL of the text itself would cut the host's copy short: it goes out as \u0000.
  std::size_t nuls = 0;
  for (const char* p = text.data(), *end = p + text.size();
       (p = static_cast<const char*>(std::memchr(p, '\0', static_cast<std::size_t>(end - p)))) != nullptr; ++p) {
    ++nuls;
  }
  char* out = nullptr;
  if (nuls == 0) {
    out = malloc_copy(text);
  } else {
    std::string escaped;
    escaped.reserve(text.size() + nuls * (kNulEscape.size() - 1));
    for (char c : text) {
      if (c == '\0') escaped.append(kNulEscape);
      else escaped.push_back(c);
    }
    out = malloc_copy(escaped);
  }
  if (out != nullptr) {
    keep_spare_answer();
    return out;
  }
  // The host frees whatever it gets, so even the fallback answer is its own copy.
  out = malloc_copy(kOutOfMemory);
  if (out == nullptr) out = g_spare_answer.exchange(nullptr);
  if (out == nullptr) std::abort();
  return out;
}

std::string host_text_to_string(const char* text) { return std::string(text, std::strlen(text)); }

}  // namespace velno
