// Shared pieces of the benchmarks: the cryptographic floor that every signing pays, realistic
// wallet texts, a throw-away home directory and envelope checks.
#pragma once

#include <array>
#include <atomic>
#include <chrono>
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <initializer_list>
#include <span>
#include <string>
#include <string_view>
#include <thread>
#include <vector>

#include <sodium.h>

#include "common/base58.hpp"
#include "velno_core.h"

namespace velno::bench {

inline constexpr unsigned long long kOpsLimit = 2;
inline constexpr std::size_t kMemLimit = 64u << 20;
inline constexpr const char* kPassword = "correct horse battery staple";

inline const char* password_callback() { return kPassword; }

// Joins texts without operator+ on a literal, which g++ 12 misreports under -O2 (-Wrestrict).
inline void append(std::string& out, std::initializer_list<std::string_view> pieces) {
  for (std::string_view p : pieces) out.append(p);
}
inline std::string cat(std::initializer_list<std::string_view> pieces) {
  std::string out;
  append(out, pieces);
  return out;
}

inline double now_seconds() {
  using clock = std::chrono::steady_clock;
  return std::chrono::duration<double>(clock::now().time_since_epoch()).count();
}

// A "<field>:  <n> kB" line of a /proc file of this process, in MiB; NaN where there is none.
inline double proc_mib(const char* file, const char* field) {
  FILE* f = std::fopen(file, "r");
  if (f == nullptr) return std::nan("");
  char line[256];
  double mib = std::nan("");
  const std::size_t n = std::strlen(field);
  while (std::fgets(line, sizeof line, f) != nullptr) {
    if (std::strncmp(line, field, n) == 0) mib = std::strtod(line + n, nullptr) / 1024;
  }
  std::fclose(f);
  return mib;
}

// Runs a reference step and a measured step once each, alternating from call to call which
// goes first, so that neither always meets the machine's state first. False when one fails.
class AlternatingPair {
 public:
  template <class Reference, class Measured>
  bool run(Reference&& reference, Measured&& measured) {
    for (int pass = 0; pass < 2; ++pass) {
      const bool is_reference = (pass == 0) == reference_first_;
      const double t0 = now_seconds();
      const bool ok = is_reference ? reference() : measured();
      (is_reference ? reference_s : measured_s) = now_seconds() - t0;
      if (!ok) return false;
    }
    reference_first_ = !reference_first_;
    reference_total += reference_s;
    measured_total += measured_s;
    return true;
  }
  double ratio() const { return measured_total / reference_total; }

  double reference_s = 0, measured_s = 0;          // of the last call
  double reference_total = 0, measured_total = 0;  // of all calls

 private:
  bool reference_first_ = true;
};

// Runs a reference phase and a measured phase, each as `threads` threads side by side that
// make `per_thread` calls apiece, alternating from call to call which phase goes first. The
// step is called with the thread's index. False when one call fails.
class AlternatingPhases : public AlternatingPair {
 public:
  AlternatingPhases(int threads, int per_thread) : threads_(threads), per_thread_(per_thread) {}

  template <class Reference, class Measured>
  bool run(Reference&& reference, Measured&& measured) {
    return AlternatingPair::run([&] { return phase(reference); }, [&] { return phase(measured); });
  }
  int calls_per_phase() const { return threads_ * per_thread_; }

 private:
  template <class Step>
  bool phase(Step& step) {
    std::atomic<bool> ok{true};
    auto work = [&](int t) {
      for (int i = 0; i < per_thread_; ++i) {
        if (!step(t)) ok = false;
      }
    };
    if (threads_ == 1) {
      work(0);
      return ok;
    }
    std::vector<std::thread> pool;
    for (int t = 0; t < threads_; ++t) pool.emplace_back(work, t);
    for (auto& th : pool) th.join();
    return ok;
  }

