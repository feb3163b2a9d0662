#pragma once
// Test helper: a chain's xoshiro256++ generator as the runtime derives it, the
// first 32 bytes of ChaCha8 keyed from `seed` on stream `chain`.

#include <array>
#include <cstdint>
#include <initializer_list>
#include <vector>

#include "chacha.hpp"
#include "xoshiro.hpp"

namespace varnel::testing {

inline Xoshiro256pp chain_rng(std::uint64_t seed, std::uint64_t chain) {
  auto seeding = ChaCha8Rng::seed_from_u64(seed);
  seeding.set_stream(chain);
  std::array<std::uint8_t, 32> bytes{};
  seeding.fill_bytes(bytes);
  return Xoshiro256pp::from_seed_bytes(bytes);
}

// Replays fixed 64-bit outputs, then repeats the last one.
class ScriptedRng {
 public:
  explicit ScriptedRng(std::initializer_list<std::uint64_t> outputs) : outputs_(outputs) {}
  std::uint64_t next_u64() {
    const std::uint64_t v = outputs_[next_ < outputs_.size() ? next_ : outputs_.size() - 1];
    ++next_;
    return v;
  }
  std::size_t calls() const { return next_; }

 private:
  std::vector<std::uint64_t> outputs_;
  std::size_t next_ = 0;
};

}  // namespace varnel::testing
