#include "chacha.hpp"

#include <bit>

namespace varnel {

std::array<std::uint32_t, 8> pcg32_key_words(std::uint64_t seed) noexcept {
  constexpr std::uint64_t kMultiplier = 0x5851f42d4c957f2du;
  constexpr std::uint64_t kIncrement = 0xa17654e46fbe17f3u;
  std::array<std::uint32_t, 8> words{};
  std::uint64_t state = seed;
  for (auto& word : words) {
    state = state * kMultiplier + kIncrement;
    const auto xorshifted = static_cast<std::uint32_t>(((state >> 18) ^ state) >> 27);
    const auto rot = static_cast<int>(state >> 59);
    word = std::rotr(xorshifted, rot);
  }
  return words;
}

}  // namespace varnel
