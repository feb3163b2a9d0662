#pragma once
// Progress of one chain: what its task has drawn so far. A plain record; the
// runtime keeps one per chain behind the chain's progress lock and hands out
// copies.

#include <chrono>
#include <cstdint>
#include <vector>

#include "sample_stats.hpp"

namespace varnel {

// What one draw tells the progress record.
struct ProgressInfo {
  std::uint64_t draw = 0;
  std::uint64_t chain = 0;
  std::uint64_t num_steps = 0;  // leapfrog steps of the previous draw's trajectory
  double step_size = 0.0;
  bool diverging = false;
  bool tuning = false;
};

// The progress fields of a NUTS statistics record.
ProgressInfo progress_info(const NutsSampleStats& stats) noexcept;

struct ChainProgress {
  std::uint64_t finished_draws = 0;  // warm-up included
  std::uint64_t total_draws = 0;
  std::uint64_t divergences = 0;               // after warm-up only
  std::vector<std::uint64_t> divergent_draws;  // index among all draws, per counted divergence
  std::uint64_t latest_num_steps = 0;
  std::uint64_t total_num_steps = 0;
  double step_size = 0.0;
  bool tuning = true;
  bool started = false;  // the chain task has put its trace in place
  std::chrono::nanoseconds runtime{0};  // summed time of the draws

  // A record for a chain that will make `total_draws` draws.
  static ChainProgress create(std::uint64_t total_draws) noexcept;

  // Counts one finished draw that took `elapsed`. Divergences during warm-up
  // are not counted. Throws std::bad_alloc when the divergence list cannot grow.
  void update(const ProgressInfo& info, std::chrono::nanoseconds elapsed);
};

}  // namespace varnel
