#include "chain_progress.hpp"

#include <gtest/gtest.h>

#include <chrono>
#include <vector>

namespace varnel {
namespace {

using namespace std::chrono_literals;

// num_tune = 3: draws 0 to 3 carry the tuning flag (the draw with index
// num_tune is still reported as a warm-up draw).
TEST(ChainProgress, CountsOnlyDivergencesAfterWarmUp) {
  const struct {
    const char* label;
    std::uint64_t diverging_draw;
    std::uint64_t divergences;
    std::vector<std::uint64_t> divergent_draws;
  } cases[] = {
      {"first warm-up draw", 0, 0, {}},
      {"draw num_tune", 3, 0, {}},
      {"draw num_tune + 1", 4, 1, {4}},
      {"last draw", 7, 1, {7}},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.label);
    ChainProgress progress = ChainProgress::create(8);
    EXPECT_TRUE(progress.tuning);
    for (std::uint64_t draw = 0; draw < 8; ++draw) {
      progress.update(ProgressInfo{.draw = draw,
                                   .chain = 1,
                                   .num_steps = draw + 1,
                                   .step_size = 0.5 + draw,
                                   .diverging = draw == c.diverging_draw,
                                   .tuning = draw <= 3},
                      2ms);
      EXPECT_EQ(progress.tuning, draw <= 3);
    }
    EXPECT_EQ(progress.finished_draws, 8u);
    EXPECT_EQ(progress.total_draws, 8u);
    EXPECT_EQ(progress.divergences, c.divergences);
    EXPECT_EQ(progress.divergent_draws, c.divergent_draws);
    EXPECT_EQ(progress.latest_num_steps, 8u);
    EXPECT_EQ(progress.total_num_steps, 36u);
    EXPECT_EQ(progress.step_size, 7.5);
    EXPECT_EQ(progress.runtime, 16ms);
    EXPECT_FALSE(progress.started);
  }
}

}  // namespace
}  // namespace varnel
