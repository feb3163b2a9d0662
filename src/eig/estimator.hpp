#pragma once
// The information-gain estimator's record, fixed after construction.

#include <cstdint>
#include <vector>

namespace varnel {

struct EnumeratedMonteCarloEstimator {
  std::vector<std::uint8_t> outcomes;  // 0 or 1 each; repetitions count separately
  std::uint64_t n_samples = 0;
};

}  // namespace varnel
