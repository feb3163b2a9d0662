#include "chain_progress.hpp"

namespace varnel {

ProgressInfo progress_info(const NutsSampleStats& stats) noexcept {
  return ProgressInfo{
      .draw = stats.draw,
      .chain = stats.chain,
      .num_steps = stats.strategy_stats.n_steps,
      .step_size = stats.potential_stats.step_size,
      .diverging = stats.diverging(),
      .tuning = stats.tuning,
  };
}

ChainProgress ChainProgress::create(std::uint64_t total_draws) noexcept {
  ChainProgress progress;
  progress.total_draws = total_draws;
  return progress;
}

void ChainProgress::update(const ProgressInfo& info, std::chrono::nanoseconds elapsed) {
  if (info.diverging && !info.tuning) {
    divergent_draws.push_back(finished_draws);
    ++divergences;
  }
  ++finished_draws;
  tuning = info.tuning;
  latest_num_steps = info.num_steps;
  total_num_steps += info.num_steps;
  step_size = info.step_size;
  runtime += elapsed;
}

}  // namespace varnel