  int threads_, per_thread_;
};

inline void init_sodium() {
  if (sodium_init() < 0) std::abort();
}

// A key pair sealed the way an encrypted record holds it: the record key under a key derived
// from the password (outer), the key pair's JSON text under the record key (inner).
struct SealedKeyPair {
  std::array<uint8_t, crypto_sign_PUBLICKEYBYTES> pk{};
  std::array<uint8_t, crypto_sign_SECRETKEYBYTES> sk{};
  std::array<uint8_t, crypto_pwhash_SALTBYTES> salt{};
  std::array<uint8_t, crypto_secretbox_NONCEBYTES> outer_nonce{};
  std::array<uint8_t, crypto_secretbox_NONCEBYTES> inner_nonce{};
  std::array<uint8_t, crypto_secretbox_MACBYTES + crypto_secretbox_KEYBYTES> encrypted_key{};
  std::vector<uint8_t> ciphertext;
};

inline std::string key_pair_text(std::span<const uint8_t> pk, std::span<const uint8_t> sk) {
  return cat({"{\"pk\":\"", base58_encode(pk), "\",\"sk\":\"", base58_encode(sk), "\"}"});
}

inline bool derive(std::string_view password, const uint8_t* salt, uint8_t* key) {
  return crypto_pwhash(key, crypto_secretbox_KEYBYTES, password.data(), password.size(), salt, kOpsLimit,
                       kMemLimit, crypto_pwhash_ALG_ARGON2ID13) == 0;
}

// Seals with `derived_key` when given, else derives it from the password (one Argon2id run).
// The key pair comes from the first 32 bytes of `seed`, or is random.
inline SealedKeyPair seal_key_pair(std::string_view password, const uint8_t* derived_key = nullptr,
                                   const std::string* seed = nullptr) {
  SealedKeyPair s;
  if (seed != nullptr) {
    crypto_sign_seed_keypair(s.pk.data(), s.sk.data(), reinterpret_cast<const uint8_t*>(seed->data()));
  } else {
    crypto_sign_keypair(s.pk.data(), s.sk.data());
  }
  randombytes_buf(s.salt.data(), s.salt.size());
  std::array<uint8_t, crypto_secretbox_KEYBYTES> dk{};
  if (derived_key != nullptr) {
    std::memcpy(dk.data(), derived_key, dk.size());
  } else if (!derive(password, s.salt.data(), dk.data())) {
    std::abort();
  }
  std::array<uint8_t, crypto_secretbox_KEYBYTES> record_key{};
  crypto_secretbox_keygen(record_key.data());
  std::string text = key_pair_text(s.pk, s.sk);
  s.ciphertext.resize(text.size() + crypto_secretbox_MACBYTES);
  randombytes_buf(s.inner_nonce.data(), s.inner_nonce.size());
  crypto_secretbox_easy(s.ciphertext.data(), reinterpret_cast<const uint8_t*>(text.data()), text.size(),
                        s.inner_nonce.data(), record_key.data());
  randombytes_buf(s.outer_nonce.data(), s.outer_nonce.size());
  crypto_secretbox_easy(s.encrypted_key.data(), record_key.data(), record_key.size(), s.outer_nonce.data(),
                        dk.data());
  sodium_memzero(dk.data(), dk.size());
  sodium_memzero(record_key.data(), record_key.size());
  return s;
}

// The floor of one signing with a stored DID: one derivation, both layers opened, one signature.
inline bool floor_sign(const SealedKeyPair& s, std::string_view password, std::span<const uint8_t> data,
                       uint8_t* signature) {
  std::array<uint8_t, crypto_secretbox_KEYBYTES> dk{};
  std::array<uint8_t, crypto_secretbox_KEYBYTES> record_key{};
  std::vector<uint8_t> plain(s.ciphertext.size() - crypto_secretbox_MACBYTES);
  bool ok = derive(password, s.salt.data(), dk.data()) &&
            crypto_secretbox_open_easy(record_key.data(), s.encrypted_key.data(), s.encrypted_key.size(),
                                       s.outer_nonce.data(), dk.data()) == 0 &&
            crypto_secretbox_open_easy(plain.data(), s.ciphertext.data(), s.ciphertext.size(),
                                       s.inner_nonce.data(), record_key.data()) == 0 &&
            crypto_sign_detached(signature, nullptr, data.data(), data.size(), s.sk.data()) == 0;
  sodium_memzero(dk.data(), dk.size());
  sodium_memzero(record_key.data(), record_key.size());
  sodium_memzero(plain.data(), plain.size());
  return ok;
}

// ---- Realistic wallet texts ---------------------------------------------------------------

// Each DID is a plain description record and an encrypted-looking key-pair record whose Base58
// fields have the lengths real ones have (a key pair sealed under a random key, no Argon2id).
// Every second DID is made from a seed text (its DIDInfo then carries the seed), as hosts do.
struct GeneratedWallet {
  std::string text;
  std::vector<std::string> dids;
};

inline std::string did_of(std::span<const uint8_t> pk) { return base58_encode(pk.first(16)); }

inline std::string seed_text(std::size_t i) {
  char buf[64];
  std::snprintf(buf, sizeof buf, "bench-seed-%021zu", i);  // 32 bytes
  return buf;
}


inline void append_did_records(std::string& out, const SealedKeyPair& s, const std::string* seed,
                               int64_t date, bool with_key_pair = true) {
  auto b58 = [](auto& bytes) { return base58_encode(std::span<const uint8_t>(bytes.data(), bytes.size())); };
  const std::string did = did_of(s.pk), d = std::to_string(date);
  const std::string seed_json =
      seed == nullptr
          ? std::string("null")
          : '"' + base58_encode(std::span(reinterpret_cast<const uint8_t*>(seed->data()), seed->size())) + '"';
  if (out.size() > 1) out += ',';
  append(out, {"\"", did, "::DIDInfo\":{\"key\":{\"raw_key\":\"", did,
               "\",\"record_type\":\"DIDInfo\"},\"type\":\"Did\",\"date\":", d, ",\"data\":{\"id\":\"", did,
               "\",\"metadata\":null,\"publicDID\":false,\"publicKey\":\"", b58(s.pk), "\",\"seed\":", seed_json,
               "}}"});
  if (!with_key_pair) return;
  append(out, {",\"", did, "::KeyPair\":{\"key\":{\"raw_key\":\"", did,
               "\",\"record_type\":\"KeyPair\"},\"type\":\"KeyPair\",\"date\":", d,
               ",\"record_security\":{\"encrypted_key\":\"", b58(s.encrypted_key), "\",\"salt\":\"", b58(s.salt),
               "\",\"level1_nonce\":\"", b58(s.outer_nonce), "\",\"level2_nonce\":\"", b58(s.inner_nonce),
               "\"},\"data\":\"", b58(s.ciphertext), "\"}"});
}

// A wallet of `n` DIDs; the first ones are made from `known_seeds`. Every key pair is sealed
// under the key that kPassword derives with one salt that all records share, so the wallet
// opens under kPassword (a write proves its password on a sealed record) for one
// derivation per wallet. Without key pairs, the wallet holds the descriptions alone.
inline GeneratedWallet make_wallet(std::size_t n, const std::vector<std::string>& known_seeds = {},
                                   bool with_key_pairs = true) {
  GeneratedWallet w;
  w.text.push_back('{');
  std::array<uint8_t, crypto_pwhash_SALTBYTES> salt{};
  std::array<uint8_t, crypto_secretbox_KEYBYTES> dk{};
  randombytes_buf(salt.data(), salt.size());
  if (!derive(kPassword, salt.data(), dk.data())) std::abort();
  for (std::size_t i = 0; i < n; ++i) {
    std::string seed = i < known_seeds.size() ? known_seeds[i] : seed_text(i);
    const std::string* seed_ptr = (i < known_seeds.size() || i % 2 == 0) ? &seed : nullptr;
    SealedKeyPair s = seal_key_pair(kPassword, dk.data(), seed_ptr);
    s.salt = salt;
    append_did_records(w.text, s, seed_ptr, 1765300000 + static_cast<int64_t>(i), with_key_pairs);
    w.dids.push_back(did_of(s.pk));
  }
  w.text += "}";
  return w;
}

// ---- Files and envelopes ------------------------------------------------------------------

// A home directory under the system's temporary directory, removed with everything in it.
class TempHome {
 public:
  TempHome() {
    const char* base = std::getenv("TMPDIR");
    std::string pattern = std::string(base != nullptr && *base != '\0' ? base : "/tmp") + "/velno-bench-XXXXXX";
    std::vector<char> buf(pattern.begin(), pattern.end());
    buf.push_back('\0');
    if (mkdtemp(buf.data()) == nullptr) std::abort();
    path_ = buf.data();
    std::filesystem::create_directories(path_ + "/brox-wallet");
  }
  ~TempHome() {
    std::error_code ec;
    std::filesystem::remove_all(path_, ec);
  }
  TempHome(const TempHome&) = delete;
  TempHome& operator=(const TempHome&) = delete;

