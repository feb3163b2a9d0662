#pragma once
// xoshiro256++: the chain's generator (256-bit state, 64-bit outputs). Fast,
// not cryptographic; each chain owns one, seeded from its ChaCha8 stream.

#include <array>
#include <bit>
#include <cstdint>

namespace varnel {

// SplitMix64: the fallback seeding of xoshiro256++ from one 64-bit value.
class SplitMix64 {
 public:
  explicit constexpr SplitMix64(std::uint64_t seed) noexcept : state_(seed) {}
  constexpr std::uint64_t next_u64() noexcept {
    state_ += 0x9e3779b97f4a7c15u;
    std::uint64_t z = state_;
    z = (z ^ (z >> 30)) * 0xbf58476d1ce4e5b9u;
    z = (z ^ (z >> 27)) * 0x94d049bb133111ebu;
    return z ^ (z >> 31);
  }

 private:
  std::uint64_t state_;
};

class Xoshiro256pp {
 public:
  using State = std::array<std::uint64_t, 4>;

  // State from 32 bytes read as four little-endian words in order. All-zero
  // bytes (a state xoshiro never leaves) give the SplitMix64 seeding of 0.
  static constexpr Xoshiro256pp from_seed_bytes(const std::array<std::uint8_t, 32>& bytes) noexcept {
    State s{};
    for (std::size_t w = 0; w < 4; ++w) {
      std::uint64_t v = 0;
      for (std::size_t b = 0; b < 8; ++b) v |= static_cast<std::uint64_t>(bytes[8 * w + b]) << (8 * b);
      s[w] = v;
    }
    if ((s[0] | s[1] | s[2] | s[3]) == 0) return seed_from_u64(0);
    return Xoshiro256pp(s);
  }

  // State from four SplitMix64 outputs of `seed`.
  static constexpr Xoshiro256pp seed_from_u64(std::uint64_t seed) noexcept {
    SplitMix64 sm(seed);
    State s{};
    for (auto& w : s) w = sm.next_u64();
    return Xoshiro256pp(s);
  }

  constexpr std::uint64_t next_u64() noexcept {
    const std::uint64_t result = std::rotl(s_[0] + s_[3], 23) + s_[0];
    const std::uint64_t t = s_[1] << 17;
    s_[2] ^= s_[0];
    s_[3] ^= s_[1];
    s_[1] ^= s_[2];
    s_[0] ^= s_[3];
    s_[2] ^= t;
    s_[3] = std::rotl(s_[3], 45);
    return result;
  }

  // The high half of one 64-bit output (the better-mixed bits).
  constexpr std::uint32_t next_u32() noexcept { return static_cast<std::uint32_t>(next_u64() >> 32); }

  constexpr const State& state() const noexcept { return s_; }

 private:
  explicit constexpr Xoshiro256pp(const State& s) noexcept : s_(s) {}
  State s_;
};

}  // namespace varnel
