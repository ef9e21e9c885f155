#include "wallet/argon2id.hpp"

#include <bit>
#include <initializer_list>

#include <sodium.h>

#include "wallet/argon2_compress.hpp"

namespace velno::argon2 {

namespace {

constexpr uint32_t kVersion = 0x13;
constexpr uint32_t kTypeId = 2;  // Argon2id
constexpr std::size_t kPrehashBytes = 64;
constexpr std::size_t kMaxInputBytes = 0xffffffff;

using Bytes = std::span<const uint8_t>;

void put32(uint8_t* out, uint32_t v) {
  for (int i = 0; i < 4; ++i) out[i] = static_cast<uint8_t>(v >> (8 * i));
}

// A block's words are little-endian bytes: on a big-endian processor they are swapped in
// place after a hash wrote them and before one reads them.
void words_from_bytes(Block& b) {
  if constexpr (std::endian::native == std::endian::big) {
    for (uint64_t& w : b.words) w = __builtin_bswap64(w);
  }
}
void bytes_from_words(Block& b) { words_from_bytes(b); }

// BLAKE2b of `parts` into `out`, 16 to 64 bytes.
void blake2b(std::span<uint8_t> out, std::initializer_list<Bytes> parts) {
  crypto_generichash_blake2b_state state;
  crypto_generichash_blake2b_init(&state, nullptr, 0, out.size());
  for (const Bytes part : parts) crypto_generichash_blake2b_update(&state, part.data(), part.size());
  crypto_generichash_blake2b_final(&state, out.data(), out.size());
  sodium_memzero(&state, sizeof state);
}

// The variable-length hash H': BLAKE2b of the length and the input up to 64 bytes; beyond,
// a chain of 64-byte hashes of which each gives its first 32 bytes, and a last hash of the
// 33 to 64 bytes left.
void hash_long(std::span<uint8_t> out, std::initializer_list<Bytes> parts) {
  uint8_t length[4];
  put32(length, static_cast<uint32_t>(out.size()));
  crypto_generichash_blake2b_state state;
  const std::size_t first = out.size() <= 64 ? out.size() : 64;
  crypto_generichash_blake2b_init(&state, nullptr, 0, first);
  crypto_generichash_blake2b_update(&state, length, sizeof length);
  for (const Bytes part : parts) crypto_generichash_blake2b_update(&state, part.data(), part.size());
  if (out.size() <= 64) {
    crypto_generichash_blake2b_final(&state, out.data(), out.size());
    sodium_memzero(&state, sizeof state);
    return;
  }
  uint8_t v[64];
  crypto_generichash_blake2b_final(&state, v, sizeof v);
  sodium_memzero(&state, sizeof state);
  std::size_t at = 0;
  for (;;) {
    for (std::size_t i = 0; i < 32; ++i) out[at + i] = v[i];
    at += 32;
    if (out.size() - at <= 64) break;
    blake2b(std::span<uint8_t>(v, sizeof v), {Bytes(v, sizeof v)});
  }
  blake2b(out.subspan(at), {Bytes(v, sizeof v)});
  sodium_memzero(v, sizeof v);
}

class Computation {
 public:
  Computation(const Inputs& in, std::span<Block> memory, std::size_t tag_bytes) noexcept
      : in_(in),
        tag_bytes_(static_cast<uint32_t>(tag_bytes)),
        memory_(memory.data()),
        blocks_(static_cast<uint32_t>(memory_blocks(in))),
        lane_blocks_(blocks_ / in.lanes),
        segment_blocks_(lane_blocks_ / kSyncPoints),
        fill_(fill_block()) {}

  ~Computation() {
    sodium_memzero(&scratch_, sizeof scratch_);
    sodium_memzero(&address_, sizeof address_);
  }

  void first_blocks() noexcept {
    uint8_t prehash[kPrehashBytes];
    uint8_t fields[6][4];
    const uint32_t values[6] = {in_.lanes, tag_bytes_, in_.memory_kib, in_.passes, kVersion, kTypeId};
    for (int i = 0; i < 6; ++i) put32(fields[i], values[i]);
    uint8_t lengths[4][4];
    put32(lengths[0], static_cast<uint32_t>(in_.password.size()));
    put32(lengths[1], static_cast<uint32_t>(in_.salt.size()));
    put32(lengths[2], static_cast<uint32_t>(in_.secret.size()));
    put32(lengths[3], static_cast<uint32_t>(in_.associated.size()));
    blake2b(std::span<uint8_t>(prehash, sizeof prehash),
            {Bytes(&fields[0][0], sizeof fields), Bytes(lengths[0], 4), in_.password, Bytes(lengths[1], 4), in_.salt,
             Bytes(lengths[2], 4), in_.secret, Bytes(lengths[3], 4), in_.associated});
    for (uint32_t lane = 0; lane < in_.lanes; ++lane) {
      for (uint32_t index = 0; index < 2; ++index) {
        uint8_t suffix[8];
        put32(suffix, index);
        put32(suffix + 4, lane);
        Block& b = block(lane, index);
        hash_long(std::span<uint8_t>(reinterpret_cast<uint8_t*>(b.words), kBlockBytes),
                  {Bytes(prehash, sizeof prehash), Bytes(suffix, sizeof suffix)});
        words_from_bytes(b);
      }
    }
    sodium_memzero(prehash, sizeof prehash);
  }

