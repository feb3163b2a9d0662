#pragma once
// The expected-information-gain estimator's record: the outcomes to enumerate
// and the number of parameter samples per (design, outcome) pair.

#include <cstdint>
#include <vector>

namespace varnel {

struct EnumeratedMonteCarloEstimator {
  std::vector<std::uint8_t> outcomes;  // 0 or 1 each, in the order given
  std::uint64_t n_samples = 0;
};

}  // namespace varnel