  const std::string& path() const { return path_; }
  std::string wallet_dir() const { return path_ + "/brox-wallet"; }
  // The file of wallet `name` ("qxdwallet_" + alias).
  std::string wallet_file(const std::string& name) const { return cat({path_, "/brox-wallet/", name, ".json"}); }

 private:
  std::string path_;
};

inline void write_whole_file(const std::string& path, std::string_view bytes) {
  FILE* f = std::fopen(path.c_str(), "wb");
  if (f == nullptr || std::fwrite(bytes.data(), 1, bytes.size(), f) != bytes.size() || std::fclose(f) != 0) {
    std::abort();
  }
}

// Takes over an export's answer: true when it is a success envelope; `payload` gets the text.
inline bool envelope_ok(char* answer, std::string* payload = nullptr) {
  if (answer == nullptr) return false;
  bool ok = std::strncmp(answer, "{\"code\":\"OK\"", 12) == 0;
  if (payload != nullptr) *payload = answer;
  std::free(answer);
  return ok;
}

// create_agent through the C interface; the handle goes to `handle`.
inline bool open_agent(const std::string& alias, const char* seed, const char* (*callback)(), uint64_t* handle) {
  std::string answer;
  if (!envelope_ok(create_agent(alias.c_str(), seed, callback), &answer)) return false;
  auto at = answer.find("\"handle\":");
  if (at == std::string::npos) return false;
  *handle = std::strtoull(answer.c_str() + at + 9, nullptr, 10);
  return true;
}

}  // namespace velno::bench
