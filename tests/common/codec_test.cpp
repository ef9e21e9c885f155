#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <random>

#include "common/base58.hpp"
#include "common/base64.hpp"
#include "common/hex.hpp"
#include "common/secret.hpp"

namespace velno {
namespace {

std::vector<uint8_t> from_hex(std::string_view h) {
  std::vector<uint8_t> out;
  for (std::size_t i = 0; i + 1 < h.size(); i += 2) out.push_back(static_cast<uint8_t>(std::stoi(std::string(h.substr(i, 2)), nullptr, 16)));
  return out;
}

std::vector<uint8_t> bytes_of(std::string_view s) { return {s.begin(), s.end()}; }

// One digit at a time, as the textbook does it: the reference for the chunked codec.
std::string reference_base58(const std::vector<uint8_t>& in) {
  static const char* kAlpha = "123456789ABCDEFGHJKLMNPQRSTUVWXYZabcdefghijkmnopqrstuvwxyz";
  std::vector<uint8_t> digits;  // little-endian base 58
  for (uint8_t b : in) {
    int carry = b;
    for (auto& d : digits) {
      carry += d * 256;
      d = static_cast<uint8_t>(carry % 58);
      carry /= 58;
    }
    while (carry) {
      digits.push_back(static_cast<uint8_t>(carry % 58));
      carry /= 58;
    }
  }
  std::string out;
  for (std::size_t i = 0; i < in.size() && in[i] == 0; ++i) out.push_back('1');
  for (auto it = digits.rbegin(); it != digits.rend(); ++it) out.push_back(kAlpha[*it]);
  return out;
}

TEST(Base58Test, KnownVectors) {
  const std::pair<const char*, const char*> rows[] = {
      {"", ""},
      {"00", "1"},
      {"000001", "112"},
      {"61", "2g"},
      {"626262", "a3gV"},
      {"636363", "aPEr"},
      {"73696d706c792061206c6f6e6720737472696e67", "2cFupjhnEsSn59qHXstmK2ffpLv2"},
      {"00eb15231dfceb60925886b67d065299925915aeb172c06647", "1NS17iag9jJgTHD1VXjvLCEnZuQ3rJDE9L"},
      {"516b6fcd0f", "ABnLTmg"},
      {"bf4f89001e670274dd", "3SEo3LWLoPntC"},
      {"572e4794", "3EFU7m"},
      {"ecac89cad93923c02321", "EJDM8drfXA6uyA"},
      {"10c8511e", "Rt5zm"},
      {"00000000000000000000", "1111111111"},
  };
  for (const auto& [hex, text] : rows) {
    auto bytes = from_hex(hex);
    EXPECT_EQ(base58_encode(bytes), text) << hex;
    auto back = base58_decode(text, bytes.size());
    ASSERT_TRUE(back.ok() && *back) << text;
    EXPECT_EQ(**back, bytes) << text;
  }
  EXPECT_EQ(base58_encode(bytes_of("Hello World!")), "2NEpo7TZRRrLZSi2U");
}

TEST(Base58Test, AgreesWithDigitByDigitReferenceAndRoundTrips) {
  std::mt19937 rng(58);
  for (std::size_t len = 0; len <= 300; len += (len < 40 ? 1 : 37)) {
    for (int rep = 0; rep < 4; ++rep) {
      std::vector<uint8_t> in(len);
      for (auto& b : in) b = static_cast<uint8_t>(rng());
      if (rep == 1 && len > 2) in[0] = in[1] = 0;       // leading zeros
      if (rep == 2) std::fill(in.begin(), in.end(), 0xFF);  // carries all the way up
      const std::string text = base58_encode(in);
      ASSERT_EQ(text, reference_base58(in)) << "len " << len;
      ASSERT_LE(text.size(), base58_max_digits(len));
      // Decoded within its own length, and refused one byte below it.
      auto back = base58_decode(text, len);
      ASSERT_TRUE(back.ok() && *back);
      ASSERT_EQ(**back, in) << "len " << len;
      if (len > 0) {
        auto short_of = base58_decode(text, len - 1);
        ASSERT_TRUE(short_of.ok() && !*short_of) << "len " << len;
      }
    }
  }
}

// The variants for secret keys agree with the codec and zero every working buffer
// before it is freed (the observer sees each one between the two).
TEST(Base58Test, SecretVariantsZeroEveryBufferTheyRelease) {
  static std::atomic<int> released{0}, dirty{0};
  test_hooks::secret_release_observer = +[](const void* p, std::size_t n) {
    ++released;
    const auto* bytes = static_cast<const uint8_t*>(p);
    if (std::any_of(bytes, bytes + n, [](uint8_t b) { return b != 0; })) ++dirty;
  };
  std::vector<uint8_t> secret(64);
  for (std::size_t i = 0; i < secret.size(); ++i) secret[i] = static_cast<uint8_t>(i * 37 + 1);
  auto back = base58_decode_secret(base58_encode_secret(secret), secret.size());
  const std::string text{std::string_view(base58_encode_secret(secret))};
  test_hooks::secret_release_observer = nullptr;

  EXPECT_EQ(text, base58_encode(secret));
  ASSERT_TRUE(back.ok() && *back);
  EXPECT_EQ(**back, secret);
  EXPECT_GE(released.load(), 3);  // the encoding's limbs and digits, the decoding's limbs
  EXPECT_EQ(dirty.load(), 0);
  EXPECT_FALSE(base58_decode_secret("abc0", 4).ok());
}

// Data refused as non-canonical Base64 is found so only once decoded: the buffer it
// was decoded into is zeroed before it is freed, as is the one of accepted data.
TEST(Base64Test, SecretDecodingZeroesEveryBufferItReleasesAlsoForRefusedText) {
  static std::atomic<int> released{0}, dirty{0};
  test_hooks::secret_release_observer = +[](const void* p, std::size_t n) {
    ++released;
    const auto* bytes = static_cast<const uint8_t*>(p);
    if (std::any_of(bytes, bytes + n, [](uint8_t b) { return b != 0; })) ++dirty;
  };
  const std::pair<const char*, bool> rows[] = {
      {"c2VjcmV0IGRhdGE=", true},   // "secret data"
      {"c2VjcmV0IGRhdGF=", false},  // unused bits set in the last symbol
      {"c2VjcmV0IGRhdGE", false},   // padding missing
      {"c2VjcmV0IGRhdA=", false},   // a length no padding completes
  };
  for (const auto& [text, accepted] : rows) {
    released = 0;
    dirty = 0;
    auto decoded = base64_decode_secret(text);
    EXPECT_EQ(decoded.ok(), accepted) << text;
    EXPECT_EQ(decoded.ok(), base64_decode(text).ok()) << text;
    { auto drop = std::move(decoded); }
    EXPECT_GE(released.load(), 1) << text;
    EXPECT_EQ(dirty.load(), 0) << text;
  }
  test_hooks::secret_release_observer = nullptr;
}

TEST(Base58Test, DecodingNamesTheFirstOffendingByte) {
  const std::pair<std::string, const char*> rows[] = {
      {"\xC3\xA9", "provided string contained non-ascii character starting at byte 0"},
      {"abcdel", "provided string contained invalid character 'l' at byte 5"},
      {"abc0", "provided string contained invalid character '0' at byte 3"},
      {"1O\xFF", "provided string contained invalid character 'O' at byte 1"},
      {"11\x80O", "provided string contained non-ascii character starting at byte 2"},
      {"I", "provided string contained invalid character 'I' at byte 0"},
      {"a b", "provided string contained invalid character ' ' at byte 1"},
      {"a\"", "provided string contained invalid character '\"' at byte 1"},
      {"'", "provided string contained invalid character '\\'' at byte 0"},
      {"\\", "provided string contained invalid character '\\\\' at byte 0"},
      {"\t", "provided string contained invalid character '\\t' at byte 0"},
      {"\n", "provided string contained invalid character '\\n' at byte 0"},
      {"\r", "provided string contained invalid character '\\r' at byte 0"},
      {std::string("2\0", 2), "provided string contained invalid character '\\0' at byte 1"},
      {"\x01", "provided string contained invalid character '\\u{1}' at byte 0"},
      {"\x1F", "provided string contained invalid character '\\u{1f}' at byte 0"},
      {"\x7F", "provided string contained invalid character '\\u{7f}' at byte 0"},
  };
  for (const auto& [text, message] : rows) {
    // Whatever the bound: every byte is checked before any length.
    for (std::size_t bound : {text.size(), std::size_t{0}}) {
      auto r = base58_decode(text, bound);
      ASSERT_FALSE(r.ok()) << message;
      EXPECT_EQ(r.error().text(), message);
    }
  }
}

// A text is decoded only while its bytes fit the bound: the longest text of 16, 24, 32,
// 48 and 64 bytes (all 0xFF) has 22, 33, 44, 66 and 88 digits; one digit more, or the
// same digits making a larger number, or more leading zero bytes, is refused.
TEST(Base58Test, DecodingStopsAtTheBoundAskedFor) {
  for (std::size_t n : {16u, 24u, 32u, 48u, 64u}) {
    const std::vector<uint8_t> top(n, 0xFF);
    const std::string text = base58_encode(top);
    EXPECT_EQ(text.size(), base58_max_digits(n)) << n;
    auto fits = base58_decode(text, n);
    ASSERT_TRUE(fits.ok() && *fits) << n;
    EXPECT_EQ(**fits, top);
    const std::string refused[] = {
        text + "1",                              // 256 x the number: one byte more
        std::string(text.size(), 'z'),           // as many digits, a larger number
        "1" + text,                              // a zero byte in front
        std::string(n + 1, '1'),                 // zero bytes only
        text + std::string(1 << 20, '2'),        // a MiB of digits beyond
    };
    for (const std::string& t : refused) {
      auto r = base58_decode(t, n);
      ASSERT_TRUE(r.ok()) << t.substr(0, 100);
      EXPECT_FALSE(r->has_value()) << t.substr(0, 100);
    }
  }
  // Zero bytes only, up to the bound, are a value like any other.
  auto zeros = base58_decode(std::string(16, '1'), 16);
  ASSERT_TRUE(zeros.ok() && *zeros);
  EXPECT_EQ(**zeros, std::vector<uint8_t>(16, 0));
  // An invalid byte far past the bound is still the answer.
  auto bad = base58_decode(std::string(1 << 20, '2') + "0", 16);
  ASSERT_FALSE(bad.ok());
  EXPECT_EQ(bad.error().text(), "provided string contained invalid character '0' at byte 1048576");
}

TEST(Base64Test, Rfc4648Vectors) {
  const std::pair<const char*, const char*> rows[] = {
      {"", ""},         {"f", "Zg=="},         {"fo", "Zm8="},         {"foo", "Zm9v"},
      {"foob", "Zm9vYg=="}, {"fooba", "Zm9vYmE="}, {"foobar", "Zm9vYmFy"},
  };
  for (const auto& [plain, text] : rows) {
    EXPECT_EQ(base64_encode(bytes_of(plain)), text);
    auto back = base64_decode(text);
    ASSERT_TRUE(back.ok()) << text;
    EXPECT_EQ(*back, bytes_of(plain));
  }
  std::vector<uint8_t> all(256);
  for (int i = 0; i < 256; ++i) all[i] = static_cast<uint8_t>(i);
  for (std::size_t len = 0; len <= all.size(); ++len) {
    std::vector<uint8_t> in(all.begin(), all.begin() + len);
    auto back = base64_decode(base64_encode(in));
    ASSERT_TRUE(back.ok());
    ASSERT_EQ(*back, in);
  }
}

TEST(Base64Test, DecodingFaultsInOrderOfPrecedence) {
  const std::pair<std::string, const char*> rows[] = {
      // 1. invalid symbols, left to right, "=" before the trailing padding included
      {"!!!!", "Invalid symbol 33, offset 0."},
      {"Zm9v\nYmFy", "Invalid symbol 10, offset 4."},
      {"QQ==QQ==", "Invalid symbol 61, offset 2."},
      {"Zm-_", "Invalid symbol 45, offset 2."},
      {"\xC3\xA9QQ", "Invalid symbol 195, offset 0."},
      {"Q!QQQ", "Invalid symbol 33, offset 1."},
      {"!Q", "Invalid symbol 33, offset 0."},
      // 2. a symbol count that no padding completes
      {"Q", "Invalid input length: 1"},
      {"QUJDR", "Invalid input length: 5"},
      {"QUJDR===", "Invalid input length: 5"},
      // 3. padding missing, short or in excess
      {"QQ", "Invalid padding"},
      {"QQ=", "Invalid padding"},
      {"QUI", "Invalid padding"},
      {"QUI==", "Invalid padding"},
      {"QQ===", "Invalid padding"},
      {"QUJD=", "Invalid padding"},
      {"=", "Invalid padding"},
      {"====", "Invalid padding"},
      {"QR=", "Invalid padding"},
      // 4. unused bits of the last symbol set
      {"QR==", "Invalid last symbol 82, offset 1."},
      {"QUJ=", "Invalid last symbol 74, offset 2."},
      {"Zm9vYh==", "Invalid last symbol 104, offset 5."},
  };
  for (const auto& [text, message] : rows) {
    auto r = base64_decode(text);
    ASSERT_FALSE(r.ok()) << text;
    EXPECT_EQ(r.error().message, message) << text;
  }
}

TEST(HexTest, UpperAndLowerCase) {
  const std::vector<uint8_t> bytes = {0x00, 0x09, 0xAB, 0x7F, 0xFF};
  EXPECT_EQ(hex_upper(bytes), "0009AB7FFF");
  EXPECT_EQ(hex_lower(bytes), "0009ab7fff");
  EXPECT_EQ(hex_upper({}), "");
}

}  // namespace
}  // namespace velno
