#include "xoshiro.hpp"

#include <gtest/gtest.h>

#include "seeded_rng.hpp"

namespace varnel {
namespace {

TEST(Xoshiro256pp, ChainStatesAndOutputsMatchKnownAnswers) {
  struct Row {
    std::uint64_t chain;
    Xoshiro256pp::State state;
    std::array<std::uint64_t, 3> outputs;
  };
  const Row rows[] = {
      {0,
       {0x67094cea8ca40db1u, 0x149406d8fc0e8e6bu, 0x98b82b0336070665u, 0x3825a7dc63080d42u},
       {0xca8122f80673a52bu, 0x0ddccf7f4fb09da1u, 0xc9ad8b8ced397b0fu}},
      {1,
       {0xda16ea55e3f5ade7u, 0x0d08a889e871fc06u, 0x8f0a6837389a34a6u, 0x19bcb4c88ee76947u},
       {0x695058e17b6f97b6u, 0x24276bc741b3de32u, 0x247a80fcd87c1a0au}},
  };
  for (const Row& row : rows) {
    SCOPED_TRACE(row.chain);
    Xoshiro256pp rng = testing::chain_rng(1, row.chain);
    EXPECT_EQ(rng.state(), row.state);
    for (std::uint64_t expected : row.outputs) EXPECT_EQ(rng.next_u64(), expected);
  }
}

// All-zero seed bytes would be a fixed point that outputs zeros forever.
TEST(Xoshiro256pp, AllZeroBytesFallBackToSplitMixOfZero) {
  Xoshiro256pp rng = Xoshiro256pp::from_seed_bytes({});
  SplitMix64 sm(0);
  Xoshiro256pp::State expected{};
  for (auto& w : expected) w = sm.next_u64();
  EXPECT_EQ(expected[0], 0xe220a8397b1dcdafu);  // the first SplitMix64 output of 0
  EXPECT_EQ(rng.state(), expected);
  EXPECT_NE(rng.next_u64(), 0u);
}

}  // namespace
}  // namespace varnel
