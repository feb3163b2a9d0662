#pragma once
// ChaCha stream generators: the keystream of the ChaCha block function with a
// 256-bit key, a 64-bit block counter (state words 12-13) and a 64-bit stream
// id (words 14-15). ChaCha8 seeds the chains; ChaCha12 backs thread_rng.

#include <array>
#include <bit>
#include <cstddef>
#include <cstdint>
#include <span>

namespace varnel {

// "expand 32-byte k", the constant words 0-3.
inline constexpr std::array<std::uint32_t, 4> kChaChaConstants = {0x61707865u, 0x3320646eu,
                                                                  0x79622d32u, 0x6b206574u};

namespace chacha_detail {
inline void quarter_round(std::array<std::uint32_t, 16>& s, int a, int b, int c, int d) noexcept {
  s[a] += s[b]; s[d] ^= s[a]; s[d] = std::rotl(s[d], 16);
  s[c] += s[d]; s[b] ^= s[c]; s[b] = std::rotl(s[b], 12);
  s[a] += s[b]; s[d] ^= s[a]; s[d] = std::rotl(s[d], 8);
  s[c] += s[d]; s[b] ^= s[c]; s[b] = std::rotl(s[b], 7);
}
}  // namespace chacha_detail

// One ChaCha block: `Rounds` rounds (column and diagonal rounds alternating)
// over `input`, then the input added word by word. Rounds must be even.
template <int Rounds>
std::array<std::uint32_t, 16> chacha_block(const std::array<std::uint32_t, 16>& input) noexcept {
  static_assert(Rounds > 0 && Rounds % 2 == 0, "ChaCha runs whole double rounds");
  std::array<std::uint32_t, 16> s = input;
  for (int r = 0; r < Rounds; r += 2) {
    chacha_detail::quarter_round(s, 0, 4, 8, 12);
    chacha_detail::quarter_round(s, 1, 5, 9, 13);
    chacha_detail::quarter_round(s, 2, 6, 10, 14);
    chacha_detail::quarter_round(s, 3, 7, 11, 15);
    chacha_detail::quarter_round(s, 0, 5, 10, 15);
    chacha_detail::quarter_round(s, 1, 6, 11, 12);
    chacha_detail::quarter_round(s, 2, 7, 8, 13);
    chacha_detail::quarter_round(s, 3, 4, 9, 14);
  }
  for (std::size_t i = 0; i < 16; ++i) s[i] += input[i];
  return s;
}

// The eight 32-bit words that PCG32 steps produce from a u64 seed; as
// little-endian bytes in order they form the key of seed_from_u64.
std::array<std::uint32_t, 8> pcg32_key_words(std::uint64_t seed) noexcept;

// A ChaCha keystream generator. Words come out in keystream order; the block
// counter starts at 0 and wraps after 2^64 blocks. Not thread-safe; copyable.
template <int Rounds>
class ChaChaRng {
 public:
  // The generator keyed with `key` (eight little-endian words), stream 0.
  static ChaChaRng from_key(const std::array<std::uint8_t, 32>& key) noexcept {
    std::array<std::uint32_t, 8> words{};
    for (std::size_t i = 0; i < 8; ++i) {
      words[i] = static_cast<std::uint32_t>(key[4 * i]) |
                 (static_cast<std::uint32_t>(key[4 * i + 1]) << 8) |
                 (static_cast<std::uint32_t>(key[4 * i + 2]) << 16) |
                 (static_cast<std::uint32_t>(key[4 * i + 3]) << 24);
    }
    return ChaChaRng(words);
  }

  // The generator keyed with the PCG32 expansion of `seed`, stream 0.
  static ChaChaRng seed_from_u64(std::uint64_t seed) noexcept {
    return ChaChaRng(pcg32_key_words(seed));
  }

  // Switches to another stream at the same keystream position: the next word
  // is the word of `stream` that would have come next in the old stream.
  void set_stream(std::uint64_t stream) noexcept {
    stream_ = stream;
    if (index_ < kBlockWords) {
      refill(counter_ - 1);
    }
  }
  std::uint64_t stream() const noexcept { return stream_; }

  // Positions the generator at the start of block `counter`.
  void set_block_counter(std::uint64_t counter) noexcept {
    counter_ = counter;
    index_ = kBlockWords;
  }

  std::uint32_t next_u32() noexcept {
    if (index_ >= kBlockWords) {
      refill(counter_);
      ++counter_;
    }
    return buffer_[index_++];
  }

  // Two consecutive words, the first as the low half.
  std::uint64_t next_u64() noexcept {
    const std::uint64_t low = next_u32();
    const std::uint64_t high = next_u32();
    return low | (high << 32);
  }

  // Fills `dest` with keystream bytes, each word little-endian. A trailing
  // partial word consumes the whole word.
  void fill_bytes(std::span<std::uint8_t> dest) noexcept {
    std::size_t i = 0;
    while (i < dest.size()) {
      const std::uint32_t w = next_u32();
      for (int b = 0; b < 4 && i < dest.size(); ++b, ++i) {
        dest[i] = static_cast<std::uint8_t>(w >> (8 * b));
      }
    }
  }

 private:
  static constexpr std::size_t kBlockWords = 16;

  explicit ChaChaRng(const std::array<std::uint32_t, 8>& key) noexcept : key_(key) {}

  void refill(std::uint64_t counter) noexcept {
    std::array<std::uint32_t, 16> input{};
    for (std::size_t i = 0; i < 4; ++i) input[i] = kChaChaConstants[i];
    for (std::size_t i = 0; i < 8; ++i) input[4 + i] = key_[i];
    input[12] = static_cast<std::uint32_t>(counter);
    input[13] = static_cast<std::uint32_t>(counter >> 32);
    input[14] = static_cast<std::uint32_t>(stream_);
    input[15] = static_cast<std::uint32_t>(stream_ >> 32);
    buffer_ = chacha_block<Rounds>(input);
    if (index_ >= kBlockWords) index_ = 0;
  }

  std::array<std::uint32_t, 8> key_;
  std::uint64_t counter_ = 0;  // the block that the next refill generates
  std::uint64_t stream_ = 0;
  std::array<std::uint32_t, 16> buffer_{};
  std::size_t index_ = kBlockWords;  // next word of buffer_; kBlockWords = empty
};

using ChaCha8Rng = ChaChaRng<8>;
using ChaCha12Rng = ChaChaRng<12>;
using ChaCha20Rng = ChaChaRng<20>;

}  // namespace varnel