  void all_passes() noexcept {
    for (uint32_t pass = 0; pass < in_.passes; ++pass) {
      for (uint32_t slice = 0; slice < kSyncPoints; ++slice) {
        // Within a slice no lane reads another's current segment, so the lanes may run
        // one after another.
        for (uint32_t lane = 0; lane < in_.lanes; ++lane) segment(pass, slice, lane);
      }
    }
  }

  void tag(std::span<uint8_t> out) noexcept {
    Block& last = scratch_;
    last = block(0, lane_blocks_ - 1);
    for (uint32_t lane = 1; lane < in_.lanes; ++lane) {
      const Block& b = block(lane, lane_blocks_ - 1);
      for (std::size_t i = 0; i < kBlockWords; ++i) last.words[i] ^= b.words[i];
    }
    bytes_from_words(last);
    hash_long(out, {Bytes(reinterpret_cast<const uint8_t*>(last.words), kBlockBytes)});
  }


 private:
  Block& block(uint32_t lane, uint32_t index) noexcept {
    return memory_[std::size_t{lane} * lane_blocks_ + index];
  }

  // The next 128 reference values of a data-independent segment: G(0, G(0, input)).
  void next_addresses() noexcept {
    ++input_.words[6];
    fill_(zero_, input_, half_, scratch_, false);
    fill_(zero_, half_, address_, scratch_, false);
  }

  void segment(uint32_t pass, uint32_t slice, uint32_t lane) noexcept {
    const bool data_independent = pass == 0 && slice < 2;
    const uint32_t first = pass == 0 && slice == 0 ? 2 : 0;  // blocks 0 and 1 come from the hash
    if (data_independent) {
      input_ = Block{};
      const uint64_t fields[6] = {pass, lane, slice, blocks_, in_.passes, kTypeId};
      for (int i = 0; i < 6; ++i) input_.words[i] = fields[i];
    }
    for (uint32_t i = first; i < segment_blocks_; ++i) {
      const uint32_t index = slice * segment_blocks_ + i;
      const uint32_t previous = index == 0 ? lane_blocks_ - 1 : index - 1;
      if (data_independent && (i % kBlockWords == 0 || i == first)) next_addresses();
      const uint64_t pseudo_random =
          data_independent ? address_.words[i % kBlockWords] : block(lane, previous).words[0];
      const uint32_t ref_lane =
          pass == 0 && slice == 0 ? lane : static_cast<uint32_t>((pseudo_random >> 32) % in_.lanes);
      const uint32_t ref_index = reference_index(pass, slice, i, ref_lane == lane, pseudo_random & 0xffffffffU);
      fill_(block(lane, previous), block(ref_lane, ref_index), block(lane, index), scratch_, pass > 0);
    }
  }

  // Where block i of the segment reads: among the blocks it may see (those finished, its
  // own lane's up to the one before, another lane's but the segment being made), one
  // chosen by the low word of the pseudo-random value, skewed towards the most recent.
  uint32_t reference_index(uint32_t pass, uint32_t slice, uint32_t i, bool same_lane, uint64_t j1) const noexcept {
    uint32_t area;
    if (pass == 0) {
      if (slice == 0) {
        area = i - 1;
      } else if (same_lane) {
        area = slice * segment_blocks_ + i - 1;
      } else {
        area = slice * segment_blocks_ - (i == 0 ? 1 : 0);
      }
    } else {
      area = same_lane ? lane_blocks_ - segment_blocks_ + i - 1 : lane_blocks_ - segment_blocks_ - (i == 0 ? 1 : 0);
    }
    const uint64_t x = (j1 * j1) >> 32;
    const uint64_t y = (uint64_t{area} * x) >> 32;
    const uint64_t relative = area - 1 - y;
    const uint64_t start = pass == 0 || slice == kSyncPoints - 1 ? 0 : (slice + 1) * segment_blocks_;
    return static_cast<uint32_t>((start + relative) % lane_blocks_);
  }

  const Inputs& in_;
  uint32_t tag_bytes_;
  Block* memory_;
  uint32_t blocks_, lane_blocks_, segment_blocks_;
  FillBlock fill_;
  Block scratch_{}, address_{}, input_{}, half_{};
  const Block zero_{};
};

}  // namespace

std::size_t memory_blocks(const Inputs& in) noexcept {
  if (in.lanes == 0) return 0;
  const uint64_t per_lane = in.memory_kib / (uint64_t{kSyncPoints} * in.lanes);
  return static_cast<std::size_t>(per_lane * kSyncPoints * in.lanes);
}

bool argon2id(const Inputs& in, std::span<Block> memory, std::span<uint8_t> tag) noexcept {
  const bool valid = in.lanes >= 1 && in.lanes <= 0xffffff && in.passes >= 1 &&
                     uint64_t{in.memory_kib} >= uint64_t{8} * in.lanes && tag.size() >= kMinTagBytes &&
                     tag.size() <= kMaxTagBytes && in.password.size() <= kMaxInputBytes && in.salt.size() >= 8 &&
                     in.salt.size() <= kMaxInputBytes && in.secret.size() <= kMaxInputBytes &&
                     in.associated.size() <= kMaxInputBytes && memory.size() >= memory_blocks(in);
  if (!valid) return false;
  Computation c(in, memory, tag.size());
  c.first_blocks();
  c.all_passes();
  c.tag(tag);
  return true;
}

}  // namespace velno::argon2
