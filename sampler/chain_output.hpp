#pragma once
// What a sampling run hands back: per chain, its draws and its per-draw
// statistics as Arrow arrays. Immutable once made; safe to read from any thread.

#include <arrow/array.h>

#include <cstdint>
#include <memory>
#include <vector>

namespace varnel {

// One chain's result: `draws` as made by its draw storage (warm-up included),
// `stats` with one row per stored draw, and the chain's index.
struct ChainOutput {
  std::shared_ptr<arrow::Array> draws;
  std::shared_ptr<arrow::StructArray> stats;
  std::uint64_t chain = 0;
};

// The outputs of a run sorted by ascending chain index. A chain whose task
// never put its trace in place has no entry.
struct Trace {
  std::vector<ChainOutput> chains;
};

}  // namespace varnel
