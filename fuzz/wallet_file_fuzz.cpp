// Arbitrary bytes as a wallet file's text: reading never crashes, and whatever reads
// is written back into a text that reads again as the same records.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string_view>

#include "wallet/model/wallet_file_format.hpp"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, std::size_t size) {
  const std::string_view text(reinterpret_cast<const char*>(data), size);
  auto records = velno::parse_wallet_text(text);
  if (!records.ok()) {
    if (records.error().message.empty() || !records.error().line) std::abort();
    return 0;
  }
  const std::string written = velno::serialize_wallet(records.value());
  auto again = velno::parse_wallet_text(written);
  if (!again.ok() || !(again.value() == records.value())) std::abort();
  if (velno::serialize_wallet(again.value()).size() != written.size()) std::abort();
  return 0;
}
